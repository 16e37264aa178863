#pragma once

#include <algorithm>
#include <vector>

// The middle sample of a round of timings; samples must not be empty.
inline double median(std::vector<double> samples)
{
    std::sort(samples.begin(), samples.end());
    return samples[samples.size() / 2];
}
