#include "cache/page_pool.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

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

// Lives as long as the pool or any page lent from it. Blocks are mapped one after the
// other into one reserved address range, so a page's offset in the memory file is its
// distance from the start of the range.
struct page_pool::shared_state {
    ~shared_state() {
        if (base != nullptr) {
            ::munmap(base, reserved_bytes);
        }
        if (memory_file >= 0) {
            ::close(memory_file);
        }
    }

    // Gives the bytes of a returned page back to the system, so that whatever the kernel
    // still sends from them stays as it was.
    void punch_out(std::uint8_t* page) const {
        if (memory_file >= 0) {
            ::fallocate(memory_file, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, page - base,
                        page_size);
        }
    }

    std::uint32_t page_size = 0;
    std::uint8_t* base = nullptr;  // set once at construction
    std::size_t reserved_bytes = 0;
    int memory_file = -1;  // set once at construction

    mutable std::mutex mutex;
    std::vector<std::uint8_t*> free_list;  // last freed first out
    std::size_t blocks = 0;
    std::function<void()> on_return;
    bool exhausted = false;
    bool fail_next_growth = false;
};

page_pool::page_pool(std::uint32_t page_size, std::uint64_t block_size, std::uint64_t budget,
                     bool use_memory_file)
    : page_size_(page_size),
      block_size_(block_size < page_size ? page_size : block_size),
      // Without one block nothing could ever be cached; the pool may exceed its budget by
      // up to one block anyway.
      budget_(budget == 0 ? 1 : budget),
      state_(std::make_shared<shared_state>()) {
    state_->page_size = page_size_;
    const std::uint64_t most_blocks = (budget_ + block_size_ - 1) / block_size_;
    state_->reserved_bytes = static_cast<std::size_t>(most_blocks * block_size_);
    void* range = ::mmap(nullptr, state_->reserved_bytes, PROT_NONE,
                         MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (range == MAP_FAILED) {
        state_->exhausted = true;  // nothing can be cached; the cache copes with that
        state_->reserved_bytes = 0;
        return;
    }
    state_->base = static_cast<std::uint8_t*>(range);
    if (use_memory_file) {
        state_->memory_file = ::memfd_create("peerfeed-pages", MFD_CLOEXEC);
    }
}

page_pool::~page_pool() = default;

bool page_pool::has_free_or_can_grow() const {
    std::lock_guard lock(state_->mutex);
    return !state_->free_list.empty() ||
           (!state_->exhausted && state_->blocks * block_size_ < budget_);
}

page_handle page_pool::take() {
    std::lock_guard lock(state_->mutex);
    shared_state& s = *state_;
    if (s.free_list.empty()) {
        if (s.exhausted || s.blocks * block_size_ >= budget_) {
            return nullptr;
        }
        std::uint8_t* at = s.base + s.blocks * block_size_;
        void* address = MAP_FAILED;
        if (!s.fail_next_growth) {
            address = map_block(at);
        }
        s.fail_next_growth = false;
        if (address == MAP_FAILED) {
            s.exhausted = true;
            return nullptr;
        }
        ++s.blocks;
        const std::uint64_t pages = block_size_ / page_size_;
        // Pushed from the end so that pages are handed out in address order.
        for (std::uint64_t i = pages; i-- > 0;) {
            s.free_list.push_back(at + i * page_size_);
        }
    }
    std::uint8_t* buffer = s.free_list.back();
    s.free_list.pop_back();
    std::shared_ptr<shared_state> keep = state_;
    return page_handle(buffer, [keep](std::uint8_t* returned) {
        keep->punch_out(returned);
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

// Called with the lock held.
void* page_pool::map_block(std::uint8_t* at) {
    shared_state& s = *state_;
    if (s.memory_file < 0) {
        return ::mmap(at, block_size_, PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
    }
    const auto offset = static_cast<off_t>(at - s.base);
    if (::ftruncate(s.memory_file, offset + static_cast<off_t>(block_size_)) != 0) {
        return MAP_FAILED;
    }
    return ::mmap(at, block_size_, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_FIXED, s.memory_file,
                  offset);
}

std::size_t page_pool::blocks() const {
    std::lock_guard lock(state_->mutex);
    return state_->blocks;
}

std::size_t page_pool::free_pages() const {
    std::lock_guard lock(state_->mutex);
    return state_->free_list.size();
}

std::uint64_t page_pool::mapped_bytes() const {
    std::lock_guard lock(state_->mutex);
    return state_->blocks * block_size_;
}

int page_pool::memory_file() const {
    return state_->memory_file;
}

std::uint64_t page_pool::file_offset(const std::uint8_t* inside_page) const {
    return static_cast<std::uint64_t>(inside_page - state_->base);
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
