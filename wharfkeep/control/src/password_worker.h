#pragma once
// Checks and hashes passwords off the server thread: an Argon2id check or hash takes tens of
// milliseconds and 64 MiB, which would stall every other client of the event loop. One
// thread, a short queue; `notify` runs on the worker after each result, to wake the loop
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

// A change that hashes a password (adding a user, setting a password) and its answer.
using PasswordChange = std::function<ControlResponse(const std::string& password)>;

struct PasswordResult {
    std::uint64_t id = 0;
    bool matches = false;    // a check: the password was right
    ControlResponse answer;  // a change: what it answered
};

class PasswordWorker {
public:
    PasswordWorker(std::function<void()> notify, std::size_t max_queued);
    // Finishes the check in progress, drops the queued ones, and joins.
    ~PasswordWorker();
    PasswordWorker(const PasswordWorker&) = delete;
    PasswordWorker& operator=(const PasswordWorker&) = delete;

    // Queues the check of `password` against `hash`; an empty hash (no such user) is
    // checked against a hash of nothing, so that an unknown name takes as long as a wrong
    // password, and never matches. False when the queue is full.
    bool Submit(std::uint64_t id, std::string hash, std::string password);
    // Queues `change` with `password`; false when the queue is full.
    bool SubmitChange(std::uint64_t id, std::string password, PasswordChange change);
    // The checks and changes finished since the last call.
    std::vector<PasswordResult> TakeResults();

private:
    struct Job {
        std::uint64_t id;
        std::string hash;
        std::string password;
        PasswordChange change;  // empty: a check against `hash`
    };
    bool Queue(Job job);
    void Run();

    std::function<void()> notify_;
    std::size_t max_queued_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Job> jobs_;
    std::vector<PasswordResult> results_;
    bool stopping_ = false;
    std::string decoy_hash_;  // worker thread only
    std::thread thread_;
};

}  // namespace wharfkeep::control
