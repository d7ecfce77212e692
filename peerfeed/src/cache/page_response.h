#pragma once
// Queues a REQUESTRESP whose data are cached pages, handed to the output buffer by
// reference or, for pages in a memory file, as file segments a socket sends with
// sendfile: the header and the trailing fields are written, the data bytes are not
// copied. The bytes on the wire are those the codec would encode for the same answer.

#include <cstdint>
#include <memory>

#include "block_cache_interface.h"

struct evbuffer;

namespace peerfeed {

// Appends the whole command to `out`; the pages stay alive until the output buffer lets
// go of them. Returns the bytes queued, 0 when libevent refused the data.
std::uint32_t append_page_response(evbuffer* out, std::uint64_t offset,
                                   std::shared_ptr<const read_bytes> bytes);

}  // namespace peerfeed
