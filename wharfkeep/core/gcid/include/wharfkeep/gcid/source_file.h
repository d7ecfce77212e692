#pragma once
// A media file read (or written) through one buffered stdio handle, with its size asked
// of the file system once and then remembered. The content identifier, the digests and
// the container parsers all read through it.
//
// Sizes and offsets are 64-bit: files of 2 GiB and more are read like any other.
// Not thread-safe: one SourceFile belongs to one computation at a time.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>

namespace wharfkeep {

class SourceFile {
public:
    static constexpr int kOpenFailed = -3;
    static constexpr int kSeekFailed = -5;
    static constexpr std::int64_t kReadFailed = -6;
    static constexpr std::int64_t kWriteFailed = -10;

    explicit SourceFile(std::string path);
    SourceFile(SourceFile&&) noexcept = default;
    SourceFile& operator=(SourceFile&&) noexcept = default;
    SourceFile(const SourceFile&) = delete;
    SourceFile& operator=(const SourceFile&) = delete;
    ~SourceFile() = default;

    const std::string& path() const { return path_; }
    bool is_open() const { return file_ != nullptr; }

    // Closes any open handle, forgets the cached size and opens the path with a stdio
    // mode ("rb", "wb", "r+b"...). Returns 0, or kOpenFailed. A null mode raises
    // CMyException "mode is null".
    int open(const char* mode);
    // Reads exactly n bytes at the current position: n, or kReadFailed when fewer could
    // be read. Raises "The file ponit is null" when the file is not open.
    std::int64_t read(void* buffer, std::size_t n);
    // Writes n bytes: n, or kWriteFailed. Raises "The file ponit is null" when not open.
    std::int64_t write(const void* data, std::size_t n);
    // Positions the handle `offset` bytes from the start: 0, or kSeekFailed. Raises
    // "The file point is null" when not open.
    int seek(std::uint64_t offset);
    // The file's size in bytes, asked of the file system the first time only. Raises
    // CMyException "Error info is <system text>" when the status cannot be read.
    std::uint64_t size();
    // Closes the handle and forgets the cached size.
    void close();

    // Seeks to `offset` and reads exactly n bytes, or raises CMyException naming the
    // file, offset and length: the digests never hash bytes that are not the file's.
    void read_exact_at(std::uint64_t offset, void* buffer, std::size_t n);

private:
    // The open handle; raises "The file ponit is null" when the file is not open.
    std::FILE* handle_for_transfer() const;

    struct FileCloser {
        void operator()(std::FILE* file) const { std::fclose(file); }
    };

    std::string path_;
    std::unique_ptr<std::FILE, FileCloser> file_;
    std::optional<std::uint64_t> size_;
};

}  // namespace wharfkeep
