#include "convert.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <new>
#include <system_error>
#include <thread>

#include "core/file_ctrl.h"
#include "core/header_atoms.h"
#include "layout_reader.h"

namespace moovwright {

namespace {

constexpr uint32_t kMaxTracks = 2;
// Sources from this size on are written with direct writes (see write_pass).
constexpr uint64_t kDirectWriteLeastSize = uint64_t{256} << 20;

bool is_aac(uint8_t objectType) {
    return objectType == 0x40 || objectType == 0x66 || objectType == 0x67 || objectType == 0x68;
}

bool single_description(const CZHDTrack& track) {
    const CZHDStscAtom* stsc = track.atoms().stsc;
    if (stsc == nullptr || stsc->entries.empty())
        return true;
    const uint32_t first = stsc->entries[0].sampleDescriptionIndex;
    return std::all_of(stsc->entries.begin(), stsc->entries.end(),
                       [&](const StscEntry& e) { return e.sampleDescriptionIndex == first; });
}

bool constant_frame_rate(const CZHDTrack& track) {
    const CZHDSttsAtom* stts = track.atoms().stts;
    if (stts == nullptr || stts->entries.size() <= 1)
        return true;
    const uint64_t first = stts->entries[0].count;
    const uint64_t count = track.sampleCount();
    return first == count || first + 1 == count;
}

bool is_aac_track(const CZHDTrack& track) {
    const CZHDAtom* stsd = track.atoms().stsd;
    const CZHDAtom* mp4a = stsd != nullptr ? stsd->Child("mp4a") : nullptr;
    const auto* esds = mp4a != nullptr ? As<CZHDEsdsAtom>(mp4a->Child("esds")) : nullptr;
    return esds != nullptr && esds->hasDecoderConfig && is_aac(esds->objectTypeIndication);
}

bool is_avc_track(const CZHDTrack& track) {
    const CZHDAtom* stsd = track.atoms().stsd;
    const CZHDAtom* avc1 = stsd != nullptr ? stsd->Child("avc1") : nullptr;
    return avc1 != nullptr && avc1->Child("avcC") != nullptr;
}

// Opens a file and its movie for one pass; both close when the pass ends.
struct OpenMovie {
    CZHDPosixFileCtrl file;
    CZHDMovie movie;

    uint32_t Open(const std::string& path, bool loadTracks) {
        MW_RETURN_IF_FAILED(file.Open(path.c_str(), false));
        MW_RETURN_IF_FAILED(movie.Open(&file));
        return loadTracks ? movie.LoadTracks() : MW_OK;
    }
};

uint32_t compare_samples(const CZHDTrack& source, const CZHDTrack& output) {
    SampleInfo a;
    SampleInfo b;
    for (uint32_t i = 0; i < source.sampleCount(); ++i) {
        MW_RETURN_IF_FAILED(source.GetSample(i, &a));
        MW_RETURN_IF_FAILED(output.GetSample(i, &b));
        if (a.size != b.size)
            return MW_SAMPLE_SIZE_MISMATCH;
        if (a.decodingTime != b.decodingTime)
            return MW_SAMPLE_DTS_MISMATCH;
        if (a.compositionTime != b.compositionTime)
            return MW_SAMPLE_CTS_MISMATCH;
        if (a.sync != b.sync)
            return MW_SAMPLE_KEY_MISMATCH;
    }
    return MW_OK;
}

bool read_back(uint32_t index, uint32_t count, ByteProof proof) {
    return proof == ByteProof::kEverySample || SpotChecked(index, count);
}

// The index's positions must be the chunk offsets players use, and the bytes there the
// bytes that were copied.
uint32_t prove_sample_bytes(const CZHDTrack& indexed, const CZHDTrack& tabled, IZHDFileCtrl& file,
                            const std::vector<uint64_t>& checksums, JobControl& control,
                            ByteProof proof, std::vector<uint8_t>& buffer) {
    if (tabled.sampleCount() != indexed.sampleCount() ||
        checksums.size() != indexed.sampleCount()) {
        return MW_SAMPLE_POS_MISMATCH;
    }
    SampleInfo a;
    SampleInfo b;
    for (uint32_t i = 0; i < indexed.sampleCount(); ++i) {
        MW_RETURN_IF_FAILED(indexed.GetSample(i, &a));
        MW_RETURN_IF_FAILED(tabled.GetSample(i, &b));
        if (a.position != b.position || a.size != b.size)
            return MW_SAMPLE_POS_MISMATCH;
        if ((i & 0xFF) == 0 && control.cancelled())
            return MW_CANCELLED;
        if (!read_back(i, indexed.sampleCount(), proof))
            continue;
        if (buffer.size() < a.size)
            buffer.resize(a.size);
        MW_RETURN_IF_FAILED(file.Seek(a.position));
        size_t got = 0;
        MW_RETURN_IF_FAILED(file.Read(buffer.data(), a.size, &got));
        if (got != a.size)
            return MW_SAMPLE_POS_MISMATCH;
        if (SampleChecksum(buffer.data(), a.size) != checksums[i])
            return MW_SAMPLE_POS_MISMATCH;
    }
    return MW_OK;
}

uint32_t check_pass(const std::string& sourcePath) {
    OpenMovie source;
    MW_RETURN_IF_FAILED(source.Open(sourcePath, true));
    return ValidateSource(source.movie);
}

uint32_t write_pass(OpenMovie& source, const std::string& tempPath, JobControl& control,
                    SampleChecksums& checksums) {
    const LayoutSource layout = LayoutSourceOf(source.movie, source.file);
    // The samples are read in large windows that slide front to back, and the new file is
    // written once, front to back, handed to the disk as it goes. A large file goes
    // straight to the disk where the file system allows it: the page cache's copy of every
    // byte then costs more than the verification's reads of a few of them from the disk,
    // which for a small file is the other way round.
    source.file.AdviseSequentialReads();
    CZHDPosixFileCtrl output;
    MW_RETURN_IF_FAILED(output.Open(tempPath.c_str(), true));
    output.EnableWriteBehind();
    uint64_t sourceSize = 0;
    if (source.file.GetSize(&sourceSize) == MW_OK && sourceSize >= kDirectWriteLeastSize)
        output.EnableDirectWrites();
    // Only the samples the verification reads back need a checksum.
    const uint32_t written = WriteStreamingLayout(
        layout, output, control, &checksums, control.layout_limits, ChecksumScope::kSpotChecks);
    // Close reports the last delayed write; a failure there is a failure of the pass.
    const uint32_t closed = output.Close();
    return written != MW_OK ? written : closed;
}

// Flushes a written file to the disk on a thread of its own while the caller goes on (the
// verification reads it meanwhile), so that the fsync before the replacement finds little
// left to do. Only a head start: that fsync is what makes the file durable, and it stays.
class BackgroundFlush {
public:
    explicit BackgroundFlush(const std::string& path)
        : fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC)) {
        if (fd_ < 0)
            return;
        try {
            thread_ = std::thread([fd = fd_] { ::fsync(fd); });
        } catch (const std::system_error&) {
            // No thread to spare: the replacement's fsync does it all.
        }
    }
    BackgroundFlush(const BackgroundFlush&) = delete;
    BackgroundFlush& operator=(const BackgroundFlush&) = delete;
    ~BackgroundFlush() {
        if (thread_.joinable())
            thread_.join();
        if (fd_ >= 0)
            ::close(fd_);
    }

private:
    int fd_;
    std::thread thread_;
};

uint32_t verify_pass(const CZHDMovie& source, const std::string& tempPath,
                     const SampleChecksums& checksums, JobControl& control) {
    OpenMovie output;
    MW_RETURN_IF_FAILED(output.Open(tempPath, false));
    return VerifyOutput(source, output.movie, tempPath, checksums, control, ByteProof::kSpotChecks);
}

}  // namespace

uint32_t ValidateSource(const CZHDMovie& source) {
    const auto& tracks = source.tracks;
    if (tracks.size() > kMaxTracks)
        return MW_TOO_MANY_TRACKS;
    for (const auto& track : tracks) {
        if (!single_description(*track))
            return MW_UNSUPPORTED;
    }
    for (const auto& track : tracks) {
        if (!constant_frame_rate(*track))
            return MW_VARIABLE_FRAME_RATE;
    }
    for (const auto& track : tracks) {
        if (track->mediaKind() == kMediaAudio && !is_aac_track(*track))
            return MW_AUDIO_NOT_AAC;
    }
    for (const auto& track : tracks) {
        if (track->mediaKind() == kMediaVideo && !is_avc_track(*track))
            return MW_VIDEO_NOT_AVC1;
    }
    if (tracks.empty())
        return MW_OK;
    uint64_t longest = 0;
    uint64_t shortest = UINT64_MAX;
    for (const auto& track : tracks) {
        longest = std::max(longest, track->DurationMs());
        shortest = std::min(shortest, track->DurationMs());
    }
    if (longest * 10 / 100 < longest - shortest)
        return MW_DURATION_MISMATCH;
    return MW_OK;
}

uint32_t VerifyOutput(const CZHDMovie& source, const CZHDMovie& output,
                      const std::string& outputPath, const SampleChecksums& checksums,
                      JobControl& control, ByteProof proof) {
    const auto* zqhd = As<CZHDZqhdAtom>(output.zqhd);
    if (output.kind != kMovieStreaming || zqhd == nullptr)
        return MW_FAIL;
    std::vector<std::unique_ptr<CZHDZhdTrack>> indexed;
    MW_RETURN_IF_FAILED(LoadLayoutTracks(*zqhd, *output.file, indexed));

    if (indexed.size() != source.tracks.size())
        return MW_TRACK_COUNT_MISMATCH;
    for (const auto& track : source.tracks) {
        if (!track->hasSyncTable())
            continue;
        if (track->syncSamples().size() != zqhd->segmentCount)
            return MW_SEGMENT_COUNT_MISMATCH;
        break;
    }
    for (size_t t = 0; t < indexed.size(); ++t) {
        if (source.tracks[t]->sampleCount() != indexed[t]->sampleCount()) {
            return MW_SAMPLE_COUNT_MISMATCH;
        }
    }
    for (size_t t = 0; t < indexed.size(); ++t) {
        MW_RETURN_IF_FAILED(compare_samples(*source.tracks[t], *indexed[t]));
    }

    // The standard tables of the output, as any player reads them.
    OpenMovie tabled;
    MW_RETURN_IF_FAILED(tabled.Open(outputPath, true));
    if (tabled.movie.tracks.size() != indexed.size() || checksums.size() != indexed.size()) {
        return MW_SAMPLE_POS_MISMATCH;
    }
    std::vector<uint8_t> buffer;
    for (size_t t = 0; t < indexed.size(); ++t) {
        MW_RETURN_IF_FAILED(prove_sample_bytes(*indexed[t], *tabled.movie.tracks[t], tabled.file,
                                               checksums[t], control, proof, buffer));
    }
    return MW_OK;
}

uint32_t CheckStreamingSource(const std::string& sourcePath) {
    try {
        return check_pass(sourcePath);
    } catch (const std::bad_alloc&) {
        return MW_OUT_OF_MEMORY;
    }
}

uint32_t convert_to_streaming_layout(const std::string& sourcePath, const std::string& tempPath,
                                     JobControl& control) {
    try {
        // The source is opened and its tables loaded once for all three passes.
        OpenMovie source;
        MW_RETURN_IF_FAILED(source.Open(sourcePath, true));
        MW_RETURN_IF_FAILED(ValidateSource(source.movie));
        if (control.cancelled())
            return MW_CANCELLED;
        SampleChecksums checksums;
        MW_RETURN_IF_FAILED(write_pass(source, tempPath, control, checksums));
        if (control.cancelled())
            return MW_CANCELLED;
        const BackgroundFlush flush(tempPath);
        return verify_pass(source.movie, tempPath, checksums, control);
    } catch (const std::bad_alloc&) {
        return MW_OUT_OF_MEMORY;
    }
}

}  // namespace moovwright
