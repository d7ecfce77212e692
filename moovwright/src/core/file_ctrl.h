#pragma once
// File access for the atom model: one interface, a POSIX file implementation and an
// in-memory one (tests, the fuzz target and parsing atoms out of a buffer).
//
// Result codes: 0 success, 1 an operating-system failure, MW_E_POINTER / MW_E_FAIL for
// misuse (null path, opening twice, seeking a closed file). Read and Write advance the
// cached position by the bytes transferred; Tell never asks the system.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "moovwright/moovwright.h"

namespace moovwright {

class IZHDFileCtrl {
public:
    virtual ~IZHDFileCtrl() = default;
    // Opens `path` (UTF-8): for writing it is created or truncated, for reading it must
    // exist. Null path: MW_E_POINTER; already open: MW_E_FAIL; failure: 1.
    virtual uint32_t Open(const char* path, bool write) = 0;
    virtual bool IsWriting() const = 0;
    // Writes out anything buffered and closes; not open: 0. A failed delayed write is
    // reported here, so writers must check it.
    virtual uint32_t Close() = 0;
    virtual uint32_t GetSize(uint64_t* size) = 0;
    // Absolute position. Not open: MW_E_FAIL.
    virtual uint32_t Seek(uint64_t position) = 0;
    virtual uint64_t Tell() const = 0;
    // Reads up to `length` bytes; *bytesRead tells how many. A short read is not an error:
    // callers compare the count (and return 12).
    virtual uint32_t Read(void* buffer, size_t length, size_t* bytesRead) = 0;
    // Writes all `length` bytes or fails with 1; length 0 succeeds.
    virtual uint32_t Write(const void* buffer, size_t length) = 0;
    // Writes out buffered data and flushes the file to stable storage.
    virtual uint32_t Sync() = 0;
};

// A file of the local file system. Writes are collected in a buffer and written in large
// pieces; reads go straight to the file at the cached position.
class CZHDPosixFileCtrl final : public IZHDFileCtrl {
public:
    CZHDPosixFileCtrl() = default;
    ~CZHDPosixFileCtrl() override;
    CZHDPosixFileCtrl(const CZHDPosixFileCtrl&) = delete;
    CZHDPosixFileCtrl& operator=(const CZHDPosixFileCtrl&) = delete;

    uint32_t Open(const char* path, bool write) override;
    bool IsWriting() const override { return writing_; }
    uint32_t Close() override;
    uint32_t GetSize(uint64_t* size) override;
    uint32_t Seek(uint64_t position) override;
    uint64_t Tell() const override { return position_; }
    uint32_t Read(void* buffer, size_t length, size_t* bytesRead) override;
    uint32_t Write(const void* buffer, size_t length) override;
    uint32_t Sync() override;

    const std::string& path() const { return path_; }

    // For a file written front to back once: every few MiB written are handed to the disk
    // at once, and the writer waits for the few MiB before them, so the final fsync finds
    // little left to do and the dirty pages stay few whatever the file's size.
    void EnableWriteBehind() { writeBehind_ = true; }
    // For a file written front to back once: the bytes go to the disk straight from an
    // aligned buffer of this object's (O_DIRECT, 8 MiB at a time) rather than through the
    // page cache, whose copy from user memory costs more than the disk on some machines.
    // Each full chunk is written by a thread of its own while the caller fills the next one
    // (two buffers), so the disk and the caller work at the same time.
    // The last partial chunk, and everything after any read, seek elsewhere, sync or size
    // query, is written the ordinary way. Nothing changes where the file system refuses.
    void EnableDirectWrites();
    // For a file read mostly front to back: the kernel reads further ahead.
    void AdviseSequentialReads();

private:
    uint32_t FlushWrites();
    bool WriteOut(const uint8_t* data, size_t length, uint64_t offset);
    uint32_t WriteDirect(const uint8_t* data, size_t length);
    // Hands the direct buffer's whole chunk to the disk and goes on with the other buffer;
    // false when the disk refused and the fallback failed too.
    bool WriteDirectChunk();
    // Waits for the chunk in flight; one the disk refused is written the ordinary way.
    bool LandChunkInFlight();
    // Writes what the direct buffers hold the ordinary way and ends direct writing.
    bool LeaveDirectWrites();

    // The direct buffer is mapped on its own rather than taken from malloc, whose growing
    // mmap threshold would otherwise keep later buffers of the process resident.
    struct Unmap {
        void operator()(uint8_t* bytes) const;
    };
    static std::unique_ptr<uint8_t, Unmap> MapDirectBuffer();

    int fd_ = -1;
    bool writing_ = false;
    std::string path_;
    uint64_t position_ = 0;
    // Bytes written but not yet handed to the system; they belong at bufferStart_.
    std::vector<uint8_t> pending_;
    uint64_t bufferStart_ = 0;
    bool writeBehind_ = false;
    uint64_t handedToDisk_ = 0;  // bytes before this offset were handed to the disk
    uint64_t waitedFor_ = 0;     // bytes before this offset are on the disk
    // Direct writing: the chunk being filled, which belongs at directStart_.
    std::unique_ptr<uint8_t, Unmap> direct_;
    uint64_t directStart_ = 0;
    size_t directFill_ = 0;
    // The chunk being written by flight_ (when joinable), which belongs at flyingStart_;
    // flyingWritten_ is set by that thread and read after it is joined.
    std::unique_ptr<uint8_t, Unmap> flying_;
    std::thread flight_;
    uint64_t flyingStart_ = 0;
    bool flyingWritten_ = false;
    bool flyingPending_ = false;  // flying_ holds a chunk not known to be on the disk
};

// A file held in memory. Reading views `bytes` as the file content that starts at file
// offset `base` (so an atom cut out of a larger file keeps its positions) and whose size is
// `size` (bytes between base + bytes.size() and size are missing: reads come up short).
// Writing collects the bytes written at their positions.
class CZHDMemoryFileCtrl final : public IZHDFileCtrl {
public:
    // An empty file open for writing.
    CZHDMemoryFileCtrl();
    // A read-only file over a copy of `bytes`.
    explicit CZHDMemoryFileCtrl(std::vector<uint8_t> bytes);
    // A read-only view of `length` caller-owned bytes at offset `base` of a file of `size`
    // bytes; the bytes must outlive this object.
    CZHDMemoryFileCtrl(const uint8_t* bytes, size_t length, uint64_t base, uint64_t size);

    uint32_t Open(const char* path, bool write) override;
    bool IsWriting() const override { return writing_; }
    uint32_t Close() override;
    uint32_t GetSize(uint64_t* size) override;
    uint32_t Seek(uint64_t position) override;
    uint64_t Tell() const override { return position_; }
    uint32_t Read(void* buffer, size_t length, size_t* bytesRead) override;
    uint32_t Write(const void* buffer, size_t length) override;
    uint32_t Sync() override { return open_ ? MW_OK : MW_E_FAIL; }

    // What has been written (write mode), or the viewed bytes.
    const std::vector<uint8_t>& bytes() const { return owned_; }

private:
    bool open_ = true;
    bool writing_ = false;
    std::vector<uint8_t> owned_;
    const uint8_t* view_ = nullptr;
    size_t viewLength_ = 0;
    uint64_t base_ = 0;
    uint64_t size_ = 0;
    uint64_t position_ = 0;
};

}  // namespace moovwright
