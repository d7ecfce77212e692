#include "control_session.h"

#include <grp.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>

#include "platform/ini_file.h"
#include "platform/log.h"

namespace wharfkeep::control {
namespace {

std::vector<std::string> CommaList(const std::string& text) {
    std::vector<std::string> items;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t comma = text.find(',', start);
        std::string item = TrimmedItem(text.substr(start, comma - start));
        if (!item.empty()) {
            items.push_back(item);
        }
        if (comma == std::string::npos) {
            break;
        }
        start = comma + 1;
    }
    return items;
}

// The names the generated certificate is for: this host's name, localhost, the loopback
// addresses and the listened addresses that are not wildcards.
std::vector<std::string> CertificateNames(const std::vector<ListenAddress>& addresses) {
    std::vector<std::string> names{"localhost", "127.0.0.1", "::1"};
    char name[256] = {};
    if (::gethostname(name, sizeof(name) - 1) == 0 && name[0] != '\0') {
        names.insert(names.begin(), name);
    }
    for (const ListenAddress& address : addresses) {
        if (address.host != "0.0.0.0" && address.host != "::" &&
            std::find(names.begin(), names.end(), address.host) == names.end()) {
            names.push_back(address.host);
        }
    }
    return names;
}

// The TCP listener's part of the options, from [control]; false with `error` naming the
// key that is wrong.
bool ReadRemoteOptions(const platform::IniFile& ini, const std::filesystem::path& app_folder,
                       ControlServerOptions& options, std::string& error) {
    std::string listen = ini.get_string("control", "listen", "");
    std::optional<std::vector<ListenAddress>> addresses = ParseListenAddresses(listen, error);
    if (!addresses) {
        error = "[control] listen: " + error;
        return false;
    }
    if (addresses->empty()) {
        return true;
    }
    TlsFiles files{ini.get_string("control", "tls_certificate", ""),
                   ini.get_string("control", "tls_key", "")};
    if (files.certificate.empty() != files.key.empty()) {
        error = "[control] tls_certificate and tls_key are set together or not at all";
        return false;
    }
    if (files.certificate.empty()) {
        std::optional<TlsFiles> made =
            EnsureSelfSignedCertificate(app_folder / "tls", CertificateNames(*addresses), error);
        if (!made) {
            return false;
        }
        files = *made;
    }
    options.tls = TlsIdentity::Load(files, error);
    if (options.tls == nullptr) {
        error = "[control] " + error;
        return false;
    }
    std::int64_t max_clients = ini.get_int("control", "max_clients", 64);
    if (max_clients < 1 || max_clients > 100000) {
        error = "[control] max_clients must be between 1 and 100000";
        return false;
    }
    options.remote_addresses = *addresses;
    options.max_remote_clients = static_cast<std::size_t>(max_clients);
    options.allowed_hosts = CommaList(ini.get_string("control", "allowed_hosts", ""));
    options.trusted_proxies = CommaList(ini.get_string("control", "trusted_proxies", ""));
    options.tokens = std::make_shared<TokenStore>(app_folder / kTokenFileName);
    options.users = std::make_shared<UserStore>(app_folder / kUsersFileName);
    std::int64_t idle = ini.get_int("web", "session_idle_minutes", 720);
    if (idle < 1 || idle > 2147483647) {
        error = "[web] session_idle_minutes must be a whole number from 1 to 2147483647";
        return false;
    }
    options.session_idle_minutes = static_cast<int>(idle);
    options.browse_roots = CommaList(ini.get_string("web", "browse_roots", ""));
    for (const std::string& root : options.browse_roots) {
        if (root.front() != '/') {
            error = "[web] browse_roots: \"" + root + "\" is not an absolute folder";
            return false;
        }
    }
    return true;
}

// The group of `[control] socket_group`, by name or number; false with `error` naming the
// key when no such group exists.
bool ReadSocketGroup(const platform::IniFile& ini, ControlServerOptions& options,
                     std::string& error) {
    const std::string name = TrimmedItem(ini.get_string("control", "socket_group", ""));
    if (name.empty()) {
        return true;
    }
    std::vector<char> buffer(16384);
    group entry{};
    group* found = nullptr;
    if (::getgrnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found) == 0 &&
        found != nullptr) {
        options.socket_group = found->gr_gid;
        return true;
    }
    if (std::all_of(name.begin(), name.end(), ::isdigit) && name.size() < 10) {
        const auto gid = static_cast<gid_t>(std::stoul(name));
        if (::getgrgid_r(gid, &entry, buffer.data(), buffer.size(), &found) == 0 &&
            found != nullptr) {
            options.socket_group = gid;
            return true;
        }
    }
    error = "[control] socket_group: there is no group \"" + name + "\"";
    return false;
}

}  // namespace

std::unique_ptr<ControlSession> ControlSession::Start(host::Host& served,
                                                      const std::filesystem::path& app_folder,
                                                      UiPoster post, const std::string& version,
                                                      std::string& error, bool& remote_failed) {
    remote_failed = false;
    auto host = std::make_unique<DocumentControlHost>(served, std::move(post), version);
    ControlServerOptions options;
    options.socket_path = app_folder / kControlSocketName;
    platform::IniFile ini = platform::IniFile::load(app_folder / "Wharfkeep.ini");
    options.metrics_address = ini.get_string("control", "metrics_address", "");
    if (!ReadSocketGroup(ini, options, error) ||
        !ReadRemoteOptions(ini, app_folder, options, error)) {
        remote_failed = true;
        return nullptr;
    }
    std::unique_ptr<ControlServer> server = ControlServer::Start(*host, options, error);
    if (!server) {
        remote_failed = error.rfind("[control]", 0) == 0;
        return nullptr;
    }
    for (const ListenAddress& address : server->remote_addresses()) {
        platform::log::info(
            "remote control and web console on https://{}/ (TLS certificate SHA-256 {})",
            address.Text(), options.tls->fingerprint());
    }
    std::unique_ptr<ControlSession> session(new ControlSession(served.Events(), std::move(host)));
    session->socket_path_ = options.socket_path;
    session->host_->SetServer(server.get());
    session->server_ = std::move(server);
    served.Events().Subscribe(session->host_.get());
    return session;
}

namespace {

bool Listed(const std::vector<ListenAddress>& addresses, const ListenAddress& address) {
    return std::any_of(addresses.begin(), addresses.end(),
                       [&](const ListenAddress& other) { return other.Text() == address.Text(); });
}

// Says in the log which addresses the reload closed and opened, and a new certificate.
void LogReloadOutcome(const RemoteReloadOutcome& outcome) {
    if (!outcome.error.empty()) {
        platform::log::error("{}; remote control stays as it was", outcome.error);
        return;
    }
    for (const ListenAddress& address : outcome.before) {
        if (!Listed(outcome.after, address)) {
            platform::log::info("remote control and web console no longer on https://{}/",
                                address.Text());
        }
    }
    for (const ListenAddress& address : outcome.after) {
        if (!Listed(outcome.before, address)) {
            platform::log::info(
                "remote control and web console on https://{}/ (TLS certificate SHA-256 {})",
                address.Text(), outcome.fingerprint_after);
        }
    }
    if (!outcome.after.empty() && outcome.fingerprint_after != outcome.fingerprint_before) {
        platform::log::info("remote control presents the TLS certificate SHA-256 {}",
                            outcome.fingerprint_after);
    }
}

}  // namespace

void ControlSession::Reload(const std::filesystem::path& app_folder) {
    platform::IniFile ini = platform::IniFile::load(app_folder / "Wharfkeep.ini");
    ControlServerOptions options;
    std::string error;
    if (!ReadRemoteOptions(ini, app_folder, options, error)) {
        platform::log::error("{}; remote control stays as it was", error);
        return;
    }
    // Applied on the server thread, which logs the outcome: this thread must not wait for it
    // while that thread may be waiting for this one to answer a request.
    server_->ReloadRemote(options, LogReloadOutcome);
}

ControlSession::~ControlSession() {
    events_.Unsubscribe(host_.get());
    host_->Close();
    host_->SetServer(nullptr);
    server_.reset();
}

}  // namespace wharfkeep::control
