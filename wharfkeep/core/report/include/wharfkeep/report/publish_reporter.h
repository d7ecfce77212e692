#pragma once
// Delivery of publish reports, with a log of those that could not be delivered.
//
// A report is delivered when the endpoint answers it with the 15-byte reply carrying code
// 102. Any other outcome (no connection, a short or different reply, a time-out) appends
// the message to the pending-report log "sendPublishInfor.log" in the log folder: records
// of a little-endian u32 byte count followed by the message. At the next start
// ResendPendingReports sends the logged reports again.
//
// Threading: SendReport and ResendPendingReports may run on different threads at once, and
// set_endpoint on any thread; every access to the log file holds one mutex.

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <span>
#include <vector>

#include "platform/guarded_value.h"
#include "wharfkeep/report/report_endpoints.h"

namespace wharfkeep {

inline constexpr char kPendingReportLogName[] = "sendPublishInfor.log";

enum SendReportResult : int {
    kReportDelivered = 0,
    kReportSkipped = 1,  // no publish endpoint configured: nothing sent, nothing logged
    kReportLogged = -16,
};

class PublishReporter {
public:
    PublishReporter(ReportEndpoint endpoint, std::filesystem::path log_folder,
                    ReportTimeouts timeouts = {});

    void set_log_folder(std::filesystem::path folder);
    // Where the next report goes (a configuration reloaded while running); a report being
    // sent finishes with the endpoint it started with.
    void set_endpoint(ReportEndpoint endpoint);
    ReportEndpoint endpoint() const;
    std::filesystem::path log_path() const;

    // Sends one message; logs it when it is not delivered. Returns a SendReportResult.
    // Raises CMyException "The file ponit is null" when the log cannot be written.
    int SendReport(std::span<const std::uint8_t> message);

    // The complete records of the log, in order, without changing it. Reading stops at a
    // record whose count runs past the file or the 4,096-byte message buffer; the records
    // before it are kept.
    std::vector<std::vector<std::uint8_t>> LoadPendingReports();

    // Sends every logged report again. The log is replaced only afterwards, by the reports
    // that failed again plus any appended meanwhile, so a crash or a stop during the resend
    // loses none. Setting `stop` ends the resend early; the reports not yet sent stay
    // logged. Returns how many were delivered.
    std::size_t ResendPendingReports(const std::atomic<bool>* stop = nullptr);

private:
    bool deliver(const ReportEndpoint& endpoint, std::span<const std::uint8_t> message,
                 const std::atomic<bool>* stop) const;
    void append_to_log(std::span<const std::uint8_t> message);

    platform::GuardedValue<ReportEndpoint> endpoint_;
    ReportTimeouts timeouts_;
    mutable std::mutex log_mutex_;
    std::filesystem::path log_folder_;
};

// Splits the bytes of a log into its records (see LoadPendingReports).
std::vector<std::vector<std::uint8_t>> ParsePendingReportLog(std::span<const std::uint8_t> log);

}  // namespace wharfkeep
