// The exported functions of libcatalogd.so and the library's process-wide state.

#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>

#include "catalogd/catalogd.h"
#include "http_response.h"
#include "list_service.h"
#include "movie_info.h"
#include "platform/ini_file.h"
#include "testing_hooks.h"

namespace catalogd {
namespace {

constexpr std::uint16_t kDefaultPort = 8190;
constexpr std::size_t kHostNameBuffer = 1024;

// The not-found answer every unknown identifier gets; nothing when it cannot be encoded,
// and the server then answers "404 Not Found".
SharedResponse prepare_not_found_response() {
    try {
        cmd_stream_query_movie_info_resp response;
        response.result = kResultNotFound;
        return WireResponse::in_memory(kStatusOk, encode_message(response));
    } catch (const std::exception&) {
        return nullptr;
    }
}

// One server per process. `control` serialises start and stop; `service_mutex` guards only
// the pointer, so that callers can reach a running service without waiting for a start or
// stop in progress.
struct LibraryState {
    LibraryState() { cache.not_found = prepare_not_found_response(); }
    ~LibraryState() {
        if (service) {
            service->stop();
        }
    }

    std::shared_ptr<ListService> current_service() {
        std::lock_guard lock(service_mutex);
        return service;
    }

    std::mutex control;
    std::uint16_t port = kDefaultPort;
    ServiceTimeouts timeouts;
    std::optional<ServiceLimits> limits_for_testing;
    HostCallbacks callbacks;
    ResponseCache cache;

    std::mutex service_mutex;
    std::shared_ptr<ListService> service;
};

// Built when the library loads, with the prepared not-found response.
LibraryState g_library;

// Applies `change` to the response cache on the thread that owns it.
void change_cache(const std::function<void(ResponseCache&)>& change) {
    auto apply = [&] { change(g_library.cache); };
    if (std::shared_ptr<ListService> service = g_library.current_service()) {
        if (service->run_on_service_thread(apply)) {
            return;
        }
    }
    // No loop runs, or it ended before the task ran: once any start or stop in progress is
    // over, either a new service owns the cache or nobody does.
    std::lock_guard lock(g_library.control);
    if (std::shared_ptr<ListService> service = g_library.current_service()) {
        service->run_on_service_thread(apply);
        return;
    }
    apply();
}

// The limits of a service started now: max_connections from section [sts] of the
// application's profile.
ServiceLimits service_limits() {
    if (g_library.limits_for_testing) {
        return *g_library.limits_for_testing;
    }
    ServiceLimits limits;
    const std::int64_t configured = platform::IniFile::load_app_profile().get_int(
        "sts", "max_connections", static_cast<std::int64_t>(limits.max_connections));
    if (configured > 0) {
        limits.max_connections = static_cast<std::size_t>(configured);
    }
    return limits;
}

in_addr first_host_address() {
    in_addr address{};
    address.s_addr = htonl(INADDR_ANY);
    std::array<char, kHostNameBuffer> name{};
    if (gethostname(name.data(), name.size() - 1) != 0) {
        return address;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    addrinfo* found = nullptr;
    if (getaddrinfo(name.data(), nullptr, &hints, &found) != 0 || found == nullptr) {
        return address;
    }
    address = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr;
    freeaddrinfo(found);
    return address;
}

}  // namespace

namespace testing {

void set_timeouts(const ServiceTimeouts& timeouts) {
    std::lock_guard lock(g_library.control);
    g_library.timeouts = timeouts;
}

ServiceTimeouts default_timeouts() {
    return ServiceTimeouts{};
}

void set_limits(std::optional<ServiceLimits> limits) {
    std::lock_guard lock(g_library.control);
    g_library.limits_for_testing = limits;
}

std::uint64_t refused_connections() {
    std::shared_ptr<ListService> service = g_library.current_service();
    return service ? service->refused_connections() : 0;
}

std::uint64_t list_exports() {
    std::shared_ptr<ListService> service = g_library.current_service();
    return service ? service->list_exports() : 0;
}

void set_stored_port(std::uint16_t port) {
    std::lock_guard lock(g_library.control);
    g_library.port = port;
}

std::uint16_t stored_port() {
    std::lock_guard lock(g_library.control);
    return g_library.port;
}

std::uint16_t listening_port() {
    std::shared_ptr<ListService> service = g_library.current_service();
    return service ? service->port() : 0;
}

std::size_t open_connections() {
    std::shared_ptr<ListService> service = g_library.current_service();
    std::size_t count = 0;
    if (service) {
        service->run_on_service_thread([&] { count = service->connection_count(); });
    }
    return count;
}

std::size_t cached_responses() {
    std::size_t count = 0;
    change_cache([&](ResponseCache& cache) { count = cache.responses.size(); });
    return count;
}

}  // namespace testing
}  // namespace catalogd

using catalogd::g_library;

extern "C" {

STS_EXPORT int sts_start(unsigned short port) {
    try {
        // From a callback the service is running by definition; taking the control lock
        // there could wait for a stop that waits for this very callback.
        if (std::shared_ptr<catalogd::ListService> running = g_library.current_service();
            running && running->on_service_thread()) {
            return 0;
        }
        std::lock_guard control(g_library.control);
        if (g_library.current_service()) {
            return 0;
        }
        if (port != 0) {
            g_library.port = port;
        }
        std::shared_ptr<catalogd::ListService> service =
            catalogd::ListService::start(g_library.port, g_library.callbacks, g_library.cache,
                                         g_library.timeouts, catalogd::service_limits());
        if (!service) {
            return 1;
        }
        std::lock_guard lock(g_library.service_mutex);
        g_library.service = std::move(service);
        return 0;
    } catch (const std::exception&) {
        return 1;
    }
}

STS_EXPORT int sts_stop(void) {
    try {
        // The loop cannot wait for its own end, and the control lock may be held by a stop
        // that waits for this very callback.
        if (std::shared_ptr<catalogd::ListService> running = g_library.current_service();
            running && running->on_service_thread()) {
            return 1;
        }
        std::lock_guard control(g_library.control);
        std::shared_ptr<catalogd::ListService> service = g_library.current_service();
        if (!service) {
            return 0;
        }
        // The pointer stays published while the loop ends, so that a callback running on
        // the service thread can still reach its own service.
        if (!service->stop()) {
            return 1;
        }
        std::lock_guard lock(g_library.service_mutex);
        g_library.service.reset();
        return 0;
    } catch (const std::exception&) {
        return 1;
    }
}

STS_EXPORT int sts_run_stat(void) {
    std::shared_ptr<catalogd::ListService> service = g_library.current_service();
    return service && service->running() ? 1 : 0;
}

STS_EXPORT int sts_get_bind_addr(struct sockaddr_in* out) {
    if (out == nullptr) {
        return 1;
    }
    std::uint16_t port = 0;
    if (std::shared_ptr<catalogd::ListService> service = g_library.current_service()) {
        port = service->port();
    } else {
        std::lock_guard control(g_library.control);
        port = g_library.port;
    }
    *out = sockaddr_in{};
    out->sin_family = AF_INET;
    out->sin_port = htons(port);
    out->sin_addr = catalogd::first_host_address();
    return 0;
}

STS_EXPORT void sts_set_gcid2path_function(sts_gcid2path_function function) {
    g_library.callbacks.gcid_to_path.store(function);
}

STS_EXPORT void sts_set_ip_filter_function(sts_ip_filter_function function) {
    g_library.callbacks.ip_filter.store(function);
}

STS_EXPORT void sts_set_export_lists_function(sts_export_lists_function function) {
    g_library.callbacks.export_lists.store(function);
}

STS_EXPORT int sts_close_file(const char* gcid_text) {
    if (gcid_text == nullptr) {
        return 0;
    }
    try {
        std::string key(gcid_text);
        catalogd::change_cache([&](catalogd::ResponseCache& cache) {
            cache.responses.erase(key);
            cache.list = {};  // the item may be listed: the next "/urls" exports afresh
        });
    } catch (const std::exception&) {
    }
    return 0;
}

STS_EXPORT int sts_close_all_files(void) {
    try {
        catalogd::change_cache([](catalogd::ResponseCache& cache) {
            cache.responses.clear();
            cache.list = {};
        });
    } catch (const std::exception&) {
    }
    return 0;
}

STS_EXPORT int sts_probe_loop(unsigned int timeout_ms) {
    try {
        std::shared_ptr<catalogd::ListService> service = g_library.current_service();
        if (!service || !service->running()) {
            return 1;
        }
        return service->probe_loop(std::chrono::milliseconds(timeout_ms));
    } catch (...) {
        return 2;
    }
}

STS_EXPORT int sts_get_query_stat(sts_query_stat* out) {
    if (out == nullptr) {
        return 1;
    }
    const catalogd::QueryCounts& counts = catalogd::query_counts();
    out->lists = counts.lists.load();
    out->found = counts.found.load();
    out->not_found = counts.not_found.load();
    out->malformed = counts.malformed.load();
    out->list_failed = counts.list_failed.load();
    return 0;
}

}  // extern "C"
