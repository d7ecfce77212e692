#pragma once
// The publish report: the message a resource server sends to the publish-report endpoint
// after each publication (its Master ID, the local path of the file and the published
// link), and the endpoint's 15-byte reply. All integers are big-endian; a text is a u32
// byte count followed by the bytes.
//
//   u32 1 | u32 13 | u32 rest length | u16 101 | text Master ID | text "" | u8 1 |
//   text local path | text link
//
// The rest length counts everything after the first three words: 19 + the four texts.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace wharfkeep {

inline constexpr std::uint16_t kPublishReportCommand = 101;
inline constexpr std::uint16_t kReportAccepted = 102;
inline constexpr std::size_t kPublishReportCapacity = 4096;  // largest message formed
inline constexpr std::size_t kReportReplyLength = 15;
inline constexpr std::size_t kReportPathCapacity = 255;  // longest local path field

struct PublishReport {
    std::string master_id;
    std::string reserved;  // always sent empty
    std::uint8_t flag = 1;
    std::string local_path;
    std::string link;
};

// The local path field: the path cut to kReportPathCapacity bytes, at the start of a UTF-8
// character so that the text stays valid.
std::string_view ReportPathField(std::string_view local_path);

// The message for one publication, its path field cut by ReportPathField; nothing when it
// would still exceed kPublishReportCapacity.
std::optional<std::vector<std::uint8_t>> BuildPublishReport(std::string_view master_id,
                                                            std::string_view local_path,
                                                            std::string_view link);

// Incremental decoding of a report from the bytes received so far.
struct ReportDecoding {
    enum class Status { kComplete, kIncomplete, kMalformed };
    Status status = Status::kIncomplete;
    std::size_t consumed = 0;  // message length when complete
    PublishReport report;
};
ReportDecoding DecodePublishReport(std::span<const std::uint8_t> bytes);

// The reply carrying `code`: u32 1, u32 13, u32 3, u16 code, u8 0.
std::vector<std::uint8_t> BuildReportReply(std::uint16_t code);
// The code of a reply; nothing unless exactly kReportReplyLength bytes are given.
std::optional<std::uint16_t> ReplyCode(std::span<const std::uint8_t> reply);

}  // namespace wharfkeep
