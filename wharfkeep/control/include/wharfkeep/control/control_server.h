#pragma once
// The control interface of a running instance: HTTP/1.1 with JSON bodies on a Unix domain
// socket (mode 0600), served by libevent's HTTP server on a thread of its own, plus the
// event stream (server-sent events on GET /events), when configured the same interface over
// TLS on TCP addresses with the web console's files and logins, and /metrics alone on a
// plain TCP address.
//
// Threading contract: Start, Stop and the destructor run on the owner's thread. The server
// thread handles every request and calls the ControlHost, one call at a time; a block-list
// import is handed to a worker thread, which calls the host's import beside it. PublishEvent
// may be called from any thread; events reach the subscribers in the order published.

#include <sys/types.h>

#include <cstddef>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include <vector>

#include "wharfkeep/control/api_tokens.h"
#include "wharfkeep/control/control_event.h"
#include "wharfkeep/control/control_host.h"
#include "wharfkeep/control/control_users.h"
#include "wharfkeep/control/listen_address.h"
#include "wharfkeep/control/tls_identity.h"

namespace wharfkeep::control {

inline constexpr const char* kControlSocketName = "wharfkeepd.sock";

struct ControlServerOptions {
    std::filesystem::path socket_path;
    // The group given the socket with mode 0660, so that its members need not be the owner;
    // without one the socket is the owner's alone (0600).
    std::optional<gid_t> socket_group;
    // "HOST:PORT" of a TCP listener that answers /metrics only; empty: none.
    std::string metrics_address;
    // A connection that sends nothing for this long is closed.
    int idle_timeout_seconds = 30;
    // A connection must deliver each whole request (header and body) within this time of
    // being ready for it, however slowly it trickles bytes.
    int request_deadline_seconds = 10;
    std::size_t max_body_bytes = 64 * 1024;
    // The body of a block-list upload (POST /actions/ipfilter-import with the list's text),
    // as operators download them: several MiB. Two such bodies are read at once at most
    // (more get max_body_bytes), so that clients cannot make the server hold much more.
    std::size_t max_upload_body_bytes = 16 * 1024 * 1024;
    // Seconds between keep-alive comments on the event stream; they also find closed
    // subscribers.
    int event_keepalive_seconds = 10;
    // Events queued for one subscriber that has not taken them; past this it is told it
    // lagged and is closed.
    std::size_t event_backlog_bytes = 256 * 1024;

    // The TCP listener for remote control, always TLS with `tls`; off when empty.
    std::vector<ListenAddress> remote_addresses;
    std::shared_ptr<TlsIdentity> tls;
    // Remote clients connected at once; more are closed as they come.
    std::size_t max_remote_clients = 64;
    // The tokens remote clients authenticate with; none accepted without.
    std::shared_ptr<TokenStore> tokens;
    // Names a remote client may use in Host besides numeric addresses, "localhost" and this
    // host's name.
    std::vector<std::string> allowed_hosts;
    // Proxies (addresses or CIDR blocks) whose X-Forwarded-For names the client.
    std::vector<std::string> trusted_proxies;
    // Seconds between checks that the tokens of open event streams are still valid.
    int token_check_seconds = 1;

    // The people who may log in to the web console on the TCP listener; nobody without.
    std::shared_ptr<UserStore> users;
    // A console session that makes no request for this long ends.
    int session_idle_minutes = 720;
    // Absolute folders whose sub-folders GET /browse lists for the console's folder picker;
    // none: the console offers only a typed path.
    std::vector<std::string> browse_roots;
    // Events kept for clients that reconnect with Last-Event-ID.
    std::size_t recent_events = 1000;
};

// Binds `path` for listening: a stale socket left by a dead instance is replaced; a socket
// that answers belongs to a live instance and is left alone (the error says so), and so is
// anything at the path that is not a socket. The socket file gets mode 0600, or 0660 with
// `group` as its group. Returns the listening descriptor or -1 with `error` set.
int BindControlSocket(const std::filesystem::path& path, std::string& error,
                      std::optional<gid_t> group = std::nullopt);

// True when something accepts connections on the control socket at `path`.
bool ControlSocketAnswers(const std::filesystem::path& path);

// How a reload of the TCP listener went: `error` empty when it was applied; the addresses
// listened on and the certificate presented (SHA-256, empty without one) before and after.
struct RemoteReloadOutcome {
    std::string error;
    std::vector<ListenAddress> before;
    std::vector<ListenAddress> after;
    std::string fingerprint_before;
    std::string fingerprint_after;
};

class ControlServer {
public:
    // Binds the socket (and the metrics address) and starts the server thread. Nothing when
    // either cannot be bound; `error` says why.
    static std::unique_ptr<ControlServer> Start(ControlHost& host,
                                                const ControlServerOptions& options,
                                                std::string& error);
    // Stops the thread, closes every connection and removes the socket file.
    ~ControlServer();
    ControlServer(const ControlServer&) = delete;
    ControlServer& operator=(const ControlServer&) = delete;

    // Hands the TCP listener's part of `options` (remote_addresses, tls, max_remote_clients,
    // allowed_hosts, trusted_proxies, tokens, browse_roots) to the server thread and returns at
    // once: that thread may itself be waiting for the caller's thread to answer a request.
    // Addresses listed before and after keep their sockets, others are opened or closed, and no
    // connection is dropped, on the socket or on TCP. When the settings cannot be applied the
    // running ones stay as they were. `done` is called on the server thread once they are
    // applied or refused; it is not called when the server stops first.
    void ReloadRemote(const ControlServerOptions& options,
                      std::function<void(const RemoteReloadOutcome&)> done);

    void PublishEvent(const ControlEvent& event);
    // The port the metrics listener is bound to (useful with port 0); 0 without one.
    int metrics_port() const;
    // Clients connected now, and how many of them are on the event stream.
    std::size_t connection_count() const;
    std::size_t subscriber_count() const;
    // The TCP addresses listened on, as bound (the port filled in where 0 was asked).
    std::vector<ListenAddress> remote_addresses() const;

    struct Loop;

private:
    explicit ControlServer(std::unique_ptr<Loop> loop);
    std::unique_ptr<Loop> loop_;
};

}  // namespace wharfkeep::control
