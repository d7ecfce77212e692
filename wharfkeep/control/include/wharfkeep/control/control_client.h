#pragma once
// The client side of the control interface, for wharfkeepd's commands: one request and its
// answer, or the event stream line by line. libcurl over the Unix domain socket.

#include <filesystem>
#include <functional>
#include <optional>
#include <string>

namespace wharfkeep::control {

struct ClientAnswer {
    long status = 0;  // 0 when no answer came (the error says why)
    std::string body;
    std::string error;
};

class ControlClient {
public:
    explicit ControlClient(std::filesystem::path socket_path, long timeout_seconds = 60);

    ClientAnswer Get(const std::string& target) const;
    ClientAnswer Send(const std::string& method, const std::string& target,
                      const std::string& json_body) const;
    // Reads GET /events and hands each event (its "event:" name and "data:" text) to
    // `on_event`, until it returns false or the stream ends. `on_subscribed` runs once the
    // server has taken the subscription; returning false ends the stream there. The error,
    // or empty when a callback ended it.
    std::string Watch(
        const std::function<bool(const std::string& type, const std::string& data)>& on_event,
        const std::function<bool()>& on_subscribed = {}) const;

private:
    std::filesystem::path socket_path_;
    long timeout_seconds_;
};

}  // namespace wharfkeep::control
