#pragma once
// Checks passwords off the server thread: an Argon2id check takes tens of milliseconds and
// 64 MiB, which would stall every other client of the event loop. One thread, a short
// queue; `notify` runs on the worker after each result, to wake the loop that takes them.

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace wharfkeep::control {

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
    // The checks finished since the last call: the id and whether the password matched.
    std::vector<std::pair<std::uint64_t, bool>> TakeResults();

private:
    struct Job {
        std::uint64_t id;
        std::string hash;
        std::string password;
    };
    void Run();

    std::function<void()> notify_;
    std::size_t max_queued_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Job> jobs_;
    std::vector<std::pair<std::uint64_t, bool>> results_;
    bool stopping_ = false;
    std::string decoy_hash_;  // worker thread only
    std::thread thread_;
};

}  // namespace wharfkeep::control
