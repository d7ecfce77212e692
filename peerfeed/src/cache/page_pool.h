#pragma once
// The page pool: page buffers cut from large mappings, page-aligned as O_DIRECT needs.
// Memory is mapped block by block while the budget allows and is only unmapped when the
// pool and every page it lent are gone.
//
// Where the system has memfd, the pages live in one anonymous memory file, so a socket
// can be handed a page by file offset (sendfile) and the kernel sends it without copying
// it. The kernel then holds the physical page until the bytes have left (or, for a peer
// on this host, until that peer has read them). Such a page must never be overwritten in
// place: when a page comes back to the pool its range of the file is punched out, so the
// kernel keeps the old bytes for as long as it needs them and the next read of the slot
// fills fresh memory. Without memfd the pages are plain anonymous memory.
//
// A page is lent as a shared handle. The cache holds one reference while the page is
// cached; a completed read may hold more while its bytes wait in a connection's output
// buffer. The buffer returns to the free list when the last reference goes, on whatever
// thread that is, so a page can be neither leaked nor reused while bytes are still sent
// from it.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace peerfeed {

using page_handle = std::shared_ptr<std::uint8_t>;

// Physical memory the cache may use: what is available beyond `reserved`, kept within
// [minimum, maximum].
std::uint64_t page_pool_budget(std::uint64_t available, std::uint64_t reserved,
                               std::uint64_t minimum, std::uint64_t maximum);

class page_pool {
public:
    // `block_size` is a multiple of `page_size`; `page_size` a multiple of the system page.
    page_pool(std::uint32_t page_size, std::uint64_t block_size, std::uint64_t budget,
              bool use_memory_file = false);
    ~page_pool();
    page_pool(const page_pool&) = delete;
    page_pool& operator=(const page_pool&) = delete;

    // A free page, mapping another block when none is free and the budget allows; null
    // when the pool can give nothing now.
    page_handle take();
    // True when take() would succeed without freeing anything.
    bool has_free_or_can_grow() const;

    std::uint32_t page_size() const { return page_size_; }
    std::uint64_t budget() const { return budget_; }
    std::size_t blocks() const;
    std::size_t free_pages() const;
    std::uint64_t mapped_bytes() const;

    // The memory file the pages live in, or -1 when they are anonymous memory. Stays open
    // while the pool or any page it lent lives.
    int memory_file() const;
    // Offset in the memory file of a byte inside a page lent by this pool.
    std::uint64_t file_offset(const std::uint8_t* inside_page) const;

    // Called, outside the pool's lock, each time a page comes back to the pool (on the
    // thread that let it go). Cleared with an empty function before its owner goes away.
    void set_return_listener(std::function<void()> listener);

    // Test hook: make the next block mapping fail as mmap would when memory runs out.
    void fail_next_growth_for_testing();

private:
    struct shared_state;
    void* map_block(std::uint8_t* at);

    std::uint32_t page_size_;
    std::uint64_t block_size_;
    std::uint64_t budget_;
    std::shared_ptr<shared_state> state_;
};

}  // namespace peerfeed
