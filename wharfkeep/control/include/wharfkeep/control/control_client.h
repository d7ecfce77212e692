#pragma once
// The client side of the control interface, for wharfkeepd's commands: one request and its
// answer, or the event stream line by line. libcurl over the Unix domain socket, or over
// HTTPS to another host's TCP listener.

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

// A running instance on another host. Its certificate is checked against `ca_file` when
// set, else its SHA-256 `fingerprint` is pinned when set, else the system's trust store
// decides; a certificate that fails the check ends the request, never a fallback to none.
struct RemoteTarget {
    std::string url;  // "https://HOST:PORT"
    std::string token;
    std::filesystem::path ca_file;
    std::string fingerprint;  // "AB:CD:..." (colons and case do not matter)
};

// Where wharfkeepd's commands send their requests: a running instance's control interface,
// or the same resources answered in this process over the stored files. A command written
// against this interface behaves the same either way.
class ControlChannel {
public:
    virtual ~ControlChannel() = default;
    // `target` is the path with its query ("/connections?sort=speed").
    virtual ClientAnswer Get(const std::string& target) const = 0;
    virtual ClientAnswer Send(const std::string& method, const std::string& target,
                              const std::string& json_body) const = 0;
};

class ControlClient : public ControlChannel {
public:
    explicit ControlClient(std::filesystem::path socket_path, long timeout_seconds = 60);
    explicit ControlClient(RemoteTarget remote, long timeout_seconds = 60);

    ClientAnswer Get(const std::string& target) const override;
    ClientAnswer Send(const std::string& method, const std::string& target,
                      const std::string& json_body) const override;
    // Reads GET /events and hands each event (its "event:" name and "data:" text) to
    // `on_event`, until it returns false or the stream ends. `on_subscribed` runs once the
    // server has taken the subscription; returning false ends the stream there. The error,
    // or empty when a callback ended it.
    std::string Watch(
        const std::function<bool(const std::string& type, const std::string& data)>& on_event,
        const std::function<bool()>& on_subscribed = {}) const;

private:
    std::filesystem::path socket_path_;
    std::optional<RemoteTarget> remote_;
    long timeout_seconds_;
};

}  // namespace wharfkeep::control
