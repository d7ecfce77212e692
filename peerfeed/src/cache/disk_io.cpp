#include "cache/disk_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace peerfeed {

std::shared_ptr<page_file> page_file::open(const std::string& path) {
    struct stat info {};
    // Checked before opening so that a FIFO or device never blocks or feeds the cache.
    if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
        return nullptr;
    }
    constexpr int common = O_RDONLY | O_CLOEXEC | O_NONBLOCK;
    bool direct = true;
    int fd = ::open(path.c_str(), common | O_DIRECT);
    if (fd < 0 && errno == EINVAL) {
        direct = false;
        fd = ::open(path.c_str(), common);
    }
    if (fd < 0) {
        return nullptr;
    }
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size <= 0) {
        ::close(fd);
        return nullptr;
    }
    if (!direct) {
        ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    }
    return std::shared_ptr<page_file>(
        new page_file(fd, static_cast<std::uint64_t>(info.st_size), direct));
}

void page_file::drop_direct_io() {
    const int flags = ::fcntl(fd_.get(), F_GETFL);
    if (flags >= 0) {
        ::fcntl(fd_.get(), F_SETFL, flags & ~O_DIRECT);
        ::posix_fadvise(fd_.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
    }
    direct_.store(false, std::memory_order_relaxed);
}

std::int64_t page_file::read_at(std::uint8_t* buffer, std::uint32_t size, std::uint64_t offset) {
    std::uint32_t done = 0;
    while (done < size) {
        const ssize_t got =
            ::pread(fd_.get(), buffer + done, size - done, static_cast<off_t>(offset + done));
        if (got > 0) {
            done += static_cast<std::uint32_t>(got);
            // A direct read that stops short has reached the end of the file; asking again
            // at an unaligned offset would be refused.
            if (direct()) {
                break;
            }
            continue;
        }
        if (got == 0) {
            break;
        }
        if (errno == EINTR) {
            continue;
        }
        // Some file systems accept O_DIRECT at open time but refuse the read itself.
        if (errno == EINVAL && direct() && done == 0) {
            drop_direct_io();
            continue;
        }
        return -1;
    }
    return done;
}

void completion_queue::post(const completion_packet& packet) {
    {
        std::lock_guard lock(mutex_);
        packets_.push_back(packet);
    }
    posted_.notify_one();
}

void completion_queue::wait_all(std::vector<completion_packet>& out) {
    std::unique_lock lock(mutex_);
    posted_.wait(lock, [this] { return !packets_.empty(); });
    out.assign(packets_.begin(), packets_.end());
    packets_.clear();
}

page_reader::page_reader(std::uint32_t threads, completion_queue& completions)
    : completions_(completions) {
    threads_.reserve(threads);
    for (std::uint32_t i = 0; i < (threads == 0 ? 1 : threads); ++i) {
        threads_.emplace_back([this] { run(); });
    }
}

page_reader::~page_reader() {
    jobs_.quit();
    for (std::thread& t : threads_) {
        t.join();
    }
}

void page_reader::read(std::shared_ptr<page_file> file, std::uint8_t* buffer, std::uint32_t size,
                       std::uint64_t offset, void* context) {
    jobs_.post(job{std::move(file), buffer, size, offset, context});
}

void page_reader::run() {
    while (auto next = jobs_.receive()) {
        const std::int64_t bytes =
            next->file ? next->file->read_at(next->buffer, next->size, next->offset) : -1;
        reads_done_.fetch_add(1);
        // Drop the file reference before the completion is seen, so that a file closed by
        // the cache is closed as soon as its last read is through.
        next->file.reset();
        completions_.post({packet_key::read_done, next->context, bytes});
    }
}

}  // namespace peerfeed
