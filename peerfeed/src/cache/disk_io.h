#pragma once
// Disk access of the block cache: media files opened for page reads, a completion queue
// the disk thread waits on, and a reader that performs page reads with pread on threads of
// its own and posts each finished read to the completion queue.
//
// Threading: the disk thread posts reads and waits on the completion queue; reader
// threads only call pread and post. The caller bounds the reads outstanding; the reader
// runs as many at once as it has threads.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/message_queue.h"
#include "platform/unique_fd.h"

namespace peerfeed {

// An open media file. O_DIRECT where the file system allows it; elsewhere (tmpfs, some
// network file systems) buffered reads with sequential read-ahead advice.
class page_file {
public:
    // Null when the path is not a regular file, is empty, or cannot be opened.
    static std::shared_ptr<page_file> open(const std::string& path);
    page_file(const page_file&) = delete;
    page_file& operator=(const page_file&) = delete;

    std::uint64_t size() const { return size_; }
    bool direct() const { return direct_.load(std::memory_order_relaxed); }

    // Reads up to `size` bytes at `offset` into `buffer` (aligned for O_DIRECT). Returns the
    // bytes read, 0 at or beyond the end of the file, -1 on an error.
    std::int64_t read_at(std::uint8_t* buffer, std::uint32_t size, std::uint64_t offset);

private:
    page_file(int fd, std::uint64_t size, bool direct) : fd_(fd), size_(size), direct_(direct) {}
    void drop_direct_io();

    platform::UniqueFd fd_;
    std::uint64_t size_;
    std::atomic<bool> direct_;
};

enum class packet_key : std::uint8_t {
    stop = 0,              // the disk thread ends
    process_requests = 1,  // new requests wait in the request queue
    read_done = 2,         // a page read finished
    file_dropped = 3,      // a file was forgotten; its idle pages may go
};

struct completion_packet {
    packet_key key = packet_key::stop;
    void* context = nullptr;
    std::int64_t bytes = 0;  // read_done: bytes read, 0 or less on failure
};

class completion_queue {
public:
    void post(const completion_packet& packet);
    // Blocks until at least one packet is there, then takes every packet queued.
    void wait_all(std::vector<completion_packet>& out);

private:
    std::mutex mutex_;
    std::condition_variable posted_;
    std::deque<completion_packet> packets_;
};

class page_reader {
public:
    page_reader(std::uint32_t threads, completion_queue& completions);
    ~page_reader();
    page_reader(const page_reader&) = delete;
    page_reader& operator=(const page_reader&) = delete;

    // Reads one page; posts {read_done, context, bytes} when finished. A null file fails
    // the read.
    void read(std::shared_ptr<page_file> file, std::uint8_t* buffer, std::uint32_t size,
              std::uint64_t offset, void* context);

    // Completed preads, for tests that count disk reads.
    std::uint64_t reads_done() const { return reads_done_.load(); }

private:
    struct job {
        std::shared_ptr<page_file> file;
        std::uint8_t* buffer;
        std::uint32_t size;
        std::uint64_t offset;
        void* context;
    };
    void run();

    completion_queue& completions_;
    platform::MessageQueue<job> jobs_;
    std::vector<std::thread> threads_;
    std::atomic<std::uint64_t> reads_done_{0};
};

}  // namespace peerfeed
