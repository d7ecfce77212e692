// Feeds arbitrary bytes to wkpeer's receive path as a stream of server answers.
#include <cstddef>
#include <cstdint>

#include "peer_protocol.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::size_t at = 0;
    wkpeer::frame f;
    while (wkpeer::next_frame(data + at, size - at, f) == wkpeer::frame_status::complete) {
        if (f.code == peerfeed::cmd_requestresp) {
            wkpeer::request_response answer;
            if (wkpeer::decode_requestresp(f.command, f.total, answer).empty() &&
                answer.data_length > 0) {
                // The data must lie inside the command.
                volatile std::uint8_t last = answer.data[answer.data_length - 1];
                (void)last;
            }
        }
        at += f.total;
    }
    return 0;
}
