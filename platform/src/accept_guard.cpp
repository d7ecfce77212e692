#include "platform/accept_guard.h"

#include <event2/event.h>
#include <event2/listener.h>
#include <sys/time.h>

#include <cerrno>

#include "platform/descriptor_limit.h"

namespace platform {
namespace {

// How long accepting pauses when the process has run out of descriptors.
constexpr timeval kDescriptorPause{0, 100 * 1000};
// After this many accepts the listener waits one loop pass, so the connections already
// taken are read (a new peer's first command is often there at once) before a crowd
// reconnecting at once is taken in. libevent would otherwise accept until the backlog is
// empty. Not a rate: the backlog still drains as fast as the loop turns.
constexpr unsigned int kAcceptsPerPass = 32;
constexpr timeval kNextPass{0, 0};

}  // namespace

bool AcceptGuard::attach(event_base* base, evconnlistener* listener,
                         std::uint64_t descriptor_limit) {
    detach();
    resume_ = evtimer_new(base, &AcceptGuard::on_resume, this);
    listener_ = listener;
    descriptor_limit_ = descriptor_limit;
    accepts_this_pass_ = 0;
    return resume_ != nullptr;
}

void AcceptGuard::detach() {
    if (resume_ != nullptr) {
        event_free(resume_);
        resume_ = nullptr;
    }
    listener_ = nullptr;
}

void AcceptGuard::accept_failed(int error) {
    if (error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM) {
        pause_for_descriptors(error);
    }
}

void AcceptGuard::accepted(int fd) {
    if (listener_ == nullptr || resume_ == nullptr) {
        return;
    }
    // This connection is served; the next ones wait until descriptors free up again.
    if (descriptor_reserve_reached(fd, descriptor_limit_)) {
        pause_for_descriptors(EMFILE);
        return;
    }
    if (++accepts_this_pass_ >= kAcceptsPerPass && evtimer_pending(resume_, nullptr) == 0) {
        evconnlistener_disable(listener_);
        evtimer_add(resume_, &kNextPass);
    }
}

// Without a pause, a full descriptor table leaves the pending connection readable and the
// loop spins on accept() failing.
void AcceptGuard::pause_for_descriptors(int error) {
    if (listener_ == nullptr || resume_ == nullptr) {
        return;
    }
    evconnlistener_disable(listener_);
    evtimer_add(resume_, &kDescriptorPause);
    short_of_descriptors_ = true;
    ++pauses_;
    say_accept_paused(server_, error, last_warning_ms_);
}

void AcceptGuard::on_resume(int, short, void* self) {
    auto& guard = *static_cast<AcceptGuard*>(self);
    // Only a pause for descriptors needs the descriptor table looked at again; a yield after
    // a burst of accepts resumes at once.
    if (guard.short_of_descriptors_ &&
        descriptor_reserve_reached(lowest_free_descriptor(), guard.descriptor_limit_)) {
        evtimer_add(guard.resume_, &kDescriptorPause);  // still short: wait on
        return;
    }
    guard.short_of_descriptors_ = false;
    guard.accepts_this_pass_ = 0;
    evconnlistener_enable(guard.listener_);
}

}  // namespace platform
