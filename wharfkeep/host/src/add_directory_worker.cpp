#include "wharfkeep/host/add_directory_worker.h"

#include "wharfkeep/host/directory_operations.h"

namespace wharfkeep::host {

AddDirectoryWorker::AddDirectoryWorker(DirectoryOperations& directories, std::string path)
    : directories_(directories), path_(std::move(path)) {
    thread_ = std::thread(&AddDirectoryWorker::Run, this);
}

AddDirectoryWorker::~AddDirectoryWorker() {
    Cancel();
    if (thread_.joinable()) {
        thread_.join();
    }
}

void AddDirectoryWorker::Run() {
    CountMediaFiles(path_, total_);
    node_ = directories_.ImportDirectory(path_, done_, cancel_, true);
    finished_.set();
}

CPWTGuiderTreeNode* AddDirectoryWorker::Wait() {
    if (thread_.joinable()) {
        thread_.join();
    }
    return node_;
}

std::string AddDirectoryWorker::ProgressText() const {
    return std::to_string(done()) + "/" + std::to_string(total());
}

int AddDirectoryWorker::ProgressPercent() const {
    int all = total();
    return all > 0 ? static_cast<int>(static_cast<long long>(done()) * 100 / all) : 0;
}

}  // namespace wharfkeep::host
