#include "file_replace.h"

#include <moovwright/moovwright.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <system_error>

#include "job_record.h"

namespace moovwright {

namespace {

// Try at most this many temporary names; beyond it something else is wrong with the folder.
constexpr int kMaxTemporaryAttempts = 10000;

std::string parent_folder(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    if (slash == 0)
        return "/";
    return path.substr(0, slash);
}

bool injected(const ReplaceFaultHook& fault, std::string_view step) {
    return fault && fault(step);
}

// Best effort: the rename is already done when this runs, so a failure here does not undo
// anything; it only narrows the window in which a power cut could bring the old entry back.
void flush_folder(const std::string& folder) {
    FileDescriptor dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.valid())
        ::fsync(dir.get());
}

}  // namespace

FileDescriptor& FileDescriptor::operator=(FileDescriptor&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = other.fd_;
        other.fd_ = -1;
    }
    return *this;
}

FileDescriptor::~FileDescriptor() {
    if (fd_ >= 0)
        ::close(fd_);
}

bool FileDescriptor::close() {
    const int fd = fd_;
    fd_ = -1;
    return fd >= 0 && ::close(fd) == 0;
}

void DisplacedFileRelease::Release(FileDescriptor file) {
    std::lock_guard lock(mutex_);
    if (closer_.joinable())
        closer_.join();
    try {
        closer_ = std::thread([file = std::move(file)]() mutable { file.close(); });
    } catch (const std::system_error&) {
        // No thread to spare: the moved-from or unmoved descriptor closes here.
    }
}

void DisplacedFileRelease::Wait() {
    std::lock_guard lock(mutex_);
    if (closer_.joinable())
        closer_.join();
}

uint32_t claim_temporary_file(const std::string& source_path, std::string& temp_path,
                              JobRecord* record) {
    for (int n = 0; n < kMaxTemporaryAttempts; ++n) {
        std::string candidate = source_path + "_" + std::to_string(n) + ".tmp";
        if (candidate.size() + 1 > kMaxPathBytes)
            return MW_FAIL;
        if (record)
            record->Intend(candidate);
        const int fd =
            ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, S_IRUSR | S_IWUSR);
        if (fd >= 0) {
            struct stat status {};
            if (record && ::fstat(fd, &status) == 0)
                record->Created(candidate, status.st_dev, status.st_ino);
            ::close(fd);
            temp_path = std::move(candidate);
            return MW_OK;
        }
        if (errno != EEXIST)
            return MW_FAIL;
    }
    return MW_FAIL;
}

uint32_t replace_with_temporary(const std::string& source_path, const std::string& temp_path,
                                const SourceIdentity& read_source, const ReplaceFaultHook& fault,
                                FileDescriptor* displaced) {
    struct stat source_status {};
    if (::stat(source_path.c_str(), &source_status) != 0)
        return MW_FAIL;

    FileDescriptor temp(::open(temp_path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!temp.valid())
        return MW_FAIL;
    if (::fchmod(temp.get(), source_status.st_mode & 07777) != 0)
        return MW_FAIL;
    // Keeping the owner needs privileges a job usually does not have; the file then belongs
    // to whoever ran the job, as any newly written file would.
    if (::fchown(temp.get(), source_status.st_uid, source_status.st_gid) != 0) {
        errno = 0;
    }
    if (injected(fault, "fsync") || ::fsync(temp.get()) != 0)
        return MW_FAIL;
    if (!temp.close())
        return MW_FAIL;

    // Held open across the rename, the old file is only unlinked by it; freeing it waits
    // for the last close.
    FileDescriptor old_file(displaced ? ::open(source_path.c_str(), O_RDONLY | O_CLOEXEC) : -1);
    // Checked last, as close to the rename as it can be: a change after this point is lost.
    if (platform::identify_file(source_path) != read_source)
        return MW_FAIL;
    if (injected(fault, "rename") || ::rename(temp_path.c_str(), source_path.c_str()) != 0) {
        return MW_FAIL;
    }
    flush_folder(parent_folder(source_path));
    if (displaced)
        *displaced = std::move(old_file);
    return MW_OK;
}

uint32_t remove_temporary(const std::string& temp_path) {
    if (::unlink(temp_path.c_str()) == 0 || errno == ENOENT)
        return MW_OK;
    return MW_FAIL;
}

}  // namespace moovwright
