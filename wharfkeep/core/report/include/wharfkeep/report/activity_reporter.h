#pragma once
// The activity report: an HTTP GET to the activity-report endpoint, at most once per local
// calendar day. The day of the last delivered report is kept in the six-byte date file
// "report.log" (little-endian u16 year, month, day) in the application-data folder.
//
// Runs on the caller's thread and blocks it for at most the connect and reply time-outs.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

#include "wharfkeep/report/report_endpoints.h"

namespace wharfkeep {

inline constexpr char kActivityDateFileName[] = "report.log";
inline constexpr std::size_t kActivityRequestCapacity = 4096;

struct LocalDate {
    int year = 0;
    int month = 0;
    int day = 0;

    bool operator==(const LocalDate&) const = default;
};

// Today's date in local time.
LocalDate local_today();

class ActivityReporter {
public:
    ActivityReporter(std::filesystem::path folder, ReportEndpoint endpoint,
                     ReportTimeouts timeouts = {}, std::function<LocalDate()> today = local_today);

    std::filesystem::path date_file() const { return folder_ / kActivityDateFileName; }

    // The date file names today.
    bool ReportedToday() const;
    // The request text; empty when it would not fit kActivityRequestCapacity.
    std::string BuildRequest() const;
    // Connects, sends the request and reads (without examining) up to 256 bytes of reply;
    // writes today into the date file when the whole request was sent. True then.
    bool SendRequest();
    // The daily step: nothing when the endpoint is off or today was reported already,
    // else SendRequest. True when a report was delivered now.
    bool ReportIfDue();

private:
    std::filesystem::path folder_;
    ReportEndpoint endpoint_;
    ReportTimeouts timeouts_;
    std::function<LocalDate()> today_;
};

}  // namespace wharfkeep
