#pragma once
// The block cache as the server and its sessions see it: open a published file for a
// session, submit byte-range reads, release the file, close files on the host's request.
//
// Threading contract
// - Every call of this interface is made on the server's loop thread: start and stop (from
//   the loop thread's start-up and teardown), open, release, submit, close_file,
//   close_all_files (sessions and call-queue tasks) and statistics (call-queue tasks).
// - Read completions are delivered on the loop thread as well, from the cache's own
//   wake-up event on the loop's event base; never from inside submit(), because a
//   session submits from the middle of its read callback. Many finished reads may be
//   delivered in one wake-up; they need not arrive in submission order.
// - A completion goes to the vp_data_handler that submitted the read, and only while that
//   handler still holds the file link it read through: once release() has returned, no
//   completion reaches the handler any more, so a destroyed session is never called.
// - The bytes of a completion are shared: the session may keep them (in its output) for
//   as long as it needs; they stay valid after the cache lets go of its pages.
// - An implementation may run threads of its own (a disk thread). How it hands work to
//   them and results back (its locks, its queues) stays inside it. The counters that
//   statistics() reports may be written by such a thread; they must be readable from the
//   loop thread without a data race (atomics), though they may be slightly stale.
// - gcid_path_resolver is called on the loop thread only (from open()).

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "cache/cache_settings.h"

struct event_base;

namespace peerfeed {

// The bytes of one finished read, in one or more pieces, each kept alive by a shared owner
// (a cached page, or a buffer of the cache's own): valid for as long as the object lives,
// also after the cache has evicted the pages or stopped. Sessions queue the pieces into
// their output by reference, so answering copies no file bytes. A piece that also lies in
// a memory file (`file` not -1) may be sent from that file at `file_offset` instead, so
// that the kernel does not copy it either; its bytes there never change while the piece
// lives.
class read_bytes {
public:
    struct slice {
        std::shared_ptr<const std::uint8_t> owner;
        const std::uint8_t* data = nullptr;
        std::uint32_t length = 0;
        int file = -1;
        std::uint64_t file_offset = 0;
    };

    void append(std::shared_ptr<const std::uint8_t> owner, const std::uint8_t* data,
                std::uint32_t length, int file = -1, std::uint64_t file_offset = 0) {
        slices_.push_back({std::move(owner), data, length, file, file_offset});
        size_ += length;
    }
    const std::vector<slice>& slices() const { return slices_; }
    std::uint32_t size() const { return size_; }
    // The bytes in one piece.
    std::vector<std::uint8_t> copy() const {
        std::vector<std::uint8_t> all;
        all.reserve(size_);
        for (const slice& s : slices_) {
            all.insert(all.end(), s.data, s.data + s.length);
        }
        return all;
    }

private:
    std::vector<slice> slices_;
    std::uint32_t size_ = 0;
};

// The session side of a read: told on the loop thread when a submitted read finishes.
class vp_data_handler {
public:
    // The read `request_id` finished: `bytes` holds the bytes requested, or is null when
    // the read failed.
    virtual void on_read_complete(std::uint32_t request_id,
                                  std::shared_ptr<const read_bytes> bytes) = 0;

protected:
    ~vp_data_handler() = default;
};

// One session's hold on an open file: made by open(), ended by release(). Each cache
// implementation derives its own link type; callers only pass it back.
class file_link {
public:
    virtual ~file_link() = default;
};

// Asks the host for the local path of a GCID (40 upper-case hexadecimal digits); false
// when the host does not publish it.
using gcid_path_resolver = std::function<bool(const std::string& gcid, std::string& path)>;

struct block_cache_statistics {
    std::uint64_t page_hits = 0;
    std::uint64_t page_misses = 0;
    std::uint64_t disk_bytes_read = 0;  // process-wide: not reset by a restart
    std::uint64_t disk_read_speed = 0;  // bytes per second
    std::uint64_t cached_bytes = 0;     // memory mapped for pages now
    std::uint64_t budget_bytes = 0;     // most memory the pages may take
};

class block_cache_interface {
public:
    virtual ~block_cache_interface() = default;

    // Once, when the server starts and before any other call: reads of the cache are
    // delivered through an event on `loop`. Throws std::exception when the cache cannot
    // run (the server then does not start).
    virtual void start(event_base* loop, const cache_settings& settings,
                       gcid_path_resolver resolve_path) = 0;
    // Once, at server teardown, after every session has released its link: ends the
    // cache's threads and frees all memory. Undelivered results are dropped.
    virtual void stop() = 0;

    // Opens the file of `gcid` for `session` when the host publishes it and its size is
    // exactly `size`; null otherwise.
    virtual file_link* open(vp_data_handler& session, const std::string& gcid,
                            std::uint64_t size) = 0;
    // Gives the link back; the file closes when its last link goes. Pending reads of the
    // session are dropped. `link` is invalid afterwards.
    virtual void release(file_link* link) = 0;
    // Queues a read of `length` bytes (1..65536) at `offset` of the linked file, inside the
    // file, for the link's session; returns the request id its completion will carry.
    virtual std::uint32_t submit(vp_data_handler& session, file_link& link, std::uint64_t offset,
                                 std::uint32_t length) = 0;
    // Closes and forgets the file of `gcid`: sessions still linked to it fail their later
    // reads, and the next open asks the host for the path again.
    virtual void close_file(const std::string& gcid) = 0;
    virtual void close_all_files() = 0;

    virtual block_cache_statistics statistics() const = 0;

    // Takes over the keys of `settings` that a running cache can change (with_live_keys);
    // the others stay as started.
    virtual void retune(const cache_settings& settings) = 0;

    // Reads of `session` that have finished but whose completion has not been delivered
    // yet (it waits for the next wake-up of the loop).
    virtual std::size_t undelivered(const vp_data_handler& session) const = 0;

    // True while reads wait for a page because every page the budget allows is in use
    // (cached pages that reads wait on, or pages whose bytes sit in sessions' output).
    virtual bool waiting_for_pages() const = 0;
};

// The cache the server runs in production.
std::unique_ptr<block_cache_interface> make_block_cache();

}  // namespace peerfeed
