// Arbitrary bytes as a received publish report and as a pending-report log.
#include <cstddef>
#include <cstdint>
#include <span>

#include "wharfkeep/report/publish_report.h"
#include "wharfkeep/report/publish_reporter.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> bytes(data, size);
    const wharfkeep::ReportDecoding decoded = wharfkeep::DecodePublishReport(bytes);
    if (decoded.status == wharfkeep::ReportDecoding::Status::kComplete) {
        const auto again = wharfkeep::BuildPublishReport(
            decoded.report.master_id, decoded.report.local_path, decoded.report.link);
        // A decoded report rebuilds to the same bytes whenever its reserved fields are the
        // ones this program writes.
        if (!again || (decoded.report.reserved.empty() && decoded.report.flag == 1 &&
                       !std::equal(again->begin(), again->end(), data))) {
            __builtin_trap();
        }
    }
    for (const auto& record : wharfkeep::ParsePendingReportLog(bytes)) {
        if (record.empty() || record.size() > wharfkeep::kPublishReportCapacity) {
            __builtin_trap();
        }
    }
    return 0;
}
