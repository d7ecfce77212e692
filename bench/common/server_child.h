#pragma once
// A server run in a child process of its own, so that its CPU time, memory and disk reads
// are its alone. The child reports to the parent over one pipe (that it started, on which
// port, its last figures) and stops when the parent closes the other. Make it while this
// process runs no other thread.

#include <fcntl.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstddef>
#include <cstdio>
#include <stdexcept>

namespace bench {

class server_child {
public:
    // Runs `serve(reports, control)` in the child, which ends with its return value as the
    // exit code: it writes its reports to `reports` and calls wait_for_stop(control).
    template <class Serve>
    explicit server_child(Serve serve) {
        int reports[2];
        int control[2];
        if (::pipe2(reports, O_CLOEXEC) != 0 || ::pipe2(control, O_CLOEXEC) != 0) {
            throw std::runtime_error("pipe failed");
        }
        std::fflush(stdout);  // the child's copy of the buffer would be printed twice
        pid_ = ::fork();
        if (pid_ < 0) {
            throw std::runtime_error("fork failed");
        }
        if (pid_ == 0) {
            ::close(reports[0]);
            ::close(control[1]);
            const int code = serve(reports[1], control[0]);
            std::fflush(stdout);
            ::_exit(code);
        }
        ::close(reports[1]);
        ::close(control[0]);
        reports_ = reports[0];
        control_ = control[1];
    }
    ~server_child() { wait(); }
    server_child(const server_child&) = delete;
    server_child& operator=(const server_child&) = delete;

    pid_t pid() const { return pid_; }

    // Reads `size` bytes the child reported into `into`; false when it ended first.
    bool read_report(void* into, std::size_t size) {
        auto* bytes = static_cast<char*>(into);
        while (size > 0) {
            const ssize_t got = ::read(reports_, bytes, size);
            if (got <= 0) {
                return false;
            }
            bytes += got;
            size -= static_cast<std::size_t>(got);
        }
        return true;
    }

    // Tells the child to stop; it may still report before it ends.
    void tell_stop() {
        if (control_ >= 0) {
            ::close(control_);
            control_ = -1;
        }
    }

    // Tells the child to stop, if not yet told, and waits until it has ended.
    void wait() {
        if (pid_ <= 0) {
            return;
        }
        tell_stop();
        ::close(reports_);
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

    // In the child: returns when the parent tells it to stop (or ends).
    static void wait_for_stop(int control) {
        char ignored;
        while (::read(control, &ignored, 1) > 0) {
        }
    }

private:
    pid_t pid_ = -1;
    int reports_ = -1;
    int control_ = -1;
};

}  // namespace bench
