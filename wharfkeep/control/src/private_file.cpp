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
    file_.reset(::open(lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    if (file_) {
        ::flock(file_.get(), LOCK_EX);
    }
}

bool WritePrivateFile(const std::filesystem::path& file, const std::string& text,
                      std::string& error) {
    std::filesystem::path partial = file;
    partial += ".partial";
    bool written = false;
    {
        platform::UniqueFd out(
            ::open(partial.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
        written =
            out &&
            ::write(out.get(), text.data(), text.size()) == static_cast<ssize_t>(text.size()) &&
            ::fsync(out.get()) == 0;
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
