#pragma once
// Tells systemd how a Type=notify service is doing ("READY=1", "STOPPING=1",
// "RELOADING=1", "STATUS=..."). Does nothing when the process was not started by systemd
// (NOTIFY_SOCKET unset).

#include <string>

namespace platform {

void notify_service(const std::string& state);

}  // namespace platform
