#include "loop_worker.h"

#include <sodium.h>

#include "wharfkeep/control/control_users.h"

namespace wharfkeep::control {

LoopWorker::LoopWorker(std::function<void()> notify, std::size_t max_queued)
    : notify_(std::move(notify)), max_queued_(max_queued), thread_([this] { Run(); }) {}

LoopWorker::~LoopWorker() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_one();
    thread_.join();
}

bool LoopWorker::SubmitCheck(std::uint64_t id, std::string hash, std::string password) {
    return Queue({id, nullptr, std::move(hash), std::move(password), nullptr});
}

bool LoopWorker::SubmitChange(std::uint64_t id, std::string password, PasswordChange change) {
    return Queue({id, nullptr, "", std::move(password), std::move(change)});
}

bool LoopWorker::SubmitTask(std::uint64_t id, LoopTask task) {
    return Queue({id, std::move(task), "", "", nullptr});
}

bool LoopWorker::Queue(Job job) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (jobs_.size() >= max_queued_) {
            sodium_memzero(job.password.data(), job.password.size());
            return false;
        }
        jobs_.push_back(std::move(job));
    }
    wake_.notify_one();
    return true;
}

std::vector<LoopResult> LoopWorker::TakeResults() {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::exchange(results_, {});
}

void LoopWorker::Run() {
    for (;;) {
        Job job;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            wake_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
            if (stopping_) {
                return;
            }
            job = std::move(jobs_.front());
            jobs_.pop_front();
        }
        LoopResult result = job.task ? LoopResult{job.id, false, job.task()} : RunPasswordJob(job);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            results_.push_back(std::move(result));
        }
        notify_();
    }
}

LoopResult LoopWorker::RunPasswordJob(Job& job) {
    LoopResult result{job.id, false, {}};
    if (job.change) {
        result.answer = job.change(job.password);
    } else if (job.hash.empty()) {
        if (decoy_hash_.empty()) {
            decoy_hash_ = HashPassword("").value_or("");
        }
        PasswordMatches(decoy_hash_, job.password);
    } else {
        result.matches = PasswordMatches(job.hash, job.password);
    }
    sodium_memzero(job.password.data(), job.password.size());
    return result;
}

}  // namespace wharfkeep::control
