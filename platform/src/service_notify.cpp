#include "platform/service_notify.h"

#include <systemd/sd-daemon.h>

namespace platform {

void notify_service(const std::string& state) {
    // The socket stays in the environment: a reload or stop reports through it later.
    ::sd_notify(0, state.c_str());
}

}  // namespace platform
