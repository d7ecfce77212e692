#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <thread>

#include "small_file_system.h"
#include "wait_until.h"
#include "wharfkeep/engine/publish_reasons.h"

#include "engine_test_support.h"
#include "media_tools.h"
#include "scripted_server.h"
#include "wharfkeep/engine/media_probe.h"
#include "wharfkeep/engine/publish_engine.h"
#include "wharfkeep/engine/stream_description.h"
#include "wharfkeep/gcid/gcid.h"
#include "wharfkeep/report/publish_report.h"

namespace wharfkeep {
namespace {

using namespace std::chrono_literals;
using namespace wharfkeep::test;

constexpr char kSid[] = "0A1B2C3D4E5F607182";

// Answers every publish report with `code` and keeps what it received.
struct ReportSink {
    explicit ReportSink(std::uint16_t code = kReportAccepted) : code_(code) {}
    std::vector<PublishReport> reports;
    ScriptedServer server{[this](int fd) {
        const auto bytes = read_message(fd, [](const std::vector<std::uint8_t>& b) {
            return DecodePublishReport(b).status != ReportDecoding::Status::kIncomplete;
        });
        const ReportDecoding decoded = DecodePublishReport(bytes);
        if (decoded.status == ReportDecoding::Status::kComplete) {
            reports.push_back(decoded.report);
            send_bytes(fd, BuildReportReply(code_));
        }
    }};

private:
    std::uint16_t code_;
};

PublishEngineOptions options_for(std::optional<std::uint16_t> report_port,
                                 std::vector<std::filesystem::path> libraries = {
                                     test_library("libfake_moovwright.so")}) {
    PublishEngineOptions options;
    options.library_candidates = std::move(libraries);
    options.publish_endpoint =
        report_port ? ReportEndpoint{"127.0.0.1", *report_port} : ReportEndpoint{};
    options.report_timeouts = {500ms, 500ms};
    options.startup_delay = 0ms;
    options.poll_interval = 5ms;
    return options;
}

// An engine with link settings, reporting nowhere unless given a port.
struct EngineFixture {
    explicit EngineFixture(
        std::optional<std::uint16_t> report_port = std::nullopt,
        std::vector<std::filesystem::path> libraries = {test_library("libfake_moovwright.so")})
        : engine(options_for(report_port, std::move(libraries))) {
        engine.SetLinkSettings("10.1.2.3", "", 8189, 8190, kSid);
        engine.SetReportMasterId(kSid);
        engine.SetReportFolder(home.path().string());
    }
    TempHome home;
    MyPublishEngine engine;
};

std::string publish_error(MyPublishEngine& engine, const std::string& path, int code) {
    const PublishFileResult result = engine.PublishFile(path);
    EXPECT_EQ(result.code, code) << result.error;
    return result.error;
}

TEST(PublishFile, RejectionsLeaveTheFileUntouched) {
    EngineFixture f;
    EXPECT_EQ(f.engine.PublishFile((f.home / "missing.mp4").string()).code, kPublishProbeFailed);

    const auto check_untouched = [&](const std::string& name, const Bytes& bytes, int code) {
        const auto path = f.home / name;
        write_bytes(path, bytes);
        ::chmod(path.c_str(), 0444);  // a write attempt would fail the test
        EXPECT_EQ(f.engine.PublishFile(path.string()).code, code) << name;
        EXPECT_EQ(read_bytes(path), bytes) << name;
        EXPECT_FALSE(std::filesystem::exists(path.string() + ".sts")) << name;
    };
    Bytes matroska = {0x1A, 0x45, 0xDF, 0xA3, 0x84, 0x42, 0x82, 0x81, 0x6D};
    check_untouched("clip.mkv", matroska, kPublishNotStreamable);
    Bytes realmedia = {'.', 'R', 'M', 'F', 0, 0, 0, 18, 0, 0, 0, 0, 0, 0, 0, 0, 0, 4};
    check_untouched("clip.rmvb", realmedia, kPublishNotStreamable);
    check_untouched("rejected.mp4", top_level_header_file(1000, 1), kPublishHeaderRejected);
    check_untouched("rejected2.mp4", header_in_moov_file(1000, 7), kPublishHeaderRejected);
}

TEST(PublishFile, TopLevelHeaderGetsItsFreeBoxOnce) {
    EngineFixture f;
    const auto path = f.home / "top.mp4";
    const Bytes original = top_level_header_file(50'000);
    write_bytes(path, original);
    const PublishFileResult first = f.engine.PublishFile(path.string());
    ASSERT_EQ(first.code, kPublished) << first.error;
    const Bytes once = read_bytes(path);
    ASSERT_EQ(once.size(), original.size() + 64);
    EXPECT_TRUE(std::equal(original.begin(), original.end(), once.begin()));
    EXPECT_EQ(get_be32(once, original.size()), 64u);
    EXPECT_EQ(std::string(once.begin() + original.size() + 4, once.begin() + original.size() + 8),
              "free");
    EXPECT_EQ(Bytes(once.begin() + original.size() + 8, once.end()), Bytes(56, 0));

    const PublishFileResult second = f.engine.PublishFile(path.string());
    ASSERT_EQ(second.code, kPublished) << second.error;
    EXPECT_EQ(read_bytes(path), once) << "published again: nothing appended";
    EXPECT_EQ(second.url, first.url);
    EXPECT_EQ(second.cid, first.cid);
}

TEST(PublishFile, OpenEndedMediaDataGetsItsSizeBeforeTheFreeBox) {
    EngineFixture f;
    const auto path = f.home / "open.mp4";
    Bytes original = header_in_moov_file(20'000);
    const std::size_t media_at = original.size() - 20'008;
    std::fill_n(original.begin() + media_at, 4, 0);
    write_bytes(path, original);
    ASSERT_EQ(f.engine.PublishFile(path.string()).code, kPublished);
    const Bytes published = read_bytes(path);
    ASSERT_EQ(published.size(), original.size() + 64);
    EXPECT_EQ(get_be32(published, media_at), 20'008u) << "explicit size, free box outside it";
    ASSERT_EQ(f.engine.PublishFile(path.string()).code, kPublished);
    EXPECT_EQ(read_bytes(path).size(), published.size());
}

TEST(PublishFile, OpenEndedMediaDataBeyondFourGibibytesIsRefused) {
    EngineFixture f;
    const auto path = f.home / "huge.mp4";
    Bytes head = concat({ftyp(), box("moov", {mvhd(1000, 0), zqhd(0, 10)})});
    put_be32(head, 0);
    put_text(head, "mdat");
    write_bytes(path, head);
    ASSERT_EQ(::truncate(path.c_str(), off_t(5ull << 30)), 0);
    EXPECT_EQ(f.engine.PublishFile(path.string()).code, kPublishNotStreamable);
    EXPECT_EQ(std::filesystem::file_size(path), 5ull << 30);
}

TEST(PublishFile, StreamDescriptionFieldByField) {
    EngineFixture f;
    const auto path = f.home / "top.mp4";
    write_bytes(path, top_level_header_file(50'000));
    const PublishFileResult result = f.engine.PublishFile(path.string());
    ASSERT_EQ(result.code, kPublished) << result.error;
    const Bytes file = read_bytes(path);
    // Small files are identified and checked by the SHA-1 of all their bytes.
    EXPECT_EQ(result.cid, sha1_hex(file));
    EXPECT_EQ(result.sts_path, path.string() + ".sts");

    const Bytes sts = read_bytes(result.sts_path);
    auto le32 = [&](std::size_t at) {
        return std::uint32_t(sts[at]) | (std::uint32_t(sts[at + 1]) << 8) |
               (std::uint32_t(sts[at + 2]) << 16) | (std::uint32_t(sts[at + 3]) << 24);
    };
    EXPECT_EQ(le32(0), 0u);
    EXPECT_EQ(le32(4), 0u);
    EXPECT_EQ(le32(8), 20u);
    EXPECT_EQ(Bytes(sts.begin() + 12, sts.begin() + 32), sha1(file)) << "check digest";
    EXPECT_EQ(le32(32) | (std::uint64_t(le32(36)) << 32), file.size());
    EXPECT_EQ(le32(40), 20u);
    EXPECT_EQ(hex(Bytes(sts.begin() + 44, sts.begin() + 64)), result.cid);

    // Header up to the rounded end of the 28-byte header box (8234), one body piece up to
    // the tail offset (seek header 78 + media 50000), the tail.
    const std::vector<std::pair<std::size_t, std::size_t>> pieces = {
        {0, 8234}, {8234, 50'078 - 8234}, {50'078, file.size() - 50'078}};
    ASSERT_EQ(le32(64), pieces.size());
    ASSERT_EQ(sts.size(), 68 + pieces.size() * 24);
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        const std::size_t at = 68 + i * 24;
        const Bytes piece(file.begin() + pieces[i].first,
                          file.begin() + pieces[i].first + pieces[i].second);
        EXPECT_EQ(le32(at), 16u);
        EXPECT_EQ(Bytes(sts.begin() + at + 4, sts.begin() + at + 20), md5(piece)) << i;
        EXPECT_EQ(le32(at + 20), pieces[i].second) << i;
    }
}

std::string upper_hex(std::uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "%llX", static_cast<unsigned long long>(value));
    return text;
}

TEST(PublishFile, LinkFieldsDescribeTheFile) {
    EngineFixture f;
    const auto path = f.home / "my clip.mp4";
    write_bytes(path, top_level_header_file(50'000));
    const PublishFileResult result = f.engine.PublishFile(path.string());
    ASSERT_EQ(result.code, kPublished) << result.error;
    const Bytes file = read_bytes(path);
    const auto fields = link_fields(result.url);

    EXPECT_EQ(fields.at("host"), "10.1.2.3:8189");
    EXPECT_EQ(fields.at("wp"), "225");
    EXPECT_EQ(fields.at("wd"), result.cid);
    EXPECT_EQ(fields.at("vd"), sha1_hex(file));
    EXPECT_EQ(fields.at("fz"), upper_hex(file.size()));
    EXPECT_EQ(fields.at("lh"), "202A");
    EXPECT_EQ(fields.at("pi"), upper_hex(file.size() - 50'078));
    EXPECT_EQ(fields.at("pr"), upper_hex(file.size() / 10 * 8));
    EXPECT_EQ(fields.at("pps"), "0");
    EXPECT_EQ(fields.at("ppc"), "0");
    EXPECT_EQ(fields.at("ptp"), upper_hex(50'078));
    EXPECT_EQ(fields.at("zqhd"), "1C");
    EXPECT_EQ(fields.at("sts"), "10.1.2.3:8190");
    Bytes combined = sha1(file);  // GCID bytes (the whole-file SHA-1 of a small file)
    const Bytes check = sha1(file);
    combined.insert(combined.end(), check.begin(), check.end());
    for (int i = 0; i < 8; ++i) {
        combined.push_back(std::uint8_t(std::uint64_t(file.size()) >> (8 * i)));
    }
    EXPECT_EQ(fields.at("pmz"), hex(md5(combined)));
    EXPECT_EQ(fields.at("ped"), "pxv");
    EXPECT_EQ(fields.at("sid"), kSid);
    EXPECT_EQ(fields.at("name"), "my clip.mp4");
    EXPECT_EQ(fields.at("key"), ComputeLinkKey(fields.at("substituted"), kSid));
}

TEST(PublishFile, TwoSidsDifferOnlyInSidAndKey) {
    EngineFixture f;
    const auto path = f.home / "a.mp4";
    write_bytes(path, header_in_moov_file(30'000));
    const std::string first = f.engine.PublishFile(path.string()).url;
    f.engine.SetLinkSettings("10.1.2.3", "", 8189, 8190, "FFEEDDCCBBAA998877");
    const std::string second = f.engine.PublishFile(path.string()).url;
    auto a = link_fields(first), b = link_fields(second);
    EXPECT_NE(a.at("sid"), b.at("sid"));
    EXPECT_NE(a.at("key"), b.at("key"));
    a.erase("sid"), a.erase("key"), b.erase("sid"), b.erase("key");
    EXPECT_EQ(a, b);
}

TEST(RelinkUrl, EqualsAFreshPublicationWithTheNewSettings) {
    EngineFixture f;
    const auto path = f.home / "a.mp4";
    write_bytes(path, header_in_moov_file(30'000));
    const std::string old_link = f.engine.PublishFile(path.string()).url;
    f.engine.SetLinkSettings("", "video.example.org", 9189, 9190, "112233445566778899");
    const std::string relinked = f.engine.RelinkUrl(old_link);
    EXPECT_EQ(relinked, f.engine.PublishFile(path.string()).url);
    EXPECT_NE(relinked, old_link);
    EXPECT_EQ(f.engine.RelinkUrl("not a link"), "not a link");
}

TEST(PublishFile, EmptySidIsRefusedBeforeTouchingTheFile) {
    EngineFixture f;
    f.engine.SetLinkSettings("10.1.2.3", "", 8189, 8190, "");
    const auto path = f.home / "a.mp4";
    const Bytes original = top_level_header_file(1000);
    write_bytes(path, original);
    const std::string error = publish_error(f.engine, path.string(), kPublishFailed);
    EXPECT_NE(error.find("Master ID"), std::string::npos);
    EXPECT_EQ(read_bytes(path), original);
}

TEST(PublishFile, FormatFailuresAreReturnedWithTheirText) {
    EngineFixture f;
    const auto path = f.home / "zero.mp4";
    write_bytes(path, concat({zqhd(0, 0), padding_box("zqdt", 1008)}));  // no playing time
    EXPECT_EQ(publish_error(f.engine, path.string(), kPublishFailed), "BuildH264SeekHeader fail!");
}

TEST(Restructuring, MissingLibraryFailsPlainFilesClearly) {
    EngineFixture f(std::nullopt, {"/nonexistent/libMoovwright.so"});
    EXPECT_FALSE(f.engine.CanRestructure());
    const auto path = f.home / "plain.mp4";
    const Bytes original = plain_mp4_file(1000);
    write_bytes(path, original);
    const std::string error = publish_error(f.engine, path.string(), kPublishFailed);
    EXPECT_NE(error.find("libMoovwright.so"), std::string::npos) << error;
    EXPECT_EQ(read_bytes(path), original);
    // Files already in the streaming layout do not need the library.
    write_bytes(path, top_level_header_file(1000));
    EXPECT_EQ(f.engine.PublishFile(path.string()).code, kPublished);
    EXPECT_EQ(f.engine.UnpublishFile("", ""), 0);
}

TEST(Restructuring, MissingEntryPointIsNamed) {
    EngineFixture f(std::nullopt, {test_library("libincomplete_moovwright.so")});
    EXPECT_FALSE(f.engine.CanRestructure());
    EXPECT_NE(f.engine.RestructureUnavailableReason().find("ReleaseStreamCtrl"), std::string::npos);
}

TEST(Restructuring, LibraryErrorsComeBackAsTheirCodes) {
    EngineFixture f;
    ASSERT_TRUE(f.engine.CanRestructure()) << f.engine.RestructureUnavailableReason();
    const auto path = f.home / "plain.mp4";
    write_bytes(path, plain_mp4_file(1000));
    ::setenv("WK_FAKE_MOOVWRIGHT", "error:7", 1);
    EXPECT_EQ(publish_error(f.engine, path.string(), 7),
              "variable frame rate: only constant-rate tracks can be restructured");
    ::setenv("WK_FAKE_MOOVWRIGHT", "refuse-start", 1);
    EXPECT_EQ(f.engine.PublishFile(path.string()).code, kPublishFailed);
    // The job "succeeds" without restructuring: the file has no streaming header.
    ::setenv("WK_FAKE_MOOVWRIGHT", "done", 1);
    EXPECT_EQ(publish_error(f.engine, path.string(), kPublishFailed),
              "BuildH264SeekHeader zqhdLength=0!");
    ::unsetenv("WK_FAKE_MOOVWRIGHT");
}

// Every outcome other than a publication carries a short reason; the codes stay.
TEST(Reasons, EveryRefusalSaysWhy) {
    EngineFixture f;
    const auto empty = f.home / "empty.mp4";
    write_bytes(empty, {});
    EXPECT_EQ(publish_error(f.engine, empty.string(), kPublishNotStreamable),
              "empty file (0 bytes)");

    const auto truncated = f.home / "truncated.mp4";
    Bytes bytes = plain_mp4_file(5000);
    bytes.resize(bytes.size() - 100);
    write_bytes(truncated, bytes);
    EXPECT_EQ(publish_error(f.engine, truncated.string(), kPublishNotStreamable),
              "truncated: sample data past the end of the file");

    const auto text = f.home / "notes.mp4";
    write_bytes(text, Bytes(100, 'x'));
    EXPECT_EQ(publish_error(f.engine, text.string(), kPublishNotStreamable),
              "not an MP4 file (it does not start with an ftyp box)");

    // A FIFO is never opened in a way that blocks.
    const auto fifo = f.home / "y.mp4";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
    EXPECT_EQ(publish_error(f.engine, fifo.string(), kPublishProbeFailed), "not a regular file");

    EXPECT_EQ(publish_error(f.engine, (f.home / "gone.mp4").string(), kPublishProbeFailed),
              "cannot open: No such file or directory");

    const auto rejected = f.home / "rejected.mp4";
    write_bytes(rejected, top_level_header_file(1000, 3));
    EXPECT_NE(
        publish_error(f.engine, rejected.string(), kPublishHeaderRejected).find("header word 3"),
        std::string::npos);

    const auto plain = f.home / "plain.mp4";
    write_bytes(plain, plain_mp4_file(1000));
    for (const auto& [code, reason] : std::vector<std::pair<int, std::string>>{
             {23, "not H.264 video (avc1)"},
             {24, "audio is not AAC (mp4a)"},
             {12, "truncated: sample data past the end of the file"},
             {27, "the tracks' durations differ by more than 10%"}}) {
        ::setenv("WK_FAKE_MOOVWRIGHT", ("error:" + std::to_string(code)).c_str(), 1);
        EXPECT_EQ(publish_error(f.engine, plain.string(), code), reason);
    }
    ::unsetenv("WK_FAKE_MOOVWRIGHT");
}

TEST(Reasons, UnreadableFile) {
    if (::geteuid() == 0) {
        GTEST_SKIP() << "root reads every file; run as another user to test this";
    }
    EngineFixture f;
    const auto path = f.home / "secret.mp4";
    write_bytes(path, plain_mp4_file(1000));
    ::chmod(path.c_str(), 0);
    EXPECT_EQ(publish_error(f.engine, path.string(), kPublishProbeFailed),
              "cannot open: Permission denied");
}

// A generic restructuring failure (1) is explained by what can be seen afterwards.
TEST(Reasons, AFailedRewriteIsDiagnosed) {
    TempHome home;
    const auto path = home / "clip.mp4";
    write_bytes(path, plain_mp4_file(1000));
    const auto before = platform::identify_file(path.string());
    ASSERT_TRUE(before);
    EXPECT_EQ(DiagnoseFailedRewrite(path.string(), before), std::nullopt);

    write_bytes(path, plain_mp4_file(1000));  // rewritten: same size, new times
    EXPECT_NE(DiagnoseFailedRewrite(path.string(), before).value_or("").find("changed"),
              std::string::npos);

    platform::testing::SmallFileSystem small(512);
    if (!small.available()) {
        GTEST_SKIP() << small.why();
    }
    const auto big = small.path() / "big.mp4";
    write_bytes(big, plain_mp4_file(400 * 1024));
    EXPECT_EQ(DiagnoseFailedRewrite(big.string(), platform::identify_file(big.string()))
                  .value_or("")
                  .rfind("disk full while writing the restructured copy", 0),
              0u);
}

// The names in a folder, sorted.
std::vector<std::string> folder_names(const std::filesystem::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

// A plain MP4 is restructured into a copy beside it: without room for that copy it is
// refused, naming both figures, before anything is written. A file already in the
// streaming layout needs no copy and publishes where a plain one of its size would not.
TEST(Restructuring, ACopyWithoutRoomIsRefusedBeforeStarting) {
    platform::testing::SmallFileSystem small(4096);
    if (!small.available()) {
        GTEST_SKIP() << small.why();
    }
    EngineFixture f;
    write_bytes(small.path() / "filler", Bytes(std::size_t{2} << 20, 7));
    const auto plain = small.path() / "plain.mp4";
    const Bytes original = plain_mp4_file(1 << 20);
    write_bytes(plain, original);

    const PublishFileResult refused = f.engine.PublishFile(plain.string());
    EXPECT_EQ(refused.code, kPublishFailed);
    EXPECT_EQ(refused.error.rfind("not enough free space: 2.0 MiB needed, ", 0), 0u)
        << refused.error;
    EXPECT_TRUE(refused.error.ends_with(" MiB free in " + small.path().string())) << refused.error;
    EXPECT_TRUE(refused.cid.empty() && refused.sts_path.empty() && refused.url.empty());
    EXPECT_EQ(read_bytes(plain), original);
    EXPECT_EQ(folder_names(small.path()), (std::vector<std::string>{"filler", "plain.mp4"}))
        << "nothing is written for a refused file";

    const auto streamable = small.path() / "streamable.mp4";
    write_bytes(streamable, top_level_header_file(std::uint32_t{1} << 19));
    const PublishFileResult appended = f.engine.PublishFile(streamable.string());
    EXPECT_EQ(appended.code, kPublished) << appended.error;
}

TEST(Restructuring, AnEarlyCancelIsNotLost) {
    EngineFixture f;
    const auto path = f.home / "plain.mp4";
    write_bytes(path, plain_mp4_file(1000));
    ::setenv("WK_FAKE_MOOVWRIGHT", "wait-cancel", 1);
    // Cancelled as soon as the publication starts, before the job has begun (the job
    // forgets a cancel that came before it began).
    std::thread canceller([&] {
        EXPECT_TRUE(
            platform::testing::WaitUntil([&] { return f.engine.IsPublishing(); }, 10s, 1ms));
        f.engine.UnpublishFile("", "");
    });
    EXPECT_EQ(f.engine.PublishFile(path.string()).code, kPublishCancelled);
    canceller.join();
    ::unsetenv("WK_FAKE_MOOVWRIGHT");
}

TEST(UnpublishFile, DeletesTheDescriptionEvenForUnknownCids) {
    EngineFixture f;
    const auto sts = f.home / "a.mp4.sts";
    write_bytes(sts, {1, 2, 3});
    EXPECT_EQ(f.engine.UnpublishFile(std::string(40, 'A'), sts.string()), 0);
    EXPECT_FALSE(std::filesystem::exists(sts));
}

TEST(PublishReports, DeliveredReportsLeaveNoLog) {
    ReportSink sink;
    EngineFixture f(sink.server.port());
    const auto path = f.home / "a.mp4";
    write_bytes(path, top_level_header_file(1000));
    const PublishFileResult result = f.engine.PublishFile(path.string());
    ASSERT_EQ(result.code, kPublished);
    ASSERT_EQ(sink.reports.size(), 1u);
    EXPECT_EQ(sink.reports[0].master_id, kSid);
    EXPECT_EQ(sink.reports[0].local_path, path.string());
    EXPECT_EQ(sink.reports[0].link, result.url);
    EXPECT_FALSE(std::filesystem::exists(f.home / kPendingReportLogName));
}

// A path of about 4,000 bytes publishes; its report carries the first 255 bytes.
TEST(PublishReports, ALongPathIsCutInTheReportAndNeverFailsThePublication) {
    ReportSink sink;
    EngineFixture f(sink.server.port());
    std::filesystem::path folder = f.home.path();
    while (folder.string().size() < 3900) {
        folder /= std::string(200, 'd');
    }
    std::filesystem::create_directories(folder);
    const auto path = folder / "a.mp4";
    write_bytes(path, top_level_header_file(1000));
    const PublishFileResult result = f.engine.PublishFile(path.string());
    ASSERT_EQ(result.code, kPublished) << result.error;
    EXPECT_FALSE(result.url.empty());
    ASSERT_EQ(sink.reports.size(), 1u);
    EXPECT_EQ(sink.reports[0].local_path, path.string().substr(0, 255));
}

TEST(PublishReports, RefusedReportsAreLoggedAndResentAtTheNextStart) {
    TempHome home;
    {
        ReportSink refusing(103);
        MyPublishEngine engine(options_for(refusing.server.port()));
        engine.SetLinkSettings("10.1.2.3", "", 8189, 8190, kSid);
        engine.SetReportFolder(home.path().string());
        for (const char* name : {"1.mp4", "2.mp4", "3.mp4"}) {
            write_bytes(home / name, top_level_header_file(1000));
            ASSERT_EQ(engine.PublishFile((home / name).string()).code, kPublished);
        }
        EXPECT_EQ(refusing.reports.size(), 3u);
        PublishReporter reader({}, home.path());
        EXPECT_EQ(reader.LoadPendingReports().size(), 3u);
    }
    ReportSink accepting;
    // The default report folder is the application-data folder.
    MyPublishEngine next_start(options_for(accepting.server.port()));
    for (int i = 0; i < 200 && !next_start.StartupFinished(); ++i) {
        std::this_thread::sleep_for(10ms);
    }
    ASSERT_TRUE(next_start.StartupFinished());
    ASSERT_EQ(accepting.reports.size(), 3u);
    EXPECT_EQ(accepting.reports[2].local_path, (home / "3.mp4").string());
    EXPECT_FALSE(std::filesystem::exists(home / kPendingReportLogName));
}

// Through the real restructuring library, when it has been built.
class RealLibrary : public ::testing::Test {
protected:
    void SetUp() override {
        if (!std::filesystem::exists(test_library("libMoovwright.so"))) {
            GTEST_SKIP() << "libMoovwright.so is not built in " << test_library("").string()
                         << "; the restructuring path is not tested";
        }
    }
};

TEST_F(RealLibrary, PlainMp4IsRestructuredInPlaceAndPlaysTheSame) {
    TempHome home;
    PublishEngineOptions options = options_for(std::nullopt, {});
    MyPublishEngine engine(options);
    engine.SetLinkSettings("10.1.2.3", "", 8189, 8190, kSid);
    ASSERT_TRUE(engine.CanRestructure()) << engine.RestructureUnavailableReason();
    for (const std::string layout : {"", "-movflags +faststart"}) {
        const auto path = home / "clip.mp4";
        ASSERT_TRUE(make_media(path, layout));
        const std::string frames = frame_checksums(path);
        const PublishFileResult result = engine.PublishFile(path.string());
        ASSERT_EQ(result.code, kPublished) << result.error;
        EXPECT_EQ(frame_checksums(path), frames) << layout;
        const auto probe = MediaProbe(path);
        ASSERT_TRUE(probe);
        EXPECT_EQ(probe->kind, kMediaHeaderInMoov);
        EXPECT_EQ(probe->data_box_flag, 1);
        const Bytes restructured = read_bytes(path);
        const PublishFileResult again = engine.PublishFile(path.string());
        ASSERT_EQ(again.code, kPublished) << again.error;
        EXPECT_EQ(read_bytes(path), restructured) << "nothing appended, nothing rewritten";
        EXPECT_EQ(again.url, result.url);
        EXPECT_TRUE(std::filesystem::exists(result.sts_path));
        std::filesystem::remove(result.sts_path);
    }
}

// Refused while the folder's file system lacks room for the copy; once room is made the
// same file is restructured, and nothing but the file and its description is left.
TEST_F(RealLibrary, APlainFilePublishesOnceThereIsRoomForItsCopy) {
    platform::testing::SmallFileSystem small(2048);
    if (!small.available()) {
        GTEST_SKIP() << small.why();
    }
    TempHome home;
    const auto made = home / "clip.mp4";
    ASSERT_TRUE(make_media(made, ""));
    const auto path = small.path() / "clip.mp4";
    std::filesystem::copy_file(made, path);
    const auto filler = small.path() / "filler";
    write_bytes(filler, Bytes(std::size_t{1} << 20, 7));
    MyPublishEngine engine(options_for(std::nullopt, {}));
    engine.SetLinkSettings("10.1.2.3", "", 8189, 8190, kSid);
    ASSERT_TRUE(engine.CanRestructure()) << engine.RestructureUnavailableReason();

    const PublishFileResult refused = engine.PublishFile(path.string());
    EXPECT_EQ(refused.code, kPublishFailed);
    EXPECT_EQ(refused.error.rfind("not enough free space: ", 0), 0u) << refused.error;
    EXPECT_EQ(folder_names(small.path()), (std::vector<std::string>{"clip.mp4", "filler"}));

    std::filesystem::remove(filler);
    const PublishFileResult published = engine.PublishFile(path.string());
    ASSERT_EQ(published.code, kPublished) << published.error;
    EXPECT_EQ(
        folder_names(small.path()),
        (std::vector<std::string>{"clip.mp4", "clip.mp4" + std::string(kStreamDescriptionSuffix)}));
}

}  // namespace
}  // namespace wharfkeep
