// The exported functions: thin wrappers over the process-wide server. No exception
// leaves them.

#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "log.h"
#include "peerfeed/peerfeed.h"
#include "server.h"
#include "stats/histogram.h"

using peerfeed::upload_server;

namespace {

// Lists cross to the host as a header and an entry array, both freed by the matching
// vp_free_* export.
template <typename List, typename Entry>
List* make_list(const std::vector<Entry>& entries) {
    auto list = std::make_unique<List>();
    list->count = static_cast<std::uint32_t>(entries.size());
    list->entries = nullptr;
    if (!entries.empty()) {
        auto array = std::make_unique<Entry[]>(entries.size());
        std::copy(entries.begin(), entries.end(), array.get());
        list->entries = array.release();
    }
    return list.release();
}

template <typename List>
void free_list(List* list) {
    if (list == nullptr) {
        return;
    }
    std::unique_ptr<List> owner(list);
    std::unique_ptr<std::remove_pointer_t<decltype(list->entries)>[]> entries(list->entries);
}

// Fills `*out` on the server's loop thread with `collect`, which says whether it could: 0, or 1
// when `out` is null, the loop does not answer or `collect` could not fill it.
template <typename Record, typename Collect>
int fill_on_loop(Record* out, Collect collect) {
    if (out == nullptr) {
        return 1;
    }
    try {
        upload_server& server = upload_server::instance();
        Record record{};
        bool filled = false;
        if (!server.loop_call([&] { filled = collect(server, record); }) || !filled) {
            return 1;
        }
        *out = record;
        return 0;
    } catch (...) {
        return 1;
    }
}

// The entries `collect` gathers on the server's loop thread, as a list for the host (empty
// when the loop does not answer); null when no list could be made.
template <typename List, typename Collect>
List* list_on_loop(Collect collect) {
    try {
        upload_server& server = upload_server::instance();
        decltype(collect(server)) entries;
        if (!server.loop_call([&] { entries = collect(server); })) {
            entries.clear();
        }
        return make_list<List>(entries);
    } catch (...) {
        return nullptr;
    }
}

}  // namespace

extern "C" {

int vp_start(unsigned short port) {
    peerfeed::select_start_log_sink();
    try {
        return upload_server::instance().start(port);
    } catch (...) {
        return 1;
    }
}

int vp_stop(void) {
    try {
        return upload_server::instance().stop();
    } catch (...) {
        return 0;
    }
}

int vp_run_stat(void) {
    return upload_server::instance().running() ? 1 : 0;
}

int vp_get_bind_addr(struct sockaddr_in* out) {
    if (out == nullptr) {
        return 0;
    }
    std::memset(out, 0, sizeof *out);
    out->sin_family = AF_INET;
    out->sin_port = htons(upload_server::instance().listen_port());
    out->sin_addr.s_addr = htonl(INADDR_ANY);
    char host[1024] = {};
    if (gethostname(host, sizeof host - 1) != 0) {
        return 0;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host, nullptr, &hints, &found) == 0 && found != nullptr) {
        if (found->ai_addr != nullptr && found->ai_family == AF_INET) {
            out->sin_addr = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr;
        }
        freeaddrinfo(found);
    }
    return 0;
}

void vp_set_gcid2path_function(vp_gcid2path_function function) {
    upload_server::instance().set_gcid2path_function(function);
}

void vp_set_ip_filter_function(vp_ip_filter_function function) {
    upload_server::instance().set_ip_filter_function(function);
}

void vp_set_session_function(vp_session_function function) {
    upload_server::instance().set_session_function(function);
}

unsigned int vp_set_speed_limit(unsigned int bytes_per_second) {
    try {
        return upload_server::instance().set_speed_limit(bytes_per_second);
    } catch (...) {
        return 0;
    }
}

unsigned int vp_get_speed_limit(void) {
    return upload_server::instance().speed_limit();
}

unsigned int vp_set_connection_limit(unsigned int limit) {
    return upload_server::instance().set_connection_limit(limit);
}

unsigned int vp_get_connection_limit(void) {
    return upload_server::instance().connection_limit();
}

unsigned int vp_set_address_connection_limit(unsigned int limit) {
    return upload_server::instance().set_address_connection_limit(limit);
}

unsigned int vp_get_address_connection_limit(void) {
    return upload_server::instance().address_connection_limit();
}

int vp_get_refusal_stat(vp_refusal_stat* out) {
    if (out == nullptr) {
        return 1;
    }
    *out = upload_server::instance().refusal_stat();
    return 0;
}

int vp_get_session_drop_stat(vp_session_drop_stat* out) {
    if (out == nullptr) {
        return 1;
    }
    *out = upload_server::instance().session_drop_stat();
    return 0;
}

int vp_probe_loop(unsigned int timeout_ms) {
    try {
        return upload_server::instance().probe_loop(std::chrono::milliseconds(timeout_ms));
    } catch (...) {
        return 2;
    }
}

int vp_get_histograms(vp_histograms* out) {
    if (out == nullptr) {
        return 1;
    }
    const peerfeed::request_histograms& histograms = peerfeed::process_wide_histograms();
    out->answer_bytes = histograms.answer_bytes.snapshot(1.0);
    out->disk_wait_seconds = histograms.disk_wait_us.snapshot(1e6);
    out->send_wait_seconds = histograms.send_wait_us.snapshot(1e6);
    return 0;
}

int vp_reload_settings(void) {
    try {
        return upload_server::instance().reload_settings() ? 0 : 1;
    } catch (...) {
        return 1;
    }
}

void vp_set_upload_paused(int paused) {
    try {
        upload_server::instance().set_upload_paused(paused != 0);
    } catch (...) {
    }
}

int vp_get_upload_paused(void) {
    return upload_server::instance().upload_paused() ? 1 : 0;
}

int vp_get_server_stat(peerfeed_stat* out) {
    return fill_on_loop(out, [](upload_server& server, peerfeed_stat& stat) {
        stat = server.collect_server_stat();
        return true;
    });
}

int vp_get_cache_stat(vp_cache_stat* out) {
    return fill_on_loop(out, [](upload_server& server, vp_cache_stat& stat) {
        return server.collect_cache_stat(stat);
    });
}

int vp_get_cache_counters(vp_cache_counters* out) {
    return fill_on_loop(out, [](upload_server& server, vp_cache_counters& counters) {
        return server.collect_cache_counters(counters);
    });
}

resource_stat_list* vp_get_resource_stat_list(void) {
    return list_on_loop<resource_stat_list>(
        [](upload_server& server) { return server.collect_resource_stats(); });
}

void vp_free_resource_stat_list(resource_stat_list* list) {
    free_list(list);
}

vp_connection_list* vp_get_connection_list(const char* gcid) {
    try {
        const std::string wanted = gcid != nullptr ? gcid : "";
        return list_on_loop<vp_connection_list>(
            [&wanted](upload_server& server) { return server.collect_connections(wanted); });
    } catch (...) {
        return nullptr;
    }
}

void vp_free_connection_list(vp_connection_list* list) {
    free_list(list);
}

int vp_close_file(const char* gcid) {
    if (gcid == nullptr) {
        return 0;
    }
    try {
        upload_server& server = upload_server::instance();
        const std::string wanted = gcid;
        server.loop_call([&] { server.close_file(wanted); });
    } catch (...) {
    }
    return 0;
}

int vp_close_all_files(void) {
    try {
        upload_server& server = upload_server::instance();
        server.loop_call([&] { server.close_all_files(); });
    } catch (...) {
    }
    return 0;
}

void vp_log_to_debugview(void) {
    peerfeed::set_log_function(nullptr);
}

void vp_set_log_function(vp_log_function function) {
    peerfeed::set_log_function(function);
}

}  // extern "C"
