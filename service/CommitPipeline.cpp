#include "service/CommitPipeline.h"

#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

CommitPipeline::CommitPipeline(Sync sync, std::size_t workers)
    : m_sync(std::move(sync)), m_notifier(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)),
      m_workerCount(workers == 0 ? 1 : workers)
{
    // Workers take no signal: SIGTERM must reach the loop's signalfd, not end the process.
    sigset_t all, previous;
    sigfillset(&all);
    ::pthread_sigmask(SIG_BLOCK, &all, &previous);
    for (std::size_t i = 0; i < m_workerCount; ++i)
        m_workers.emplace_back([this] { work(); });
    ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

CommitPipeline::~CommitPipeline()
{
    {
        const std::lock_guard guard(m_lock);
        m_stopping = true;
    }
    m_wake.notify_all();
    for (std::thread& worker : m_workers)
        worker.join();
    if (m_notifier >= 0)
        ::close(m_notifier);
}

bool CommitPipeline::busy() const
{
    const std::lock_guard guard(m_lock);
    return m_jobs.size() >= m_workerCount;
}

bool CommitPipeline::idle() const
{
    const std::lock_guard guard(m_lock);
    return m_jobs.empty();
}

bool CommitPipeline::removing() const
{
    const std::lock_guard guard(m_lock);
    return std::ranges::any_of(m_jobs, [](const Job& job) { return job.batch.entries.empty(); });
}

void CommitPipeline::submit(Spool::Batch batch)
{
    {
        const std::lock_guard guard(m_lock);
        m_jobs.push_back(Job{std::move(batch), false, false});
    }
    m_wake.notify_one();
}

std::vector<Spool::Batch> CommitPipeline::collect()
{
    std::uint64_t count = 0;
    while (::read(m_notifier, &count, sizeof count) < 0 && errno == EINTR) {
    }
    std::vector<Spool::Batch> landed;
    const std::lock_guard guard(m_lock);
    for (auto job = m_jobs.begin(); job != m_jobs.end();) {
        if (!job->done) {
            if (!job->batch.entries.empty())
                break;
            ++job;
            continue;
        }
        landed.push_back(std::move(job->batch));
        job = m_jobs.erase(job);
    }
    return landed;
}

void CommitPipeline::work()
{
    std::unique_lock guard(m_lock);
    while (true) {
        // Queued batches are synced even when stopping: they may hold acknowledged removals.
        const auto untaken = [&] {
            return std::ranges::find(m_jobs, false, &Job::taken);
        };
        m_wake.wait(guard, [&] { return untaken() != m_jobs.end() || m_stopping; });
        const auto next = untaken();
        if (next == m_jobs.end())
            return;
        Job& job = *next;
        job.taken = true;
        guard.unlock();
        m_sync(job.batch);
        guard.lock();
        job.done = true;
        const std::uint64_t one = 1;
        while (::write(m_notifier, &one, sizeof one) < 0 && errno == EINTR) {
        }
    }
}
