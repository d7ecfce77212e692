#include "cache/block_cache.h"

namespace peerfeed {

std::unique_ptr<block_cache_interface> make_block_cache() {
    return std::make_unique<block_cache>();
}

}  // namespace peerfeed
