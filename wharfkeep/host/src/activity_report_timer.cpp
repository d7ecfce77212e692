#include "wharfkeep/host/activity_report_timer.h"

#include "platform/ini_file.h"
#include "wharfkeep/report/activity_reporter.h"

namespace wharfkeep::host {

ActivityReportTimer::ActivityReportTimer(std::filesystem::path folder,
                                         std::chrono::milliseconds period)
    : folder_(std::move(folder)), period_(period) {
    thread_ = std::thread(&ActivityReportTimer::Run, this);
}

ActivityReportTimer::~ActivityReportTimer() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    stop_requested_.notify_all();
    thread_.join();
}

void ActivityReportTimer::Run() {
    for (;;) {
        ReportEndpoints endpoints =
            LoadReportEndpoints(platform::IniFile::load(folder_ / "Wharfkeep.ini"));
        ActivityReporter reporter(folder_, endpoints.activity);
        reporter.ReportIfDue();
        std::unique_lock lock(mutex_);
        if (stop_requested_.wait_for(lock, period_, [this] { return stopping_; })) {
            return;
        }
    }
}

}  // namespace wharfkeep::host
