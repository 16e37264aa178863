#pragma once

#include "service/Spool.h"

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <mutex>
#include <thread>
#include <vector>

// Makes spool batches durable off the event loop. Long-lived workers take batches from a
// queue and sync them; the loop learns of it through notifier() and collects the landed
// batches in the order it submitted them, so that clients see messages in arrival order.
// Batches of removals alone answer nobody: those after them never wait for them.
// While the workers are busy, new messages gather into the next batch: one sync for many.
class CommitPipeline
{
public:
    using Sync = std::function<void(Spool::Batch&)>;

    explicit CommitPipeline(
        Sync sync = [](Spool::Batch& batch) { batch.sync(); }, std::size_t workers = 2);
    ~CommitPipeline();
    CommitPipeline(const CommitPipeline&) = delete;
    CommitPipeline& operator=(const CommitPipeline&) = delete;

    // An eventfd, readable when a batch has landed; -1 when it could not be made.
    int notifier() const { return m_notifier; }
    // True while every worker has a batch: the next one waits and grows meanwhile.
    bool busy() const;
    // True while no batch is on its way.
    bool idle() const;
    // True while a batch of removals alone is on its way.
    bool removing() const;
    void submit(Spool::Batch batch);
    // The batches that landed, oldest first, stopping at the first with messages that has not.
    std::vector<Spool::Batch> collect();

private:
    struct Job
    {
        Spool::Batch batch;
        bool taken = false;
        bool done = false;
    };
    void work();

    Sync m_sync;
    int m_notifier = -1;
    mutable std::mutex m_lock;
    std::condition_variable m_wake;
    // Submitted, oldest first; workers take the first not yet taken. A list, so that a job
    // collected out of turn leaves the others where the workers hold them.
    std::list<Job> m_jobs;
    std::size_t m_workerCount;
    bool m_stopping = false;
    std::vector<std::thread> m_workers;
};
