#pragma once
// The activity report, sent once when the program starts and again every day while it runs
// (the report itself skips a day already reported and an endpoint that is not configured).
// It runs on a thread of its own, so a slow endpoint never holds up the user interface.

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <thread>

namespace wharfkeep::host {

class ActivityReportTimer {
public:
    // Reads the endpoint from Wharfkeep.ini in `folder`, reports at once, then every period.
    explicit ActivityReportTimer(std::filesystem::path folder,
                                 std::chrono::milliseconds period = std::chrono::hours(24));
    // Stops the timer; a report in progress ends at its own time-out.
    ~ActivityReportTimer();
    ActivityReportTimer(const ActivityReportTimer&) = delete;
    ActivityReportTimer& operator=(const ActivityReportTimer&) = delete;

private:
    void Run();

    std::filesystem::path folder_;
    std::chrono::milliseconds period_;
    std::mutex mutex_;
    std::condition_variable stop_requested_;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace wharfkeep::host
