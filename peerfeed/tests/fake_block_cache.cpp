#include "fake_block_cache.h"

#include <event2/event.h>

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

std::uint32_t fake_block_cache::submit(vp_data_handler&, file_link& target, std::uint64_t offset,
                                       std::uint32_t length) {
    const std::uint32_t id = next_id_++;
    bool failed = false;
    bool hold = false;
    {
        std::lock_guard lock(state_->mutex);
        state_->submits.push_back({id, offset, length});
        failed = state_->failing_offsets.count(offset) != 0;
        hold = state_->hold_completions;
    }
    result made{id, static_cast<link&>(target).serial, failed, {}};
    if (!failed) {
        made.data.resize(length);
        for (std::uint32_t i = 0; i < length; ++i) {
            made.data[i] = fake_byte(offset + i);
        }
    }
    (hold ? held_ : ready_).push_back(std::move(made));
    if (!hold) {
        event_active(wake_, 0, 0);
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

block_cache_statistics fake_block_cache::statistics() const {
    std::lock_guard lock(state_->mutex);
    return state_->statistics;
}

void fake_block_cache::release_held() {
    std::deque<result> ready;
    ready.swap(held_);
    deliver(ready);
}

void fake_block_cache::on_wake(int, short, void* self) {
    auto* cache = static_cast<fake_block_cache*>(self);
    std::deque<result> ready;
    ready.swap(cache->ready_);
    cache->deliver(ready);
}

void fake_block_cache::deliver(std::deque<result>& ready) {
    for (result& done : ready) {
        auto found = links_.find(done.serial);
        if (found != links_.end()) {
            found->second->session->on_read_complete(done.id, done.failed, done.data.data());
        }
    }
}

}  // namespace peerfeed::test
