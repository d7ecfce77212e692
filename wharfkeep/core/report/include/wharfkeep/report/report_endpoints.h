#pragma once
// Where the reports go: section [report] of Wharfkeep.ini.
//
//   [report]
//   publish_host = reports.example.net   ; empty or absent: publish reports are off
//   publish_port = 1980
//   activity_host = stats.example.net    ; empty or absent: activity reports are off
//   activity_port = 80
//
// An endpoint that is off sends nothing, logs nothing and writes no date file.

#include <chrono>
#include <cstdint>
#include <string>

#include "platform/ini_file.h"

namespace wharfkeep {

struct ReportEndpoint {
    std::string host;
    std::uint16_t port = 0;

    bool configured() const { return !host.empty() && port != 0; }
};

struct ReportEndpoints {
    ReportEndpoint publish;
    ReportEndpoint activity;
};

inline constexpr std::uint16_t kDefaultPublishReportPort = 1980;
inline constexpr std::uint16_t kDefaultActivityReportPort = 80;

// Reads [report]; a port outside 1..65535 turns its endpoint off.
ReportEndpoints LoadReportEndpoints(const platform::IniFile& profile);

// How long a report waits for the connection, and then for the reply.
struct ReportTimeouts {
    std::chrono::milliseconds connect{10'000};
    std::chrono::milliseconds reply{10'000};
};

}  // namespace wharfkeep
