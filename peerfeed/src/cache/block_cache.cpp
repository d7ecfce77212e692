#include "cache/block_cache.h"

#include <event2/event.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>

#include "platform/clock.h"
#include "platform/memory_info.h"
#include "stats/process_totals.h"

namespace peerfeed {

struct block_cache::page_stats {
    page_stats(std::uint32_t slots, std::uint32_t slot_ms) : popularity(slots, slot_ms) {}
    std::uint32_t loads = 0;
    std::uint32_t hits = 0;
    std::uint32_t misses = 0;
    popular_calculator popularity;
};

struct block_cache::cached_file {
    explicit cached_file(const std::string& local_path) : path(local_path), dump_path(local_path) {}

    // Loop thread.
    std::string path;  // empty once forgotten
    std::shared_ptr<page_file> handle;
    std::uint32_t users = 0;
    std::uint64_t size = 0;

    // Disk thread.
    const std::string dump_path;
    std::map<std::uint64_t, cache_page*> pages;
    std::map<std::uint64_t, page_stats> stats;
    bool dropped = false;  // forgotten by the loop: its pages go as soon as they are idle
};

struct block_cache::cache_page {
    enum state_type : std::uint8_t { loading = 0, loaded = 1, failed = 2 };

    std::shared_ptr<cached_file> file;
    std::uint64_t index = 0;
    std::uint64_t created_ms = 0;
    std::uint64_t last_use_ms = 0;
    page_handle buffer;
    std::uint32_t valid_bytes = 0;
    std::vector<read_request*> waiting;
    state_type state = loading;
    page_stats* stats = nullptr;
    std::shared_ptr<page_file> read_handle;  // the file to read from while queued
    std::uint64_t rank = 0;                  // popularity at the last eviction round

    bool idle() const { return waiting.empty() && state != loading; }
};

struct block_cache::read_request {
    std::uint32_t id = 0;
    std::uint64_t link_serial = 0;
    vp_data_handler* session = nullptr;
    std::shared_ptr<cached_file> file;
    std::shared_ptr<page_file> handle;
    std::uint64_t offset = 0;
    std::uint32_t length = 0;
    std::vector<cache_page*> pages;  // in file order once planned
};

struct block_cache::read_result {
    std::uint32_t id = 0;
    std::uint64_t link_serial = 0;
    vp_data_handler* session = nullptr;
    bool failed = true;
    std::shared_ptr<read_bytes> bytes;
};

struct block_cache::link final : file_link {
    link(std::uint64_t link_serial, vp_data_handler& reader, std::shared_ptr<cached_file> f)
        : serial(link_serial), session(&reader), file(std::move(f)) {}
    std::uint64_t serial;
    vp_data_handler* session;
    std::shared_ptr<cached_file> file;
};

block_cache::block_cache() = default;

block_cache::~block_cache() {
    stop();
}

// Answers copy their pages into the socket unless the environment asks for sending them
// from the pages' memory file with sendfile. Measured on loopback and on a veth pair the
// copy took half the CPU time per byte: the kernel splices a memory file in 4 KiB pieces,
// and libevent writes header, pages and trailer of each answer in separate calls.
bool block_cache::zero_copy_send_requested() {
    const char* value = std::getenv("WHARFKEEP_PEER_ZERO_COPY_SEND");
    return value != nullptr && std::string(value) == "1";
}

std::uint64_t block_cache::now() const {
    return platform::monotonic_ms();
}

// ---------------------------------------------------------------------------------------
// Loop thread

void block_cache::start(event_base* loop, const cache_settings& settings,
                        gcid_path_resolver resolve_path) {
    start(loop, settings, std::move(resolve_path), platform::available_physical_memory());
}

void block_cache::start(event_base* loop, const cache_settings& settings,
                        gcid_path_resolver resolve_path, std::uint64_t available_memory) {
    if (disk_thread_.joinable()) {
        return;
    }
    settings_ = settings.validated();
    loop_ = loop;
    resolve_path_ = std::move(resolve_path);
    results_event_ = event_new(loop_, -1, 0, &block_cache::on_results, this);
    if (results_event_ == nullptr) {
        throw std::runtime_error("cannot create the block cache's wake-up event");
    }
    pool_ = std::make_unique<page_pool>(
        settings_.page_size, settings_.block_size,
        page_pool_budget(available_memory, settings_.reserved_mem_size, settings_.minimum_mem_size,
                         settings_.maximum_mem_size),
        zero_copy_send_requested());
    pool_->set_return_listener([this] {
        if (requests_parked_.load()) {
            post_requests_wake();
        }
    });
    completions_ = std::make_unique<completion_queue>();
    reader_ = std::make_unique<page_reader>(settings_.max_inprogress_file_io, *completions_);
    wake_posted_ = false;
    disk_thread_ = std::thread([this] { disk_thread_main(); });
}

void block_cache::stop() {
    if (!disk_thread_.joinable()) {
        return;
    }
    completions_->post({packet_key::stop, nullptr, 0});
    disk_thread_.join();
    reader_.reset();  // finishes the reads already issued
    pool_->set_return_listener({});
    event_free(results_event_);
    results_event_ = nullptr;
    write_dump();

    {
        std::lock_guard lock(results_mutex_);
        result_queue_.clear();
        results_wake_pending_ = false;
    }
    {
        std::lock_guard lock(requests_mutex_);
        request_queue_.clear();
        dropped_files_.clear();
    }
    in_flight_.clear();
    parked_.clear();
    requests_parked_ = false;
    read_queue_.clear();
    reads_in_flight_ = 0;
    for (const auto& page : all_pages_) {
        page->file->pages.clear();
    }
    all_pages_.clear();
    for (auto& [gcid, file] : files_) {
        file->handle.reset();
    }
    files_.clear();
    completions_.reset();
    // Pages still referenced by a session keep their memory until they are let go.
    pool_.reset();
}

std::shared_ptr<block_cache::cached_file> block_cache::find_or_name(const std::string& gcid) {
    auto found = files_.find(gcid);
    if (found != files_.end() && !found->second->path.empty()) {
        return found->second;
    }
    std::string path;
    if (!resolve_path_ || !resolve_path_(gcid, path) || path.empty()) {
        return nullptr;
    }
    if (found != files_.end()) {
        found->second->path = path;
        return found->second;
    }
    auto file = std::make_shared<cached_file>(path);
    files_.emplace(gcid, file);
    return file;
}

file_link* block_cache::open(vp_data_handler& session, const std::string& gcid,
                             std::uint64_t size) {
    if (!disk_thread_.joinable()) {
        return nullptr;
    }
    std::shared_ptr<cached_file> file = find_or_name(gcid);
    if (!file) {
        return nullptr;
    }
    if (!file->handle) {
        std::shared_ptr<page_file> handle = page_file::open(file->path);
        if (!handle) {
            return nullptr;
        }
        if (file->size != 0 && file->size != handle->size()) {
            // The file changed on disk since its pages were cached: start afresh.
            const std::string path = file->path;
            forget(files_.find(gcid));
            file = std::make_shared<cached_file>(path);
            files_.emplace(gcid, file);
        }
        file->handle = std::move(handle);
        file->size = file->handle->size();
    }
    if (size != file->size) {
        if (file->users == 0) {
            file->handle.reset();
        }
        return nullptr;
    }
    ++file->users;
    const std::uint64_t serial = next_link_serial_++;
    auto made = std::make_unique<link>(serial, session, std::move(file));
    link* result = made.get();
    links_.emplace(serial, std::move(made));
    return result;
}

void block_cache::release(file_link* given) {
    auto found = links_.find(static_cast<link*>(given)->serial);
    if (found == links_.end()) {
        return;
    }
    cached_file& file = *found->second->file;
    if (file.users > 0 && --file.users == 0) {
        // The path stays, so the next open re-opens without asking the host.
        file.handle.reset();
    }
    links_.erase(found);
}

void block_cache::forget(std::map<std::string, std::shared_ptr<cached_file>>::iterator entry) {
    std::shared_ptr<cached_file> file = entry->second;
    files_.erase(entry);
    file->handle.reset();
    file->path.clear();
    {
        std::lock_guard lock(requests_mutex_);
        dropped_files_.push_back(std::move(file));
    }
    post_requests_wake();
}

void block_cache::close_file(const std::string& gcid) {
    auto found = files_.find(gcid);
    if (found != files_.end()) {
        forget(found);
    }
}

void block_cache::close_all_files() {
    while (!files_.empty()) {
        forget(files_.begin());
    }
}

std::uint32_t block_cache::submit(vp_data_handler& session, file_link& given, std::uint64_t offset,
                                  std::uint32_t length) {
    auto& l = static_cast<link&>(given);
    const std::uint32_t id = next_request_id_++;
    if (next_request_id_ == 0) {
        next_request_id_ = 1;
    }
    const std::uint64_t size = l.file->size;
    const bool inside = length != 0 && offset < size && length <= size - offset;
    if (!l.file->handle || !inside || !disk_thread_.joinable()) {
        // A closed file, or bytes it does not have: the read fails, delivered like any other.
        read_result failed;
        failed.id = id;
        failed.link_serial = l.serial;
        failed.session = &session;
        queue_result(std::move(failed));
        return id;
    }
    auto request = std::make_unique<read_request>();
    request->id = id;
    request->link_serial = l.serial;
    request->session = &session;
    request->file = l.file;
    request->handle = l.file->handle;
    request->offset = offset;
    request->length = length;
    {
        std::lock_guard lock(requests_mutex_);
        request_queue_.push_back(std::move(request));
    }
    post_requests_wake();
    return id;
}

// The disk thread owns the settings: it takes the new ones at its next round.
void block_cache::retune(const cache_settings& settings) {
    {
        std::lock_guard lock(requests_mutex_);
        retuned_ = settings.validated();
    }
    if (completions_) {
        post_requests_wake();
    }
}

void block_cache::post_requests_wake() {
    if (!wake_posted_.exchange(true)) {
        completions_->post({packet_key::process_requests, nullptr, 0});
    }
}

void block_cache::queue_result(read_result result) {
    bool wake = false;
    {
        std::lock_guard lock(results_mutex_);
        result_queue_.push_back(std::move(result));
        if (!results_wake_pending_) {
            results_wake_pending_ = true;
            wake = true;
        }
    }
    // One activation per batch: the loop drains everything queued until then.
    if (wake && results_event_ != nullptr) {
        event_active(results_event_, 0, 0);
    }
}

void block_cache::on_results(int, short, void* self) {
    static_cast<block_cache*>(self)->deliver_results();
}

void block_cache::deliver_results() {
    // One result at a time, so that undelivered() stays exact while a session, called
    // from here, looks at what is still on its way.
    for (;;) {
        read_result result;
        {
            std::lock_guard lock(results_mutex_);
            if (result_queue_.empty()) {
                results_wake_pending_ = false;
                return;
            }
            result = std::move(result_queue_.front());
            result_queue_.pop_front();
        }
        // Looked up for each result: an earlier completion may have ended a session.
        auto found = links_.find(result.link_serial);
        if (found == links_.end() || found->second->session != result.session) {
            continue;
        }
        found->second->session->on_read_complete(result.id, std::move(result.bytes));
    }
}

std::size_t block_cache::undelivered(const vp_data_handler& session) const {
    std::lock_guard lock(results_mutex_);
    return static_cast<std::size_t>(
        std::count_if(result_queue_.begin(), result_queue_.end(),
                      [&](const read_result& r) { return r.session == &session; }));
}

block_cache_statistics block_cache::statistics() const {
    block_cache_statistics s;
    s.page_hits = page_hits_.load();
    s.page_misses = page_misses_.load();
    s.disk_bytes_read = process_wide_totals().disk_bytes_read.load();
    s.cached_bytes = mapped_bytes();
    s.budget_bytes = budget();
    std::lock_guard lock(disk_speed_mutex_);
    s.disk_read_speed = disk_speed_.speed();
    return s;
}

std::uint64_t block_cache::disk_reads() const {
    return reader_ ? reader_->reads_done() : 0;
}

std::uint64_t block_cache::mapped_bytes() const {
    return pool_ ? pool_->mapped_bytes() : 0;
}

std::uint64_t block_cache::budget() const {
    return pool_ ? pool_->budget() : 0;
}

// ---------------------------------------------------------------------------------------
// Disk thread

void block_cache::disk_thread_main() {
    std::vector<completion_packet> batch;
    for (;;) {
        completions_->wait_all(batch);
        for (const completion_packet& packet : batch) {
            switch (packet.key) {
                case packet_key::process_requests:
                case packet_key::file_dropped:
                    process_requests();
                    break;
                case packet_key::read_done:
                    on_page_read(static_cast<cache_page*>(packet.context), packet.bytes);
                    break;
                case packet_key::stop:
                    return;
            }
        }
    }
}

void block_cache::process_requests() {
    wake_posted_ = false;
    std::vector<std::shared_ptr<cached_file>> dropped;
    {
        std::lock_guard lock(requests_mutex_);
        dropped.swap(dropped_files_);
        if (retuned_) {
            settings_ = with_live_keys(settings_, *retuned_);
            retuned_.reset();
        }
    }
    for (const auto& file : dropped) {
        file->dropped = true;
        drop_idle_pages(*file);
    }
    // Requests that waited for a page go before new ones.
    retry_parked();
    for (;;) {
        std::unique_ptr<read_request> request;
        {
            std::lock_guard lock(requests_mutex_);
            if (request_queue_.empty()) {
                return;
            }
            request = std::move(request_queue_.front());
            request_queue_.pop_front();
        }
        if (!parked_.empty()) {
            // Memory is short: keep the order and wait with the others.
            parked_.push_back(std::move(request));
            continue;
        }
        read_request* raw = request.get();
        in_flight_.emplace(raw->id, std::move(request));
        switch (plan(*raw)) {
            case plan_outcome::planned:
                break;
            case plan_outcome::no_page:
                parked_.push_back(std::move(in_flight_.extract(raw->id).mapped()));
                requests_parked_ = true;
                break;
            case plan_outcome::impossible:
                fail_request(std::move(in_flight_.extract(raw->id).mapped()));
                break;
        }
    }
}

void block_cache::retry_parked() {
    while (!parked_.empty()) {
        std::unique_ptr<read_request> request = std::move(parked_.front());
        parked_.pop_front();
        read_request* raw = request.get();
        in_flight_.emplace(raw->id, std::move(request));
        const plan_outcome outcome = plan(*raw);
        if (outcome == plan_outcome::no_page) {
            parked_.push_front(std::move(in_flight_.extract(raw->id).mapped()));
            break;
        }
        if (outcome == plan_outcome::impossible) {
            fail_request(std::move(in_flight_.extract(raw->id).mapped()));
        }
    }
    requests_parked_ = !parked_.empty();
}

block_cache::plan_outcome block_cache::plan(read_request& request) {
    const std::uint64_t page_size = settings_.page_size;
    const std::uint64_t first = request.offset / page_size;
    const std::uint64_t last = (request.offset + request.length - 1) / page_size;
    cached_file& file = *request.file;
    const std::uint64_t tick = now();

    struct step {
        cache_page* page;
        bool created;
    };
    std::vector<step> steps;
    steps.reserve(static_cast<std::size_t>(last - first + 1));
    for (std::uint64_t index = first; index <= last; ++index) {
        auto found = file.pages.find(index);
        if (found != file.pages.end()) {
            // Joining the waiting list first keeps the page from being evicted while the
            // rest of the plan looks for buffers.
            found->second->waiting.push_back(&request);
            steps.push_back({found->second, false});
            continue;
        }
        page_handle buffer = get_buffer();
        if (!buffer) {
            // Undo the pass: nothing may wait on pages that this plan will not read.
            for (auto undo = steps.rbegin(); undo != steps.rend(); ++undo) {
                undo->page->waiting.pop_back();
                if (undo->created) {
                    free_page(undo->page);
                }
            }
            const bool nothing_will_free =
                all_pages_.empty() && pool_->blocks() == 0 && !pool_->has_free_or_can_grow();
            return nothing_will_free ? plan_outcome::impossible : plan_outcome::no_page;
        }
        auto page = std::make_unique<cache_page>();
        page->file = request.file;
        page->index = index;
        page->created_ms = page->last_use_ms = tick;
        page->buffer = std::move(buffer);
        page->stats = &file.stats
                           .try_emplace(index, settings_.popularity_slot_count(),
                                        settings_.popularity_slot_length_ms())
                           .first->second;
        page->waiting.push_back(&request);
        file.pages.emplace(index, page.get());
        steps.push_back({page.get(), true});
        all_pages_.push_back(std::move(page));
    }

    bool loads = false;
    for (const step& s : steps) {
        cache_page* page = s.page;
        request.pages.push_back(page);
        if (!s.created && page->state == cache_page::loaded) {
            ++page->stats->hits;
            page_hits_.fetch_add(1, std::memory_order_relaxed);
        } else {
            ++page->stats->misses;
            page_misses_.fetch_add(1, std::memory_order_relaxed);
        }
        if (s.created || page->state == cache_page::failed) {
            page->state = cache_page::loading;
            page->read_handle = request.handle;
            ++page->stats->loads;
            read_queue_.push_back(page);
            loads = true;
        }
    }
    if (loads) {
        issue_reads();
    } else {
        const std::shared_ptr<cached_file> keep = request.file;
        try_complete(&request);  // deletes the request
        if (keep->dropped) {
            drop_idle_pages(*keep);
        }
    }
    return plan_outcome::planned;
}

page_handle block_cache::get_buffer() {
    if (page_handle buffer = pool_->take()) {
        return buffer;
    }
    evict();
    return pool_->take();
}

void block_cache::evict() {
    const std::uint64_t tick = now();
    for (const auto& page : all_pages_) {
        page->rank = page->stats->popularity.value(tick);
    }
    std::stable_sort(all_pages_.begin(), all_pages_.end(), [](const auto& a, const auto& b) {
        if (a->rank != b->rank) {
            return a->rank > b->rank;
        }
        return a->last_use_ms > b->last_use_ms;
    });
    maybe_auto_dump();
    // The least popular idle pages go; pages that reads wait on are passed over rather
    // than counted, so a tail full of loading pages does not stall the cache.
    std::uint64_t to_free = settings_.eviction_batch_pages();
    for (auto it = all_pages_.rbegin(); it != all_pages_.rend() && to_free > 0; ++it) {
        cache_page& page = **it;
        if (page.idle()) {
            page.file->pages.erase(page.index);
            it->reset();
            --to_free;
        }
    }
    std::erase(all_pages_, nullptr);
}

void block_cache::free_page(cache_page* page) {
    page->file->pages.erase(page->index);
    // Pages freed one by one are almost always the newest.
    for (auto it = all_pages_.rbegin(); it != all_pages_.rend(); ++it) {
        if (it->get() == page) {
            all_pages_.erase(std::next(it).base());
            return;
        }
    }
}

void block_cache::drop_idle_pages(cached_file& file) {
    bool any = false;
    for (auto& page : all_pages_) {
        if (page->file.get() == &file && page->idle()) {
            file.pages.erase(page->index);
            page.reset();
            any = true;
        }
    }
    if (any) {
        std::erase(all_pages_, nullptr);
    }
}

void block_cache::issue_reads() {
    while (reads_in_flight_ < settings_.max_inprogress_file_io && !read_queue_.empty()) {
        cache_page* page = read_queue_.front();
        read_queue_.pop_front();
        ++reads_in_flight_;
        // One read of exactly one page, at its true 64-bit offset.
        reader_->read(std::move(page->read_handle), page->buffer.get(), settings_.page_size,
                      page->index * settings_.page_size, page);
    }
}

void block_cache::on_page_read(cache_page* page, std::int64_t bytes) {
    --reads_in_flight_;
    issue_reads();
    if (bytes > 0) {
        page->state = cache_page::loaded;
        page->valid_bytes = static_cast<std::uint32_t>(bytes);
        process_wide_totals().disk_bytes_read.fetch_add(static_cast<std::uint64_t>(bytes));
        std::lock_guard lock(disk_speed_mutex_);
        disk_speed_.add(static_cast<std::uint64_t>(bytes));
    } else {
        page->state = cache_page::failed;
        page->valid_bytes = 0;
    }
    const std::vector<read_request*> waiting = page->waiting;
    for (read_request* request : waiting) {
        try_complete(request);
    }
    if (page->file->dropped) {
        const std::shared_ptr<cached_file> file = page->file;
        drop_idle_pages(*file);  // may free `page`
    }
    retry_parked();
}

void block_cache::try_complete(read_request* request) {
    for (const cache_page* page : request->pages) {
        if (page->state == cache_page::loading) {
            return;
        }
    }
    auto node = in_flight_.extract(request->id);
    if (node.empty()) {
        return;
    }
    std::unique_ptr<read_request> owned = std::move(node.mapped());

    read_result result;
    result.id = owned->id;
    result.link_serial = owned->link_serial;
    result.session = owned->session;
    result.failed = false;
    result.bytes = std::make_shared<read_bytes>();
    const std::uint64_t page_size = settings_.page_size;
    const std::uint64_t tick = now();
    std::uint64_t position = owned->offset;
    std::uint32_t remaining = owned->length;
    for (cache_page* page : owned->pages) {
        const auto within = static_cast<std::uint32_t>(position % page_size);
        const auto take =
            static_cast<std::uint32_t>(std::min<std::uint64_t>(page_size - within, remaining));
        // A failed page, or one that holds fewer bytes than asked for (the file shrank
        // after it was opened), fails the read instead of sending stale buffer bytes.
        if (page->state == cache_page::failed || within + take > page->valid_bytes) {
            result.failed = true;
            break;
        }
        const std::uint8_t* data = page->buffer.get() + within;
        result.bytes->append(page->buffer, data, take, pool_->memory_file(),
                             pool_->file_offset(data));
        page->last_use_ms = tick;
        page->stats->popularity.count(tick);
        position += take;
        remaining -= take;
    }
    if (result.failed) {
        result.bytes.reset();
    }
    for (cache_page* page : owned->pages) {
        std::erase(page->waiting, owned.get());
    }
    queue_result(std::move(result));
}

void block_cache::fail_request(std::unique_ptr<read_request> request) {
    read_result failed;
    failed.id = request->id;
    failed.link_serial = request->link_serial;
    failed.session = request->session;
    queue_result(std::move(failed));
}

void block_cache::maybe_auto_dump() {
    const std::uint64_t interval_ms =
        std::uint64_t{settings_.auto_dump_cache_interval_seconds} * 1000u;
    if (interval_ms == 0) {
        return;
    }
    const std::uint64_t tick = now();
    if (tick - last_auto_dump_ms_ > interval_ms) {
        write_dump();
        last_auto_dump_ms_ = tick;
    }
}

void block_cache::write_dump() {
    const std::string target = dump_cache_file_path();
    if (target.empty()) {
        return;
    }
    std::ofstream out(target, std::ios::binary | std::ios::trunc);
    if (!out) {
        return;
    }
    // Lines end in CR LF, as the dump has always been written.
    const char* eol = "\r\n";
    const std::uint64_t page_size = settings_.page_size;
    out << "Cache:" << (page_size * all_pages_.size()) / (1u << 20) << "MB" << eol;
    out << "Page:" << page_size / 1024 << "KB" << eol;
    out << "Disk Read Buffer:" << settings_.disk_read_buffer_size / (1u << 20) << "MB" << eol;
    out << eol;
    out << "pop\thit\tmiss\tload\tpath\tindex\t" << eol;
    const std::uint64_t tick = now();
    for (const auto& page : all_pages_) {
        page_stats& stats = *page->stats;
        out << stats.popularity.value(tick) << '\t' << stats.hits << '\t' << stats.misses << '\t'
            << stats.loads << '\t' << page->file->dump_path << '\t' << page->index << '\t' << eol;
    }
}

}  // namespace peerfeed
