#pragma once
// Exceptions of the peer command codec. Every fault of the codec is a std::exception:
// these three classes for framing faults and short buffers, plain standard exceptions
// (std::runtime_error, or a bare std::exception where no text is given) for illegal
// lengths and rule violations inside a command body.

#include <stdexcept>
#include <string>

namespace peerfeed {

class p2p_cmd_exception : public std::runtime_error {
public:
    explicit p2p_cmd_exception(const std::string& message) : std::runtime_error(message) {}
};

// A fixed-size field or packed range runs past the end of the data. Inside a command
// decode this only ends the body: fields not reached keep their built values.
class p2p_cmd_exception_insufficient_read : public p2p_cmd_exception {
public:
    p2p_cmd_exception_insufficient_read() : p2p_cmd_exception("buffer is insufficient to read!") {}
};

class p2p_cmd_exception_insufficient_write : public p2p_cmd_exception {
public:
    p2p_cmd_exception_insufficient_write()
        : p2p_cmd_exception("buffer is insufficient to write!") {}
};

}  // namespace peerfeed
