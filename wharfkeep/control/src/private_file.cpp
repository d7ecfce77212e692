#include "private_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sstream>

namespace wharfkeep::control {

FileLock::FileLock(const std::filesystem::path& file) {
    std::filesystem::path lock = file;
    lock += ".lock";
    fd_ = ::open(lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd_ >= 0) {
        ::flock(fd_, LOCK_EX);
    }
}

FileLock::~FileLock() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

bool WritePrivateFile(const std::filesystem::path& file, const std::string& text,
                      std::string& error) {
    std::filesystem::path partial = file;
    partial += ".partial";
    int fd = ::open(partial.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    bool written = fd >= 0 &&
                   ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) &&
                   ::fsync(fd) == 0;
    if (fd >= 0) {
        ::close(fd);
    }
    if (!written || ::rename(partial.c_str(), file.c_str()) != 0) {
        ::unlink(partial.c_str());
        error = "cannot write " + file.string();
        return false;
    }
    return true;
}

std::string FileStamp(const std::filesystem::path& file) {
    struct stat info {};
    if (::stat(file.c_str(), &info) != 0) {
        return "none";
    }
    std::ostringstream stamp;
    stamp << info.st_ino << ':' << info.st_size << ':' << info.st_mtim.tv_sec << '.'
          << info.st_mtim.tv_nsec;
    return stamp.str();
}

}  // namespace wharfkeep::control
