#pragma once
// A blocking FIFO of messages for a worker thread, with a quit message that ends it:
// the stand-in for a thread's message queue.

#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>

namespace platform {

template <typename Message>
class MessageQueue {
public:
    // Appends a message; ignored once quit() was called.
    void post(Message message) {
        {
            std::lock_guard lock(mutex_);
            if (quit_) {
                return;
            }
            messages_.push_back(std::move(message));
        }
        changed_.notify_one();
    }

    // Wakes the receiver; after the messages already queued, receive() returns nothing.
    void quit() {
        {
            std::lock_guard lock(mutex_);
            quit_ = true;
        }
        changed_.notify_all();
    }

    // Blocks until a message arrives; nothing once the queue is quit and drained.
    std::optional<Message> receive() {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return quit_ || !messages_.empty(); });
        if (messages_.empty()) {
            return std::nullopt;
        }
        Message front = std::move(messages_.front());
        messages_.pop_front();
        return front;
    }

    bool empty() const {
        std::lock_guard lock(mutex_);
        return messages_.empty();
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Message> messages_;
    bool quit_ = false;
};

}  // namespace platform
