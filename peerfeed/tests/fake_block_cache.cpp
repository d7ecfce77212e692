#include "fake_block_cache.h"

#include <event2/event.h>

#include <algorithm>

namespace peerfeed::test {

std::uint8_t fake_byte(std::uint64_t position) {
    return static_cast<std::uint8_t>(position ^ (position >> 8) ^ (position >> 16));
}

fake_block_cache::~fake_block_cache() {
    stop();
}

void fake_block_cache::start(event_base* loop, const cache_settings&, gcid_path_resolver) {
    wake_ = event_new(loop, -1, 0, &fake_block_cache::on_wake, this);
    std::lock_guard lock(state_->mutex);
    state_->starts += 1;
    state_->current = this;
}

void fake_block_cache::stop() {
    if (wake_ == nullptr) {
        return;
    }
    event_free(wake_);
    wake_ = nullptr;
    ready_.clear();
    held_.clear();
    std::lock_guard lock(state_->mutex);
    state_->stops += 1;
    state_->current = nullptr;
}

file_link* fake_block_cache::open(vp_data_handler& session, const std::string& gcid,
                                  std::uint64_t size) {
    std::lock_guard lock(state_->mutex);
    auto found = state_->files.find(gcid);
    if (found == state_->files.end() || found->second != size) {
        return nullptr;
    }
    state_->opens += 1;
    auto made = std::make_unique<link>();
    made->session = &session;
    made->serial = ++last_serial_;
    link* raw = made.get();
    links_.emplace(raw->serial, std::move(made));
    return raw;
}

void fake_block_cache::release(file_link* released) {
    {
        std::lock_guard lock(state_->mutex);
        state_->releases += 1;
    }
    links_.erase(static_cast<link*>(released)->serial);
}

std::uint32_t fake_block_cache::submit(vp_data_handler& session, file_link& target,
                                       std::uint64_t offset, std::uint32_t length) {
    const std::uint32_t id = next_id_++;
    bool failed = false;
    bool hold = false;
    std::size_t batch = 0;
    {
        std::lock_guard lock(state_->mutex);
        state_->submits.push_back({id, offset, length});
        failed = state_->failing_offsets.count(offset) != 0;
        hold = state_->hold_completions;
        batch = state_->complete_in_batches_of;
    }
    result made{id, static_cast<link&>(target).serial, &session, nullptr};
    if (!failed) {
        std::shared_ptr<std::uint8_t[]> data(new std::uint8_t[length]);
        for (std::uint32_t i = 0; i < length; ++i) {
            data[i] = fake_byte(offset + i);
        }
        auto bytes = std::make_shared<read_bytes>();
        // Two pieces when possible, as a read across two cached pages arrives.
        const std::uint32_t first = length / 2;
        const std::shared_ptr<const std::uint8_t> owner(data, data.get());
        if (first > 0) {
            bytes->append(owner, data.get(), first);
        }
        bytes->append(owner, data.get() + first, length - first);
        made.bytes = std::move(bytes);
    }
    held_.push_back(std::move(made));
    if (!hold && (batch == 0 || held_.size() >= batch)) {
        finish(held_);
    }
    return id;
}

void fake_block_cache::close_file(const std::string& gcid) {
    std::lock_guard lock(state_->mutex);
    state_->closed_files.push_back(gcid);
}

void fake_block_cache::close_all_files() {
    std::lock_guard lock(state_->mutex);
    state_->closed_files.push_back("*");
}

void fake_block_cache::retune(const cache_settings& settings) {
    std::lock_guard lock(state_->mutex);
    state_->retunes.push_back(settings);
}

block_cache_statistics fake_block_cache::statistics() const {
    std::lock_guard lock(state_->mutex);
    return state_->statistics;
}

bool fake_block_cache::waiting_for_pages() const {
    std::lock_guard lock(state_->mutex);
    return state_->pages_short;
}

std::size_t fake_block_cache::undelivered(const vp_data_handler& session) const {
    return static_cast<std::size_t>(std::count_if(
        ready_.begin(), ready_.end(), [&](const result& r) { return r.session == &session; }));
}

void fake_block_cache::release_held() {
    finish(held_);
}

void fake_block_cache::finish(std::deque<result>& results) {
    for (result& done : results) {
        ready_.push_back(std::move(done));
    }
    results.clear();
    event_active(wake_, 0, 0);
}

void fake_block_cache::on_wake(int, short, void* self) {
    auto* cache = static_cast<fake_block_cache*>(self);
    // One at a time: a session called here may ask what is still undelivered.
    while (!cache->ready_.empty()) {
        result done = std::move(cache->ready_.front());
        cache->ready_.pop_front();
        auto found = cache->links_.find(done.serial);
        if (found != cache->links_.end()) {
            found->second->session->on_read_complete(done.id, std::move(done.bytes));
        }
    }
}

}  // namespace peerfeed::test
