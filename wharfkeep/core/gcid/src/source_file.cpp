#include "wharfkeep/gcid/source_file.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <limits>

#include "wharfkeep/my_exception.h"

namespace wharfkeep {

SourceFile::SourceFile(std::string path) : path_(std::move(path)) {}

int SourceFile::open(const char* mode) {
    if (mode == nullptr) {
        throw CMyException("mode is null");
    }
    close();
    file_.reset(std::fopen(path_.c_str(), mode));
    return file_ ? 0 : kOpenFailed;
}

std::FILE* SourceFile::handle_for_transfer() const {
    if (!file_) {
        throw CMyException("The file ponit is null");
    }
    return file_.get();
}

std::int64_t SourceFile::read(void* buffer, std::size_t n) {
    std::FILE* file = handle_for_transfer();
    const bool whole = n == 0 || std::fread(buffer, 1, n, file) == n;
    return whole ? static_cast<std::int64_t>(n) : kReadFailed;
}

std::int64_t SourceFile::write(const void* data, std::size_t n) {
    std::FILE* file = handle_for_transfer();
    const bool whole = n == 0 || std::fwrite(data, 1, n, file) == n;
    return whole ? static_cast<std::int64_t>(n) : kWriteFailed;
}

int SourceFile::seek(std::uint64_t offset) {
    if (!file_) {
        throw CMyException("The file point is null");
    }
    if (offset > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) {
        return kSeekFailed;
    }
    return fseeko(file_.get(), static_cast<off_t>(offset), SEEK_SET) == 0 ? 0 : kSeekFailed;
}

std::uint64_t SourceFile::size() {
    if (size_) {
        return *size_;
    }
    struct stat status {};
    const int result = file_ ? fstat(fileno(file_.get()), &status) : stat(path_.c_str(), &status);
    if (result != 0) {
        throw CMyException(std::string("Error info is ") + std::strerror(errno));
    }
    size_ = static_cast<std::uint64_t>(status.st_size);
    return *size_;
}

void SourceFile::close() {
    file_.reset();
    size_.reset();
}

void SourceFile::read_exact_at(std::uint64_t offset, void* buffer, std::size_t n) {
    if (!file_) {
        throw CMyException("The file ponit is null");
    }
    if (seek(offset) != 0 || read(buffer, n) != static_cast<std::int64_t>(n)) {
        throw CMyException("Read file fail! " + path_ + " offset " + std::to_string(offset) +
                           " length " + std::to_string(n));
    }
}

}  // namespace wharfkeep
