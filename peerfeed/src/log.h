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

// Refused connections, logged at most `burst` per minute; the rest are counted and reported
// in one line when the next minute starts. Loop thread only.
class refusal_log {
public:
    void refused(const in_addr& address, const char* reason, std::uint64_t now_ms);

private:
    static constexpr unsigned burst = 10;
    std::uint64_t window_start_ms_ = 0;
    unsigned logged_ = 0;
    unsigned suppressed_ = 0;
};

}  // namespace peerfeed
