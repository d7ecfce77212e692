#pragma once
// The work behind the add-directory progress dialog: counts the publishable files of a
// directory, then imports them into the database and creates the directory's navigation
// node, on a thread of its own. The window only shows done/total and offers cancel.

#include <atomic>
#include <string>
#include <thread>

#include "platform/manual_reset_event.h"
#include "wharfkeep/host/navigation.h"

namespace wharfkeep::host {

class DirectoryOperations;

// Counts the publishable files under `path`, adding to `counter` as it goes (any thread).
void CountMediaFiles(const std::string& path, std::atomic<int>& counter);

class AddDirectoryWorker {
public:
    // Starts the work at once. `path` is the directory without a trailing "/".
    AddDirectoryWorker(DirectoryOperations& directories, std::string path);
    // Cancels and waits.
    ~AddDirectoryWorker();
    AddDirectoryWorker(const AddDirectoryWorker&) = delete;
    AddDirectoryWorker& operator=(const AddDirectoryWorker&) = delete;

    int done() const { return done_.load(); }
    int total() const { return total_.load(); }
    // "%d/%d" of done and total, and the bar position 0..100 (0 while total is 0).
    std::string ProgressText() const;
    int ProgressPercent() const;
    // Asks the import to stop at its next entry.
    void Cancel() { cancel_.store(true); }
    bool finished() const { return finished_.is_set(); }
    // Waits for the end; the new directory node, or null when the directory was known
    // already. A cancelled import still records the directory with the files added so far.
    CPWTGuiderTreeNode* Wait();

private:
    void Run();

    DirectoryOperations& directories_;
    std::string path_;
    std::atomic<int> done_{0};
    std::atomic<int> total_{0};
    std::atomic<bool> cancel_{false};
    CPWTGuiderTreeNode* node_ = nullptr;
    platform::ManualResetEvent finished_;
    std::thread thread_;
};

}  // namespace wharfkeep::host
