// The digest stage against the file-reading path it replaces: the same facts for every
// file of the corpus, the same refusal for a file whose layout cannot be parsed, and the
// bytes a publication reads and writes.

#include "digest_pipeline.h"

#include <gtest/gtest.h>

#include <fstream>

#include "engine_test_support.h"
#include "media_tools.h"
#include "wait_until.h"
#include "wharfkeep/engine/publish_engine.h"
#include "wharfkeep/engine/stream_description.h"
#include "wharfkeep/my_exception.h"

namespace wharfkeep {
namespace {

using namespace std::chrono_literals;
using namespace wharfkeep::test;
namespace fs = std::filesystem;

// The facts of a file as publishing computed them before the digest stage: or the text
// of the exception that refused the file.
struct Facts {
    std::optional<parsefile> media;
    std::string error;
};

Facts read_facts(const fs::path& path) {
    Facts facts;
    try {
        parsefileGCID identifier(path.string());
        facts.media = parsefile::parse(path.string(), identifier.compute());
    } catch (const CMyException& error) {
        facts.error = error.message();
    }
    return facts;
}

Facts streamed_facts(const fs::path& path, std::size_t chunk) {
    const Bytes bytes = read_bytes(path);
    DigestPipeline pipeline(path.string());
    pipeline.OnOutputStart(bytes.size());
    for (std::size_t at = 0; at < bytes.size(); at += chunk) {
        pipeline.OnOutputBytes(bytes.data() + at, std::min(chunk, bytes.size() - at));
    }
    Facts facts;
    facts.media = pipeline.Finish(&facts.error);
    return facts;
}

void expect_same_facts(const Facts& streamed, const Facts& read, const std::string& what) {
    ASSERT_EQ(streamed.media.has_value(), read.media.has_value())
        << what << ": " << streamed.error << " / " << read.error;
    if (!read.media) {
        EXPECT_EQ(streamed.error, read.error) << what;
        return;
    }
    const parsefile& a = *streamed.media;
    const parsefile& b = *read.media;
    EXPECT_EQ(a.gcid_text, b.gcid_text) << what;
    EXPECT_EQ(a.gcid, b.gcid) << what;
    EXPECT_EQ(a.file_size, b.file_size) << what;
    EXPECT_EQ(a.check_digest, b.check_digest) << what;
    EXPECT_EQ(a.combined_digest, b.combined_digest) << what;
    EXPECT_EQ(a.layout.extension, b.layout.extension) << what;
    EXPECT_EQ(a.layout.header_length, b.layout.header_length) << what;
    EXPECT_EQ(a.layout.tail_offset, b.layout.tail_offset) << what;
    EXPECT_EQ(a.layout.tail_length, b.layout.tail_length) << what;
    EXPECT_EQ(a.layout.bit_rate, b.layout.bit_rate) << what;
    EXPECT_EQ(a.layout.zqhd_length, b.layout.zqhd_length) << what;
    ASSERT_EQ(a.pieces.size(), b.pieces.size()) << what;
    // The sequence numbers are process-wide: both runs number their pieces consecutively
    // in the same order. With them aligned, the stream-description bytes must agree.
    const std::uint32_t shift =
        b.pieces.begin()->second.sequence - a.pieces.begin()->second.sequence;
    PieceDigestMap aligned;
    for (const auto& [range, digest] : a.pieces) {
        aligned.emplace(range, PieceDigest{digest.sequence + shift, digest.md5});
    }
    EXPECT_EQ(aligned, b.pieces) << what;
    EXPECT_EQ(BuildStreamDescription(a.check_digest, a.file_size, a.gcid, aligned),
              BuildStreamDescription(b.check_digest, b.file_size, b.gcid, b.pieces))
        << what;
}

// The top-level boxes of a file made of boxes with 32-bit sizes.
std::vector<Bytes> top_level_boxes(const Bytes& file) {
    std::vector<Bytes> boxes;
    for (std::size_t at = 0; at + 8 <= file.size();) {
        const std::size_t size = get_be32(file, at);
        boxes.emplace_back(file.begin() + std::ptrdiff_t(at),
                           file.begin() + std::ptrdiff_t(at + size));
        at += size;
    }
    return boxes;
}

Bytes join(const std::vector<Bytes>& parts) {
    Bytes out;
    for (const Bytes& part : parts) {
        out.insert(out.end(), part.begin(), part.end());
    }
    return out;
}

// Files whose layout the parser finds at different depths of its 40 MiB prefix, or not at
// all. Published files end in a 64-byte free box, which the layout counts on.
std::vector<std::pair<std::string, Bytes>> hand_made_corpus() {
    const Bytes trailer = padding_box("free", 64);
    const std::vector<Bytes> in_moov = top_level_boxes(header_in_moov_file(3000));
    const Bytes ftyp_box = in_moov[0], moov_box = in_moov[1], mdat_box = in_moov[2];
    const auto beyond_prefix = std::uint32_t(kMp4PrefixSize) + 4096;
    const Bytes big_media = top_level_boxes(header_in_moov_file(beyond_prefix))[2];
    return {
        {"top-level header", join({top_level_header_file(1000), trailer})},
        {"top-level header, several pieces",
         join({top_level_header_file(5 * 2097152 + 17), trailer})},
        {"header in moov", join({header_in_moov_file(300000), trailer})},
        {"free box before the movie",
         join({ftyp_box, padding_box("free", 300000), moov_box, mdat_box, trailer})},
        {"movie after small media data", join({ftyp_box, mdat_box, moov_box, trailer})},
        {"media data beyond the prefix", join({ftyp_box, moov_box, big_media, trailer})},
        {"no ftyp", join({moov_box, mdat_box, trailer})},
        // Refused, with the same text either way.
        {"empty", {}},
        {"no streaming header", join({plain_mp4_file(100), trailer})},
        {"movie after media data beyond the prefix",
         join({ftyp_box, big_media, moov_box, trailer})},
        {"no movie", join({ftyp_box, mdat_box, trailer})},
        {"no trailer", header_in_moov_file(300000)},
        {"not a container", Bytes(5000, 0x42)},
        {"truncated box header", Bytes{0, 0, 0, 24, 'f', 't', 'y', 'p', 0, 0}},
    };
}

TEST(DigestStage, EqualsTheFileReadingPathOnTheCorpus) {
    TempHome home;
    const fs::path path = home / "medium.mp4";
    int parsed = 0;
    for (const auto& [what, bytes] : hand_made_corpus()) {
        write_bytes(path, bytes);
        const Facts read = read_facts(path);
        parsed += read.media ? 1 : 0;
        for (const std::size_t chunk : {std::size_t{1} << 20, std::size_t{65537}, std::size_t{7}}) {
            // Small pieces only where they take no time.
            if ((chunk == 7 && bytes.size() > 1000000) ||
                (chunk < 1000000 && bytes.size() > kMp4PrefixSize)) {
                continue;
            }
            expect_same_facts(streamed_facts(path, chunk), read,
                              what + " by " + std::to_string(chunk));
        }
    }
}

TEST(DigestStage, ShortOrUnstartedFeedsGiveNoFacts) {
    TempHome home;
    std::string why;
    DigestPipeline unstarted("never.mp4");
    EXPECT_FALSE(unstarted.Finish(&why));
    EXPECT_FALSE(why.empty());

    const Bytes file = join({header_in_moov_file(300000), padding_box("free", 64)});
    DigestPipeline short_feed("short.mp4");
    short_feed.OnOutputStart(file.size() + 1);
    short_feed.OnOutputBytes(file.data(), file.size());
    EXPECT_FALSE(short_feed.Finish(&why));
    EXPECT_NE(why.find("ended after"), std::string::npos) << why;

    // A restart drops what came before.
    DigestPipeline restarted("again.mp4");
    restarted.OnOutputStart(file.size());
    restarted.OnOutputBytes(file.data(), 1000);
    restarted.OnOutputStart(file.size());
    restarted.OnOutputBytes(file.data(), file.size());
    EXPECT_TRUE(restarted.Finish(&why)) << why;
}

// Bytes this process has read and written, as the kernel counts them.
struct ProcessIo {
    std::uint64_t read = 0;
    std::uint64_t written = 0;
};
ProcessIo process_io() {
    std::ifstream in("/proc/self/io");
    ProcessIo io;
    std::string key;
    std::uint64_t value = 0;
    while (in >> key >> value) {
        if (key == "rchar:") {
            io.read = value;
        } else if (key == "wchar:") {
            io.written = value;
        }
    }
    return io;
}

// Through the real restructuring library: a moov-last file is read once and written once,
// and publishing it again (now streamable) reads it once.
TEST(OnePass, PublishingReadsAndWritesEachFileOnce) {
    if (!fs::exists(test_library("libMoovwright.so"))) {
        GTEST_SKIP() << "libMoovwright.so is not built";
    }
    TempHome home;
    const fs::path path = home / "clip.mp4";
    // Noise keeps the frames large, so that the file (some 3 MB) outweighs its tables.
    if (!run_command(
            "ffmpeg -nostdin -v error -y -f lavfi -i testsrc=size=320x240:rate=25 -f lavfi "
            "-i sine=frequency=440 -t 8 -vf noise=alls=10:allf=t -c:v libx264 -preset "
            "ultrafast -g 50 -c:a aac -shortest '" +
            path.string() + "'")) {
        GTEST_SKIP() << "ffmpeg cannot make test media";
    }
    PublishEngineOptions options;
    options.library_candidates = {test_library("libMoovwright.so")};
    options.publish_endpoint = ReportEndpoint{};
    options.startup_delay = 0ms;
    options.poll_interval = 1ms;
    MyPublishEngine engine(options);
    engine.SetLinkSettings("10.1.2.3", "", 8189, 8190, "0A1B2C3D4E5F607182");
    engine.SetReportFolder(home.path().string());
    ASSERT_TRUE(engine.CanRestructure()) << engine.RestructureUnavailableReason();
    ASSERT_TRUE(platform::testing::WaitUntil([&] { return engine.StartupFinished(); }, 10s, 1ms));

    const double source_size = double(fs::file_size(path));
    ProcessIo before = process_io();
    PublishFileResult result = engine.PublishFile(path.string());
    ASSERT_EQ(result.code, kPublished) << result.error;
    ProcessIo after = process_io();
    const double size = double(fs::file_size(path));
    EXPECT_LE(double(after.read - before.read), 1.1 * source_size) << "moov-last source";
    EXPECT_LE(double(after.written - before.written), 1.05 * size) << "moov-last source";
    const Facts published = read_facts(path);
    ASSERT_TRUE(published.media) << published.error;
    EXPECT_EQ(result.cid, published.media->gcid_text);
    const Bytes description =
        BuildStreamDescription(published.media->check_digest, published.media->file_size,
                               published.media->gcid, published.media->pieces);
    EXPECT_TRUE(read_bytes(result.sts_path) == description);

    before = process_io();
    const PublishFileResult again = engine.PublishFile(path.string());
    ASSERT_EQ(again.code, kPublished) << again.error;
    after = process_io();
    EXPECT_LE(double(after.read - before.read), 1.1 * size) << "streamable file";
    EXPECT_EQ(again.cid, result.cid);
    EXPECT_EQ(again.url, result.url);
    EXPECT_TRUE(read_bytes(again.sts_path) == description);
}

// Kibibytes of a field of /proc/self/status ("VmHWM:", "VmRSS:").
std::uint64_t status_kib(const std::string& field) {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.starts_with(field)) {
            return std::stoull(line.substr(field.size()));
        }
    }
    return 0;
}

TEST(OnePass, MemoryStaysFlatWhateverTheFileSize) {
    // Resets the peak resident size to the current one (Linux 4.0 and later).
    if (!std::ofstream("/proc/self/clear_refs").write("5", 1)) {
        GTEST_SKIP() << "the peak resident size cannot be reset here";
    }
    TempHome home;
    const fs::path path = home / "sparse.mp4";
    const std::vector<Bytes> boxes = top_level_boxes(header_in_moov_file(16));
    const std::uint64_t payload = std::uint64_t{256} << 20;
    Bytes media_header = padding_box("mdat", 8);
    media_header[0] = std::uint8_t((payload + 8) >> 24);
    media_header[1] = std::uint8_t((payload + 8) >> 16);
    media_header[2] = std::uint8_t((payload + 8) >> 8);
    media_header[3] = std::uint8_t(payload + 8);
    const Bytes head = join({boxes[0], boxes[1], media_header});
    write_bytes(path, head);
    fs::resize_file(path, head.size() + payload);  // a hole: no disk, no page cache to fill
    std::ofstream(path, std::ios::binary | std::ios::app)
        .write(reinterpret_cast<const char*>(padding_box("free", 64).data()), 64);

    PublishEngineOptions options;
    options.library_candidates = {test_library("libfake_moovwright.so")};
    options.publish_endpoint = ReportEndpoint{};
    options.startup_delay = 0ms;
    MyPublishEngine engine(options);
    engine.SetLinkSettings("10.1.2.3", "", 8189, 8190, "0A1B2C3D4E5F607182");
    engine.SetReportFolder(home.path().string());
    ASSERT_TRUE(platform::testing::WaitUntil([&] { return engine.StartupFinished(); }, 10s, 1ms));
    std::ofstream("/proc/self/clear_refs").write("5", 1);
    const std::uint64_t before = status_kib("VmRSS:");
    const PublishFileResult result = engine.PublishFile(path.string());
    ASSERT_EQ(result.code, kPublished) << result.error;
    const std::uint64_t peak = status_kib("VmHWM:");
    // Blocks and buffers of a few MiB; the file-reading path held a 40 MiB prefix.
    EXPECT_LE(peak - std::min(peak, before), std::uint64_t{24} << 10) << "KiB above the start";
}

}  // namespace
}  // namespace wharfkeep
