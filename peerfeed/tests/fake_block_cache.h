#pragma once
// A block cache double for the session tests: it knows a table of GCIDs and sizes, makes
// up file bytes from their offsets, and can hold completions back or fail chosen reads.
// Completions reach sessions the way the real cache delivers them: shared read_bytes,
// queued and handed over from a wake-up event of the loop, one at a time.

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "block_cache_interface.h"

struct event;

namespace peerfeed::test {

// The byte a fake file holds at `position`.
std::uint8_t fake_byte(std::uint64_t position);

class fake_block_cache;

// What a test sets up and observes; shared between the test thread and the loop thread.
struct fake_cache_state {
    struct submitted {
        std::uint32_t id;
        std::uint64_t offset;
        std::uint32_t length;
    };

    std::mutex mutex;
    std::map<std::string, std::uint64_t> files;  // GCID text -> size
    std::set<std::uint64_t> failing_offsets;
    bool hold_completions = false;
    bool pages_short = false;  // what waiting_for_pages() reports
    // When non-zero, completions are held until this many are, then all of them finish
    // at once (queued for the next wake-up), as a batch of cached pages would.
    std::size_t complete_in_batches_of = 0;
    int opens = 0;
    int releases = 0;
    int starts = 0;
    int stops = 0;
    std::vector<submitted> submits;
    std::vector<std::string> closed_files;
    block_cache_statistics statistics;
    std::vector<cache_settings> retunes;  // what each retune passed
    fake_block_cache* current = nullptr;  // loop thread only
};

class fake_block_cache final : public block_cache_interface {
public:
    explicit fake_block_cache(std::shared_ptr<fake_cache_state> state) : state_(std::move(state)) {}
    ~fake_block_cache() override;

    void start(event_base* loop, const cache_settings& settings,
               gcid_path_resolver resolve_path) override;
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
    bool waiting_for_pages() const override;

    // Loop thread: every completion held back so far finishes (delivered at the next
    // wake-up of the loop).
    void release_held();

private:
    struct link final : file_link {
        vp_data_handler* session;
        std::uint64_t serial;
    };
    struct result {
        std::uint32_t id;
        std::uint64_t serial;
        const vp_data_handler* session;
        std::shared_ptr<const read_bytes> bytes;  // null: the read failed
    };

    static void on_wake(int fd, short events, void* self);
    void finish(std::deque<result>& results);

    std::shared_ptr<fake_cache_state> state_;
    event* wake_ = nullptr;
    std::map<std::uint64_t, std::unique_ptr<link>> links_;
    std::deque<result> ready_;
    std::deque<result> held_;
    std::uint64_t last_serial_ = 0;
    std::uint32_t next_id_ = 1;
};

}  // namespace peerfeed::test
