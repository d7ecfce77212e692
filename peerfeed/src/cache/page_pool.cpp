#include "cache/page_pool.h"

#include <sys/mman.h>

namespace peerfeed {

std::uint64_t page_pool_budget(std::uint64_t available, std::uint64_t reserved,
                               std::uint64_t minimum, std::uint64_t maximum) {
    std::uint64_t budget = available > reserved ? available - reserved : 0;
    if (budget < minimum) {
        budget = minimum;
    }
    if (budget > maximum) {
        budget = maximum;
    }
    return budget;
}

// Lives as long as the pool or any page lent from it.
struct page_pool::shared_state {
    struct block {
        void* address;
        std::size_t size;
    };

    ~shared_state() {
        for (const block& b : blocks) {
            ::munmap(b.address, b.size);
        }
    }

    mutable std::mutex mutex;
    std::vector<std::uint8_t*> free_list;  // last freed first out
    std::vector<block> blocks;
    std::function<void()> on_return;
    bool exhausted = false;
    bool fail_next_growth = false;
};

page_pool::page_pool(std::uint32_t page_size, std::uint64_t block_size, std::uint64_t budget)
    : page_size_(page_size),
      block_size_(block_size < page_size ? page_size : block_size),
      // Without one block nothing could ever be cached; the pool may exceed its budget by
      // up to one block anyway.
      budget_(budget == 0 ? 1 : budget),
      state_(std::make_shared<shared_state>()) {}

bool page_pool::has_free_or_can_grow() const {
    std::lock_guard lock(state_->mutex);
    return !state_->free_list.empty() ||
           (!state_->exhausted && state_->blocks.size() * block_size_ < budget_);
}

page_handle page_pool::take() {
    std::lock_guard lock(state_->mutex);
    shared_state& s = *state_;
    if (s.free_list.empty()) {
        if (s.exhausted || s.blocks.size() * block_size_ >= budget_) {
            return nullptr;
        }
        void* address = MAP_FAILED;
        if (!s.fail_next_growth) {
            address = ::mmap(nullptr, block_size_, PROT_READ | PROT_WRITE,
                             MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        }
        s.fail_next_growth = false;
        if (address == MAP_FAILED) {
            s.exhausted = true;
            return nullptr;
        }
        s.blocks.push_back({address, block_size_});
        auto* base = static_cast<std::uint8_t*>(address);
        const std::uint64_t pages = block_size_ / page_size_;
        // Pushed from the end so that pages are handed out in address order.
        for (std::uint64_t i = pages; i-- > 0;) {
            s.free_list.push_back(base + i * page_size_);
        }
    }
    std::uint8_t* buffer = s.free_list.back();
    s.free_list.pop_back();
    std::shared_ptr<shared_state> keep = state_;
    return page_handle(buffer, [keep](std::uint8_t* returned) {
        std::function<void()> listener;
        {
            std::lock_guard back_lock(keep->mutex);
            keep->free_list.push_back(returned);
            listener = keep->on_return;
        }
        if (listener) {
            listener();
        }
    });
}

std::size_t page_pool::blocks() const {
    std::lock_guard lock(state_->mutex);
    return state_->blocks.size();
}

std::size_t page_pool::free_pages() const {
    std::lock_guard lock(state_->mutex);
    return state_->free_list.size();
}

std::uint64_t page_pool::mapped_bytes() const {
    std::lock_guard lock(state_->mutex);
    return state_->blocks.size() * block_size_;
}

void page_pool::set_return_listener(std::function<void()> listener) {
    std::lock_guard lock(state_->mutex);
    state_->on_return = std::move(listener);
}

void page_pool::fail_next_growth_for_testing() {
    std::lock_guard lock(state_->mutex);
    state_->fail_next_growth = true;
}

}  // namespace peerfeed
