#include <gtest/gtest.h>

#include "wharfkeep/report/publish_report.h"
#include "wharfkeep/report/publish_reporter.h"

namespace wharfkeep {
namespace {

std::uint32_t be32(const std::vector<std::uint8_t>& b, std::size_t at) {
    return (std::uint32_t(b[at]) << 24) | (std::uint32_t(b[at + 1]) << 16) |
           (std::uint32_t(b[at + 2]) << 8) | b[at + 3];
}

TEST(PublishReportMessage, FieldsInOrderBigEndian) {
    const auto message = BuildPublishReport("8A3F00112233445566", "/srv/v/a.mp4", "pvessa://x");
    ASSERT_TRUE(message);
    const auto& m = *message;
    ASSERT_EQ(m.size(), 12u + 19 + 18 + 12 + 10);
    EXPECT_EQ(be32(m, 0), 1u);
    EXPECT_EQ(be32(m, 4), 13u);
    EXPECT_EQ(be32(m, 8), 19u + 18 + 12 + 10);
    EXPECT_EQ((m[12] << 8) | m[13], 101);
    EXPECT_EQ(be32(m, 14), 18u);
    EXPECT_EQ(std::string(m.begin() + 18, m.begin() + 36), "8A3F00112233445566");
    EXPECT_EQ(be32(m, 36), 0u) << "the reserved text is empty";
    EXPECT_EQ(m[40], 1);
    EXPECT_EQ(be32(m, 41), 12u);
    EXPECT_EQ(std::string(m.begin() + 45, m.begin() + 57), "/srv/v/a.mp4");
    EXPECT_EQ(be32(m, 57), 10u);
    EXPECT_EQ(std::string(m.begin() + 61, m.end()), "pvessa://x");
}

TEST(PublishReportMessage, EmptyMasterIdStillCarriesItsLength) {
    const auto message = BuildPublishReport("", "/a", "l");
    ASSERT_TRUE(message);
    EXPECT_EQ(be32(*message, 14), 0u);
    EXPECT_EQ(be32(*message, 8), 19u + 2 + 1);
    const ReportDecoding decoded = DecodePublishReport(*message);
    ASSERT_EQ(decoded.status, ReportDecoding::Status::kComplete);
    EXPECT_EQ(decoded.report.master_id, "");
    EXPECT_EQ(decoded.report.local_path, "/a");
    EXPECT_EQ(decoded.report.link, "l");
}

TEST(PublishReportMessage, NeverExceedsItsBuffer) {
    const std::string link(kPublishReportCapacity - 31 - 2, 'k');
    auto fits = BuildPublishReport("", "/a", link);
    ASSERT_TRUE(fits);
    EXPECT_EQ(fits->size(), kPublishReportCapacity);
    EXPECT_FALSE(BuildPublishReport("", "/ab", link));
}

TEST(PublishReportMessage, LongPathIsCutAtACharacterBoundary) {
    // 254 ASCII bytes, then a three-byte character that would straddle byte 255.
    const std::string path = "/" + std::string(253, 'a') + "\xE8\xA7\x86" + std::string(3000, 'b');
    const auto message = BuildPublishReport("id", path, "link");
    ASSERT_TRUE(message) << "a long path never makes the report unbuildable";
    const ReportDecoding decoded = DecodePublishReport(*message);
    ASSERT_EQ(decoded.status, ReportDecoding::Status::kComplete);
    EXPECT_EQ(decoded.report.local_path, path.substr(0, 254));

    const std::string exact = "/" + std::string(251, 'a') + "\xE8\xA7\x86" + "tail";
    EXPECT_EQ(ReportPathField(exact), exact.substr(0, 255)) << "a character ending at 255 stays";
    EXPECT_EQ(ReportPathField("/short"), "/short");
}

TEST(PublishReportMessage, DecoderWaitsForTheWholeMessageAndRejectsMalformedOnes) {
    const auto message = *BuildPublishReport("id", "/p", "link");
    for (std::size_t cut = 0; cut < message.size(); ++cut) {
        EXPECT_EQ(DecodePublishReport(std::span(message).first(cut)).status,
                  ReportDecoding::Status::kIncomplete)
            << cut;
    }
    auto with_next = message;
    with_next.push_back(0xEE);
    const ReportDecoding decoded = DecodePublishReport(with_next);
    EXPECT_EQ(decoded.status, ReportDecoding::Status::kComplete);
    EXPECT_EQ(decoded.consumed, message.size());

    const struct {
        std::size_t at;
        std::uint8_t value;
        const char* what;
    } corruptions[] = {{3, 2, "wrong lead"},
                       {9, 0x7F, "rest length far above the buffer"},
                       {13, 100, "wrong command"},
                       {17, 200, "Master ID length past the message"}};
    for (const auto& corruption : corruptions) {
        auto corrupt = message;
        corrupt[corruption.at] = corruption.value;
        EXPECT_EQ(DecodePublishReport(corrupt).status, ReportDecoding::Status::kMalformed)
            << corruption.what;
    }
}

TEST(PublishReportReply, OnlyFifteenBytesCarryACode) {
    const auto reply = BuildReportReply(102);
    ASSERT_EQ(reply.size(), kReportReplyLength);
    EXPECT_EQ(ReplyCode(reply), 102);
    EXPECT_EQ(ReplyCode(BuildReportReply(103)), 103);
    EXPECT_FALSE(ReplyCode(std::span(reply).first(14)));
}

std::vector<std::uint8_t> record(std::uint32_t count, std::size_t bytes, std::uint8_t fill) {
    std::vector<std::uint8_t> out = {std::uint8_t(count), std::uint8_t(count >> 8),
                                     std::uint8_t(count >> 16), std::uint8_t(count >> 24)};
    out.insert(out.end(), bytes, fill);
    return out;
}

TEST(PendingReportLog, EveryRecordIsReadToTheEnd) {
    std::vector<std::uint8_t> log;
    for (std::uint8_t i = 1; i <= 3; ++i) {
        const auto r = record(10 + i, 10 + i, i);
        log.insert(log.end(), r.begin(), r.end());
    }
    const auto records = ParsePendingReportLog(log);
    ASSERT_EQ(records.size(), 3u) << "the last record counts too";
    EXPECT_EQ(records[2], std::vector<std::uint8_t>(13, 3));
}

TEST(PendingReportLog, ABadCountEndsTheReadingButKeepsWhatCameBefore) {
    auto log = record(5, 5, 1);
    auto past_end = record(100, 10, 2);
    log.insert(log.end(), past_end.begin(), past_end.end());
    auto records = ParsePendingReportLog(log);
    ASSERT_EQ(records.size(), 1u);

    log = record(5, 5, 1);
    auto oversize = record(5000, 5000, 2);
    log.insert(log.end(), oversize.begin(), oversize.end());
    auto after = record(3, 3, 3);
    log.insert(log.end(), after.begin(), after.end());
    records = ParsePendingReportLog(log);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0], std::vector<std::uint8_t>(5, 1));

    log = record(5, 5, 1);
    log.push_back(7);  // a count cut short
    EXPECT_EQ(ParsePendingReportLog(log).size(), 1u);
}

}  // namespace
}  // namespace wharfkeep
