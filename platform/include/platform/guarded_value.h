#pragma once
// A value that one thread replaces while others read copies of it.

#include <mutex>
#include <utility>

namespace platform {

template <typename Value>
class GuardedValue {
public:
    GuardedValue() = default;
    explicit GuardedValue(Value value) : value_(std::move(value)) {}
    GuardedValue(const GuardedValue&) = delete;
    GuardedValue& operator=(const GuardedValue&) = delete;

    void set(Value value) {
        std::lock_guard lock(mutex_);
        value_ = std::move(value);
    }
    Value get() const {
        std::lock_guard lock(mutex_);
        return value_;
    }

private:
    mutable std::mutex mutex_;
    Value value_;
};

}  // namespace platform
