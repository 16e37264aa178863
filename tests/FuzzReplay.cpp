// Runs a fuzz target's LLVMFuzzerTestOneInput over saved inputs, without libFuzzer: each
// argument is a seed file of "NAME: hex bytes" lines, a folder of raw inputs (what fuzzing
// found), or a path that does not exist yet (an empty corpus). A broken check aborts, which
// fails the test; otherwise it prints how many inputs it ran.

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

// false when a line is not NAME: hex.
bool replaySeeds(const std::filesystem::path& file, int& count)
{
    std::ifstream in(file);
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#')
            continue;
        const auto colon = line.find(':');
        if (colon == std::string::npos)
            return false;
        std::vector<std::uint8_t> bytes;
        int high = -1;
        for (const char c : line.substr(colon + 1)) {
            if (std::isspace(static_cast<unsigned char>(c)))
                continue;
            const int value = hexValue(c);
            if (value < 0)
                return false;
            if (high < 0) {
                high = value;
            } else {
                bytes.push_back(static_cast<std::uint8_t>(high << 4 | value));
                high = -1;
            }
        }
        if (high >= 0)
            return false;
        LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
        ++count;
    }
    return true;
}

void replayFile(const std::filesystem::path& file, int& count)
{
    std::ifstream in(file, std::ios::binary);
    const std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(in), {}};
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    ++count;
}

} // namespace

int main(int argc, char** argv)
{
    int count = 0;
    for (int i = 1; i < argc; ++i) {
        const std::filesystem::path path(argv[i]);
        std::error_code error;
        if (std::filesystem::is_directory(path, error)) {
            for (const auto& entry : std::filesystem::directory_iterator(path))
                if (entry.is_regular_file())
                    replayFile(entry.path(), count);
        } else if (std::filesystem::exists(path, error)) {
            if (!replaySeeds(path, count)) {
                std::fprintf(stderr, "%s: not a seed file of NAME: hex lines\n", argv[i]);
                return 1;
            }
        }
    }
    if (count == 0) {
        std::fprintf(stderr, "no inputs to replay\n");
        return 1;
    }
    std::printf("replayed %d inputs\n", count);
    return 0;
}
