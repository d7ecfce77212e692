#pragma once
// The server's log sink: standard error unless the host installed a function of its own
// (vp_set_log_function). Lines are formatted only when a sink will take them.

#include <netinet/in.h>

#include <cstdint>
#include <string>

#include "peerfeed/peerfeed.h"

namespace peerfeed {

void set_log_function(vp_log_function function);
// What vp_start selects: the host's function when one is installed, else standard error.
void select_start_log_sink();
void log_line(int level, const std::string& text);
std::string address_text(const in_addr& address);

// Lines about single peers (refused connections, ended sessions), logged at most `burst`
// per minute; the rest are counted and reported in one line when the next minute starts, so
// a crowd of abusers cannot flood the log. Loop thread only.
class peer_event_log {
public:
    // `what` names the suppressed lines in the summary: "refused connections".
    explicit peer_event_log(const char* what) : what_(what) {}
    void note(const std::string& line, std::uint64_t now_ms);

private:
    static constexpr unsigned burst = 10;
    const char* what_;
    std::uint64_t window_start_ms_ = 0;
    unsigned logged_ = 0;
    unsigned suppressed_ = 0;
};

}  // namespace peerfeed
