#include "job_record.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sstream>
#include <system_error>

#include "platform/app_paths.h"

namespace moovwright {

namespace {

constexpr char kIntendTag[] = "intend";
constexpr char kCreatedTag[] = "created";
constexpr char kRecordPrefix[] = "job-";

// Removes the temporary file a dead job's record names, if it is still that job's file.
// An "intend" record names a file the job may have created just before it died, before it
// could record the inode: it is removed only while it is still an empty regular file.
bool remove_recorded_temporary(const std::string& record_text) {
    std::istringstream in(record_text);
    std::string tag;
    std::string path;
    std::getline(in, tag);
    std::getline(in, path);
    if (path.empty())
        return false;
    struct stat status {};
    if (::lstat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode))
        return false;
    if (tag == kCreatedTag) {
        unsigned long long device = 0;
        unsigned long long inode = 0;
        if (!(in >> device >> inode) || status.st_dev != device || status.st_ino != inode)
            return false;
    } else if (tag != kIntendTag || status.st_size != 0) {
        return false;
    }
    return ::unlink(path.c_str()) == 0;
}

std::string read_all(int fd) {
    std::string text;
    char buffer[4096];
    off_t at = 0;
    for (;;) {
        const ssize_t n = ::pread(fd, buffer, sizeof buffer, at);
        if (n <= 0)
            return text;
        text.append(buffer, size_t(n));
        at += n;
    }
}

}  // namespace

JobRecord::JobRecord(const std::filesystem::path& folder) {
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    std::string name = (folder / (std::string(kRecordPrefix) + "XXXXXX")).string();
    const int fd = ::mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0)
        return;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        ::unlink(name.c_str());
        return;
    }
    fd_ = fd;
    path_ = name;
}

JobRecord::~JobRecord() {
    if (fd_ < 0)
        return;
    ::unlink(path_.c_str());
    ::close(fd_);
}

void JobRecord::Write(const std::string& text) {
    if (fd_ < 0)
        return;
    // Overwritten in one write and only then cut to length, so that a job killed in between
    // never leaves an empty record; on disk before the file it announces can exist.
    if (::pwrite(fd_, text.data(), text.size(), 0) == ssize_t(text.size()) &&
        ::ftruncate(fd_, off_t(text.size())) == 0)
        ::fdatasync(fd_);
}

void JobRecord::Intend(const std::string& temp_path) {
    Write(std::string(kIntendTag) + "\n" + temp_path + "\n");
}

void JobRecord::Created(const std::string& temp_path, dev_t device, ino_t inode) {
    Write(std::string(kCreatedTag) + "\n" + temp_path + "\n" +
          std::to_string(static_cast<unsigned long long>(device)) + " " +
          std::to_string(static_cast<unsigned long long>(inode)) + "\n");
}

std::filesystem::path DefaultJobRecordFolder() {
    return platform::app_data_folder() / "jobs";
}

int RemoveLeftoversOfDeadJobs(const std::filesystem::path& folder) {
    int removed = 0;
    std::error_code error;
    for (std::filesystem::directory_iterator it(folder, error), end; !error && it != end;
         it.increment(error)) {
        const std::string record = it->path().string();
        if (it->path().filename().string().rfind(kRecordPrefix, 0) != 0)
            continue;
        const int fd = ::open(record.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
        if (fd < 0)
            continue;
        // A running job holds the lock: its file is in use, not left over.
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
            if (remove_recorded_temporary(read_all(fd)))
                ++removed;
            ::unlink(record.c_str());
        }
        ::close(fd);
    }
    return removed;
}

}  // namespace moovwright
