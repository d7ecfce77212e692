#include "cache/page_response.h"

#include <event2/buffer.h>

#include <array>

#include "peerfeed/codec/commands.h"
#include "peerfeed/codec/cursor.h"

namespace peerfeed {
namespace {

using pages_holder = std::shared_ptr<const read_bytes>;

void release_pages(const void*, std::size_t, void* holder) {
    std::unique_ptr<pages_holder> owned(static_cast<pages_holder*>(holder));
}

void release_segment_pages(const evbuffer_file_segment*, int, void* holder) {
    std::unique_ptr<pages_holder> owned(static_cast<pages_holder*>(holder));
}

// Queues a piece by its place in the pages' memory file: a socket's output sends it with
// sendfile, without copying it. The pages are let go once the output buffer has handed
// the bytes to the kernel, which keeps its own hold on them (see page_pool.h).
bool add_from_memory_file(evbuffer* out, const read_bytes::slice& s,
                          const std::shared_ptr<const read_bytes>& bytes) {
    evbuffer_file_segment* segment = evbuffer_file_segment_new(
        s.file, static_cast<ev_off_t>(s.file_offset), s.length, EVBUF_FS_DISABLE_LOCKING);
    if (segment == nullptr) {
        return false;
    }
    auto holder = std::make_unique<pages_holder>(bytes);
    evbuffer_file_segment_add_cleanup_cb(segment, &release_segment_pages, holder.release());
    const bool added = evbuffer_add_file_segment(out, segment, 0, s.length) == 0;
    evbuffer_file_segment_free(segment);  // the buffer holds its own reference
    return added;
}

bool add_by_reference(evbuffer* out, const read_bytes::slice& s,
                      const std::shared_ptr<const read_bytes>& bytes) {
    auto holder = std::make_unique<pages_holder>(bytes);
    if (evbuffer_add_reference(out, s.data, s.length, &release_pages, holder.get()) != 0) {
        return false;
    }
    holder.release();
    return true;
}

// result, offset and data length ahead of the data; six ext words and the ext byte after.
constexpr std::uint32_t fields_before_data = 1 + 8 + 4;
constexpr std::uint32_t fields_after_data = 6 * 4 + 1;

}  // namespace

std::uint32_t append_page_response(evbuffer* out, std::uint64_t offset,
                                   std::shared_ptr<const read_bytes> bytes) {
    const std::uint32_t data_length = bytes->size();
    std::array<std::uint8_t, noise_header_size + fields_before_data> head{};
    p2p_cmd_writer writer(head.data(), head.size());
    write_noise_header(writer, cmd_requestresp,
                       fields_before_data + data_length + fields_after_data);
    writer
        .write_uint8(0)  // result: success
        .write_uint64(offset)
        .write_uint32(data_length);

    static constexpr std::array<std::uint8_t, fields_after_data> tail{};
    if (evbuffer_add(out, head.data(), head.size()) != 0) {
        return 0;
    }
    for (const read_bytes::slice& s : bytes->slices()) {
        // Each piece holds the pages until libevent has sent (or dropped) its bytes.
        const bool added =
            s.file >= 0 ? add_from_memory_file(out, s, bytes) : add_by_reference(out, s, bytes);
        if (!added) {
            return 0;
        }
    }
    // By reference too: libevent sizes a new chunk after the last one, and a chunk for the
    // tail after 64 KiB of data would be a fresh 128 KiB allocation for 25 bytes.
    if (evbuffer_add_reference(out, tail.data(), tail.size(), nullptr, nullptr) != 0) {
        return 0;
    }
    return static_cast<std::uint32_t>(head.size()) + data_length + fields_after_data;
}

}  // namespace peerfeed
