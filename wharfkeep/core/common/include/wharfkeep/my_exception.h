#pragma once
// The publishing core's exception: I/O and format failures travel to the caller of a
// publishing step as one narrow message text.

#include <exception>
#include <string>
#include <utility>

namespace wharfkeep {

class CMyException : public std::exception {
public:
    explicit CMyException(std::string message) : message_(std::move(message)) {}

    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& message() const noexcept { return message_; }

private:
    std::string message_;
};

}  // namespace wharfkeep
