#pragma once
// Runs slow work for the control server's thread on a thread of its own and hands the results
// back: an Argon2id check or hash takes tens of milliseconds and 64 MiB, the import of an
// uploaded block list seconds, and either would stall every other client of the event loop.
// One thread, a short queue; `notify` runs on the worker after each result, to wake the loop
// that takes them.

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "wharfkeep/control/control_router.h"

namespace wharfkeep::control {

// Work that ends in an answer to the request held for it.
using LoopTask = std::function<ControlResponse()>;
// A change that hashes a password (adding a user, setting a password) and its answer.
using PasswordChange = std::function<ControlResponse(const std::string& password)>;

struct LoopResult {
    std::uint64_t id = 0;
    bool matches = false;    // a password check: the password was right
    ControlResponse answer;  // a task or a change: what it answered
};

class LoopWorker {
public:
    LoopWorker(std::function<void()> notify, std::size_t max_queued);
    // Finishes the job in progress, drops the queued ones, and joins.
    ~LoopWorker();
    LoopWorker(const LoopWorker&) = delete;
    LoopWorker& operator=(const LoopWorker&) = delete;

    // Queues the check of `password` against `hash`; an empty hash (no such user) is
    // checked against a hash of nothing, so that an unknown name takes as long as a wrong
    // password, and never matches. False when the queue is full.
    bool SubmitCheck(std::uint64_t id, std::string hash, std::string password);
    // Queues `change` with `password`; false when the queue is full.
    bool SubmitChange(std::uint64_t id, std::string password, PasswordChange change);
    // Queues `task`; false when the queue is full.
    bool SubmitTask(std::uint64_t id, LoopTask task);
    // The jobs finished since the last call.
    std::vector<LoopResult> TakeResults();

private:
    struct Job {
        std::uint64_t id = 0;
        LoopTask task;  // set: a task; empty: a password check or change
        std::string hash;
        std::string password;
        PasswordChange change;  // empty: a check against `hash`
    };
    bool Queue(Job job);
    void Run();
    LoopResult RunPasswordJob(Job& job);

    std::function<void()> notify_;
    std::size_t max_queued_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Job> jobs_;
    std::vector<LoopResult> results_;
    bool stopping_ = false;
    std::string decoy_hash_;  // worker thread only
    std::thread thread_;
};

}  // namespace wharfkeep::control
