// Feeds arbitrary bytes to the request reader, in the pieces a connection might deliver
// them, and every query body it yields to the query decoder.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <span>

#include "movie_info.h"
#include "request_reader.h"

namespace {

void decode_query(std::span<const std::uint8_t> body) {
    try {
        catalogd::cmd_stream_query_movie_info query;
        query.Decode(body.data(), static_cast<std::uint32_t>(body.size()));
    } catch (const std::exception&) {
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::span<const std::uint8_t> input(data, size);
    // Grow the buffered prefix as bytes arrive; the verdict must settle once and stay
    // within what was buffered.
    for (std::size_t buffered = 1; buffered <= size; buffered += 1 + buffered / 8) {
        catalogd::RequestOutcome outcome = catalogd::read_request(input.first(buffered));
        if (outcome.kind == catalogd::RequestKind::incomplete) {
            continue;
        }
        if (outcome.kind == catalogd::RequestKind::drop ||
            outcome.kind == catalogd::RequestKind::bad_request) {
            break;
        }
        if (outcome.consumed > buffered ||
            outcome.body_offset + outcome.body_length != outcome.consumed ||
            buffered > catalogd::kMaxBufferedRequest) {
            std::abort();
        }
        if (outcome.kind == catalogd::RequestKind::query) {
            decode_query(input.subspan(outcome.body_offset, outcome.body_length));
        }
        break;
    }
    return 0;
}
