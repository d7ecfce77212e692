#include "core/file_ctrl.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <system_error>

#include "core/result.h"

namespace moovwright {

namespace {

// Writes are handed to the system in pieces of this size.
constexpr size_t kWriteBufferSize = 1 << 20;
// Write-behind hands the disk this many bytes at a time.
constexpr uint64_t kWriteBehindStep = uint64_t{8} << 20;
// Direct writes go out in chunks of this size from a page-aligned buffer: every block size
// a file system asks of direct I/O divides both.
constexpr size_t kDirectChunk = size_t{8} << 20;

bool WriteAll(int fd, const uint8_t* data, size_t length, uint64_t offset) {
    while (length > 0) {
        const ssize_t n = ::pwrite(fd, data, length, static_cast<off_t>(offset));
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        if (n == 0) {
            return false;
        }
        data += n;
        length -= static_cast<size_t>(n);
        offset += static_cast<uint64_t>(n);
    }
    return true;
}

}  // namespace

// ---- CZHDPosixFileCtrl ----

CZHDPosixFileCtrl::~CZHDPosixFileCtrl() {
    Close();
}

uint32_t CZHDPosixFileCtrl::Open(const char* path, bool write) {
    if (path == nullptr) {
        return MW_E_POINTER;
    }
    if (fd_ >= 0) {
        return MW_E_FAIL;
    }
    const int flags = write ? (O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC) : (O_RDONLY | O_CLOEXEC);
    int fd;
    do {
        fd = ::open(path, flags, 0644);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        return MW_FAIL;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return MW_FAIL;
    }
    fd_ = fd;
    writing_ = write;
    path_ = path;
    position_ = 0;
    bufferStart_ = 0;
    pending_.clear();
    writeBehind_ = false;
    handedToDisk_ = 0;
    waitedFor_ = 0;
    direct_.reset();
    directStart_ = 0;
    directFill_ = 0;
    return MW_OK;
}

void CZHDPosixFileCtrl::Unmap::operator()(uint8_t* bytes) const {
    ::munmap(bytes, kDirectChunk);
}

std::unique_ptr<uint8_t, CZHDPosixFileCtrl::Unmap> CZHDPosixFileCtrl::MapDirectBuffer() {
    void* buffer =
        ::mmap(nullptr, kDirectChunk, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (buffer == MAP_FAILED) {
        return nullptr;
    }
    return std::unique_ptr<uint8_t, Unmap>(static_cast<uint8_t*>(buffer));
}

void CZHDPosixFileCtrl::EnableDirectWrites() {
    if (fd_ < 0 || !writing_ || position_ != 0 || !pending_.empty() || direct_) {
        return;
    }
    direct_ = MapDirectBuffer();
    if (!direct_) {
        return;
    }
    const int flags = ::fcntl(fd_, F_GETFL);
    if (flags < 0 || ::fcntl(fd_, F_SETFL, flags | O_DIRECT) != 0) {
        direct_.reset();
        return;
    }
    directStart_ = 0;
    directFill_ = 0;
}

bool CZHDPosixFileCtrl::WriteDirectChunk() {
    if (!LandChunkInFlight()) {
        return false;
    }
    if (!direct_) {
        return true;  // the landing fell back to ordinary writes and wrote this chunk too
    }
    if (!flying_) {
        flying_ = MapDirectBuffer();
    }
    if (flying_) {
        std::swap(direct_, flying_);
        flyingStart_ = directStart_;
        flyingWritten_ = false;
        flyingPending_ = true;
        directStart_ += kDirectChunk;
        directFill_ = 0;
        try {
            flight_ = std::thread([this] {
                const ssize_t n =
                    ::pwrite(fd_, flying_.get(), kDirectChunk, static_cast<off_t>(flyingStart_));
                flyingWritten_ = n == static_cast<ssize_t>(kDirectChunk);
            });
            return true;
        } catch (const std::system_error&) {
            // No thread to spare: this chunk is written here and now.
            flyingWritten_ =
                ::pwrite(fd_, flying_.get(), kDirectChunk, static_cast<off_t>(flyingStart_)) ==
                static_cast<ssize_t>(kDirectChunk);
            if (!flyingWritten_) {
                return LeaveDirectWrites();
            }
            flyingPending_ = false;
            return true;
        }
    }
    // No second buffer: the chunk is written here and now.
    const ssize_t n = ::pwrite(fd_, direct_.get(), kDirectChunk, static_cast<off_t>(directStart_));
    if (n == static_cast<ssize_t>(kDirectChunk)) {
        directStart_ += kDirectChunk;
        directFill_ = 0;
        return true;
    }
    // Refused or short: the chunk is written the ordinary way, and so is everything after.
    return LeaveDirectWrites();
}

bool CZHDPosixFileCtrl::LandChunkInFlight() {
    if (!flight_.joinable()) {
        return true;
    }
    flight_.join();
    if (flyingWritten_) {
        flyingPending_ = false;
        return true;
    }
    // Refused (a file system that takes the flag but not this alignment) or short: the
    // chunk is written again the ordinary way, and so is everything after it.
    return LeaveDirectWrites();
}

bool CZHDPosixFileCtrl::LeaveDirectWrites() {
    if (flight_.joinable()) {
        flight_.join();
    }
    const int flags = ::fcntl(fd_, F_GETFL);
    if (flags >= 0) {
        ::fcntl(fd_, F_SETFL, flags & ~O_DIRECT);
    }
    bool written = true;
    if (flyingPending_ && !flyingWritten_) {
        written = WriteOut(flying_.get(), kDirectChunk, flyingStart_);
    }
    flyingPending_ = false;
    if (direct_) {
        written = WriteOut(direct_.get(), directFill_, directStart_) && written;
    }
    direct_.reset();
    flying_.reset();
    directFill_ = 0;
    return written;
}

uint32_t CZHDPosixFileCtrl::WriteDirect(const uint8_t* data, size_t length) {
    while (length > 0) {
        const size_t n = std::min(length, kDirectChunk - directFill_);
        std::memcpy(direct_.get() + directFill_, data, n);
        directFill_ += n;
        position_ += n;
        data += n;
        length -= n;
        if (directFill_ == kDirectChunk && !WriteDirectChunk()) {
            return MW_FAIL;
        }
        if (!direct_) {
            return length == 0 ? MW_OK : Write(data, length);
        }
    }
    return MW_OK;
}

void CZHDPosixFileCtrl::AdviseSequentialReads() {
    if (fd_ >= 0) {
        ::posix_fadvise(fd_, 0, 0, POSIX_FADV_SEQUENTIAL);
    }
}

bool CZHDPosixFileCtrl::WriteOut(const uint8_t* data, size_t length, uint64_t offset) {
    if (!WriteAll(fd_, data, length, offset)) {
        return false;
    }
    const uint64_t end = offset + length;
    if (writeBehind_ && end >= handedToDisk_ + kWriteBehindStep) {
        // Best effort: the fsync before the file is used is what makes it durable, so a
        // file system without this call loses only the overlap.
        ::sync_file_range(fd_, static_cast<off_t>(handedToDisk_),
                          static_cast<off_t>(end - handedToDisk_), SYNC_FILE_RANGE_WRITE);
        ::sync_file_range(
            fd_, static_cast<off_t>(waitedFor_), static_cast<off_t>(handedToDisk_ - waitedFor_),
            SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER);
        waitedFor_ = handedToDisk_;
        handedToDisk_ = end;
    }
    return true;
}

uint32_t CZHDPosixFileCtrl::FlushWrites() {
    if (direct_ && !LeaveDirectWrites()) {
        return MW_FAIL;
    }
    if (pending_.empty()) {
        return MW_OK;
    }
    const bool written = WriteOut(pending_.data(), pending_.size(), bufferStart_);
    pending_.clear();
    return written ? MW_OK : MW_FAIL;
}

uint32_t CZHDPosixFileCtrl::Close() {
    if (fd_ < 0) {
        return MW_OK;
    }
    uint32_t result = FlushWrites();
    if (::close(fd_) != 0 && result == MW_OK) {
        result = MW_FAIL;
    }
    fd_ = -1;
    writing_ = false;
    return result;
}

uint32_t CZHDPosixFileCtrl::GetSize(uint64_t* size) {
    if (size == nullptr) {
        return MW_E_POINTER;
    }
    if (fd_ < 0) {
        return MW_FAIL;
    }
    MW_RETURN_IF_FAILED(FlushWrites());
    struct stat st {};
    if (::fstat(fd_, &st) != 0) {
        return MW_FAIL;
    }
    *size = static_cast<uint64_t>(st.st_size);
    return MW_OK;
}

uint32_t CZHDPosixFileCtrl::Seek(uint64_t position) {
    if (fd_ < 0) {
        return MW_E_FAIL;
    }
    if (position > static_cast<uint64_t>(std::numeric_limits<off_t>::max())) {
        return MW_FAIL;
    }
    if (position != position_) {
        // Pending bytes are contiguous; a jump elsewhere starts a new run.
        MW_RETURN_IF_FAILED(FlushWrites());
    }
    position_ = position;
    return MW_OK;
}

uint32_t CZHDPosixFileCtrl::Read(void* buffer, size_t length, size_t* bytesRead) {
    if (bytesRead == nullptr || (buffer == nullptr && length > 0)) {
        return MW_E_POINTER;
    }
    *bytesRead = 0;
    if (fd_ < 0) {
        return MW_E_FAIL;
    }
    MW_RETURN_IF_FAILED(FlushWrites());
    auto* out = static_cast<uint8_t*>(buffer);
    while (*bytesRead < length) {
        const ssize_t n =
            ::pread(fd_, out + *bytesRead, length - *bytesRead, static_cast<off_t>(position_));
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return MW_FAIL;
        }
        if (n == 0) {
            break;  // end of file: a short read
        }
        *bytesRead += static_cast<size_t>(n);
        position_ += static_cast<uint64_t>(n);
    }
    return MW_OK;
}

uint32_t CZHDPosixFileCtrl::Write(const void* buffer, size_t length) {
    if (length == 0) {
        return MW_OK;
    }
    if (buffer == nullptr) {
        return MW_E_POINTER;
    }
    if (fd_ < 0 || !writing_) {
        return MW_FAIL;
    }
    const auto* data = static_cast<const uint8_t*>(buffer);
    if (direct_) {
        // Direct chunks follow one another from the start; a write anywhere else ends them.
        if (position_ == directStart_ + directFill_) {
            return WriteDirect(data, length);
        }
        if (!LeaveDirectWrites()) {
            return MW_FAIL;
        }
    }
    if (pending_.empty()) {
        bufferStart_ = position_;
    }
    if (pending_.size() + length > kWriteBufferSize) {
        MW_RETURN_IF_FAILED(FlushWrites());
        bufferStart_ = position_;
        if (length >= kWriteBufferSize) {
            if (!WriteOut(data, length, position_)) {
                return MW_FAIL;
            }
            position_ += length;
            return MW_OK;
        }
    }
    if (pending_.capacity() < kWriteBufferSize) {
        pending_.reserve(kWriteBufferSize);
    }
    pending_.insert(pending_.end(), data, data + length);
    position_ += length;
    return MW_OK;
}

uint32_t CZHDPosixFileCtrl::Sync() {
    if (fd_ < 0) {
        return MW_E_FAIL;
    }
    MW_RETURN_IF_FAILED(FlushWrites());
    return ::fsync(fd_) == 0 ? MW_OK : MW_FAIL;
}

// ---- CZHDMemoryFileCtrl ----

CZHDMemoryFileCtrl::CZHDMemoryFileCtrl() : writing_(true) {}

CZHDMemoryFileCtrl::CZHDMemoryFileCtrl(std::vector<uint8_t> bytes) : owned_(std::move(bytes)) {
    view_ = owned_.data();
    viewLength_ = owned_.size();
    size_ = owned_.size();
}

CZHDMemoryFileCtrl::CZHDMemoryFileCtrl(const uint8_t* bytes, size_t length, uint64_t base,
                                       uint64_t size)
    : view_(bytes), viewLength_(length), base_(base), size_(size), position_(base) {}

uint32_t CZHDMemoryFileCtrl::Open(const char* path, bool /*write*/) {
    if (path == nullptr) {
        return MW_E_POINTER;
    }
    return open_ ? MW_E_FAIL : MW_FAIL;
}

uint32_t CZHDMemoryFileCtrl::Close() {
    open_ = false;
    return MW_OK;
}

uint32_t CZHDMemoryFileCtrl::GetSize(uint64_t* size) {
    if (size == nullptr) {
        return MW_E_POINTER;
    }
    if (!open_) {
        return MW_FAIL;
    }
    *size = writing_ ? owned_.size() : size_;
    return MW_OK;
}

uint32_t CZHDMemoryFileCtrl::Seek(uint64_t position) {
    if (!open_) {
        return MW_E_FAIL;
    }
    position_ = position;
    return MW_OK;
}

uint32_t CZHDMemoryFileCtrl::Read(void* buffer, size_t length, size_t* bytesRead) {
    if (bytesRead == nullptr || (buffer == nullptr && length > 0)) {
        return MW_E_POINTER;
    }
    *bytesRead = 0;
    if (!open_) {
        return MW_E_FAIL;
    }
    const uint8_t* data = writing_ ? owned_.data() : view_;
    const uint64_t start = writing_ ? 0 : base_;
    const uint64_t held = writing_ ? owned_.size() : viewLength_;
    if (position_ < start || position_ - start >= held) {
        return MW_OK;
    }
    const uint64_t offset = position_ - start;
    const size_t n = static_cast<size_t>(std::min<uint64_t>(length, held - offset));
    if (n == 0) {
        return MW_OK;
    }
    std::memcpy(buffer, data + offset, n);
    *bytesRead = n;
    position_ += n;
    return MW_OK;
}

uint32_t CZHDMemoryFileCtrl::Write(const void* buffer, size_t length) {
    if (length == 0) {
        return MW_OK;
    }
    if (buffer == nullptr) {
        return MW_E_POINTER;
    }
    if (!open_ || !writing_) {
        return MW_FAIL;
    }
    if (position_ > owned_.max_size() - length) {
        return MW_FAIL;
    }
    const size_t end = static_cast<size_t>(position_) + length;
    if (owned_.size() < end) {
        owned_.resize(end);
    }
    std::memcpy(owned_.data() + position_, buffer, length);
    position_ += length;
    return MW_OK;
}

}  // namespace moovwright
