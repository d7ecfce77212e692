#pragma once
// The block cache: sessions' byte-range reads become page reads of the published files,
// and the pages stay in memory so the same bytes sent to many peers are read once.
//
// Threading
// - Loop thread: start, stop, open, release, submit, close_file, close_all_files,
//   statistics and the delivery of finished reads (through an event on the loop's base).
//   Files, links and the request-id counter belong to it.
// - Disk thread: planning requests into pages, issuing page reads, completing requests,
//   eviction and automatic dumps. Pages, page maps, page statistics, the read queue and
//   the parked requests belong to it.
// - Reader threads (at most max_inprogress_file_io reads outstanding) only run pread and
//   post the outcome to the disk thread's completion queue.
// - The loop hands requests to the disk thread through the request queue (its own lock)
//   and a completion packet; the disk thread hands results back through the result queue
//   (another lock) and one activation of the loop's event per batch. No lock is held while
//   calling out. Hit and miss counters are atomics the loop may read at any time.
//
// Pages are shared handles (page_pool.h): a finished read that lies within one page hands
// the session a pointer into the cached page (and its place in the pool's memory file),
// not a copy, and keeps the page alive for as long as the bytes are needed (see
// read_bytes). A read across pages holds each of them.

#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "block_cache_interface.h"
#include "cache/cache_settings.h"
#include "cache/disk_io.h"
#include "cache/page_pool.h"
#include "stats/sliding_window.h"

struct event;

namespace peerfeed {

class block_cache final : public block_cache_interface {
public:
    block_cache();
    ~block_cache() override;
    block_cache(const block_cache&) = delete;
    block_cache& operator=(const block_cache&) = delete;

    void start(event_base* loop, const cache_settings& settings,
               gcid_path_resolver resolve_path) override;
    // The same with settings already made sound and the memory figure the budget is
    // computed from (MemAvailable in production).
    void start(event_base* loop, const cache_settings& settings, gcid_path_resolver resolve_path,
               std::uint64_t available_memory);
    void stop() override;

    file_link* open(vp_data_handler& session, const std::string& gcid, std::uint64_t size) override;
    void release(file_link* link) override;
    std::uint32_t submit(vp_data_handler& session, file_link& link, std::uint64_t offset,
                         std::uint32_t length) override;
    void close_file(const std::string& gcid) override;
    void close_all_files() override;
    block_cache_statistics statistics() const override;
    void retune(const cache_settings& settings) override;
    std::size_t undelivered(const vp_data_handler& session) const override;
    bool waiting_for_pages() const override { return requests_parked_.load(); }

    // For tests and benchmarks.
    std::uint64_t disk_reads() const;
    std::uint64_t mapped_bytes() const;
    std::uint64_t budget() const;
    std::size_t open_files() const { return files_.size(); }

private:
    struct cached_file;
    struct cache_page;
    struct page_stats;
    struct read_request;
    struct read_result;
    struct link;

    static bool zero_copy_send_requested();

    // Loop thread.
    std::shared_ptr<cached_file> find_or_name(const std::string& gcid);
    void forget(std::map<std::string, std::shared_ptr<cached_file>>::iterator entry);
    void post_requests_wake();
    void queue_result(read_result result);
    static void on_results(int fd, short events, void* self);
    void deliver_results();

    // Disk thread.
    void disk_thread_main();
    void process_requests();
    enum class plan_outcome { planned, no_page, impossible };
    plan_outcome plan(read_request& request);
    page_handle get_buffer();
    void evict();
    void issue_reads();
    void on_page_read(cache_page* page, std::int64_t bytes);
    void try_complete(read_request* request);
    void fail_request(std::unique_ptr<read_request> request);
    void retry_parked();
    void drop_idle_pages(cached_file& file);
    void free_page(cache_page* page);
    void maybe_auto_dump();
    void write_dump();
    std::uint64_t now() const;

    cache_settings settings_;
    event_base* loop_ = nullptr;
    event* results_event_ = nullptr;
    gcid_path_resolver resolve_path_;

    // Loop thread.
    std::map<std::string, std::shared_ptr<cached_file>> files_;
    std::map<std::uint64_t, std::unique_ptr<link>> links_;  // by link serial
    std::uint64_t next_link_serial_ = 1;
    std::uint32_t next_request_id_ = 1;

    // Request queue (lock A) with files dropped by the loop thread.
    std::mutex requests_mutex_;
    std::deque<std::unique_ptr<read_request>> request_queue_;
    std::vector<std::shared_ptr<cached_file>> dropped_files_;
    std::optional<cache_settings> retuned_;  // taken over by the disk thread
    std::atomic<bool> wake_posted_{false};

    // Result queue (lock B).
    mutable std::mutex results_mutex_;
    std::deque<read_result> result_queue_;
    bool results_wake_pending_ = false;

    // Disk thread.
    std::unique_ptr<page_pool> pool_;
    std::unique_ptr<completion_queue> completions_;
    std::unique_ptr<page_reader> reader_;
    std::thread disk_thread_;
    std::map<std::uint32_t, std::unique_ptr<read_request>> in_flight_;
    std::deque<std::unique_ptr<read_request>> parked_;
    std::atomic<bool> requests_parked_{false};
    std::vector<std::unique_ptr<cache_page>> all_pages_;
    std::deque<cache_page*> read_queue_;
    std::uint32_t reads_in_flight_ = 0;
    std::uint64_t last_auto_dump_ms_ = 0;

    // Read by the loop thread.
    std::atomic<std::uint64_t> page_hits_{0};
    std::atomic<std::uint64_t> page_misses_{0};
    mutable std::mutex disk_speed_mutex_;
    mutable speed_calculator disk_speed_;
};

}  // namespace peerfeed
