#pragma once
// The control interface of a running program, ready to use: the document's host for it
// (listening to the document's events), and the server on "wharfkeepd.sock" of the
// application-data folder, with /metrics also on `[control] metrics_address` of
// Wharfkeep.ini when that is set, and the whole interface over TLS on the addresses of
// `[control] listen` (with tls_certificate, tls_key, max_clients, allowed_hosts and
// trusted_proxies; the tokens of "control-tokens.json").
//
// Created and destroyed on the user-interface thread, while the document is open.

#include <filesystem>
#include <memory>
#include <string>

#include "document_control_host.h"

namespace wharfkeep::control {

class ControlSession {
public:
    // Nothing, with `error` set, when the socket or an address cannot be bound; the
    // document is then left as it was. `remote_failed` tells that a [control] setting (the
    // TCP listener's or socket_group) was the cause (the error names the key), which ends a
    // serve.
    static std::unique_ptr<ControlSession> Start(host::Host& served,
                                                 const std::filesystem::path& app_folder,
                                                 UiPoster post, const std::string& version,
                                                 std::string& error, bool& remote_failed);
    // Stops listening and stops the server.
    ~ControlSession();
    ControlSession(const ControlSession&) = delete;
    ControlSession& operator=(const ControlSession&) = delete;

    const std::filesystem::path& socket_path() const { return socket_path_; }

    // Reads [control] of Wharfkeep.ini again and applies the TCP listener's settings and
    // certificate files (SIGHUP). Settings that cannot be applied (a busy or wrong address,
    // a missing or damaged certificate) are logged naming the key, and the running listeners
    // and certificate stay. socket_group and metrics_address apply at the next start.
    void Reload(const std::filesystem::path& app_folder);

private:
    ControlSession(host::HostEvents& events, std::unique_ptr<DocumentControlHost> host)
        : events_(events), host_(std::move(host)) {}

    host::HostEvents& events_;
    std::unique_ptr<DocumentControlHost> host_;
    std::unique_ptr<ControlServer> server_;
    std::filesystem::path socket_path_;
};

}  // namespace wharfkeep::control
