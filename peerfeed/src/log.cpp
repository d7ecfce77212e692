#include "log.h"

#include <arpa/inet.h>

#include <atomic>
#include <cstdio>

namespace peerfeed {
namespace {

void log_to_stderr(int, const char* text) {
    std::fprintf(stderr, "%s\n", text);
}

std::atomic<vp_log_function> host_log_function{nullptr};
std::atomic<vp_log_function> current_log_function{&log_to_stderr};

}  // namespace

void set_log_function(vp_log_function function) {
    host_log_function.store(function);
    current_log_function.store(function != nullptr ? function : &log_to_stderr);
}

void select_start_log_sink() {
    vp_log_function host = host_log_function.load();
    current_log_function.store(host != nullptr ? host : &log_to_stderr);
}

void log_line(int level, const std::string& text) {
    current_log_function.load()(level, text.c_str());
}

std::string address_text(const in_addr& address) {
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &address, text, sizeof text);
    return text;
}

void peer_event_log::note(const std::string& line, std::uint64_t now_ms) {
    if (now_ms - window_start_ms_ >= 60'000) {
        if (suppressed_ > 0) {
            log_line(VP_LOG_INFO, "peer server: " + std::to_string(suppressed_) + " more " + what_ +
                                      " in the last minute");
        }
        window_start_ms_ = now_ms;
        logged_ = 0;
        suppressed_ = 0;
    }
    if (logged_ >= burst) {
        ++suppressed_;
        return;
    }
    ++logged_;
    log_line(VP_LOG_INFO, "peer server: " + line);
}

}  // namespace peerfeed
