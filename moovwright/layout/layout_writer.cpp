#include "layout_writer.h"

#include <xxhash.h>

#include <algorithm>
#include <limits>
#include <new>

#include "core/header_atoms.h"
#include "core/layout_atoms.h"
#include "core/table_atoms.h"
#include "layout_format.h"
#include "source_copy_atom.h"
#include "source_read_ahead.h"

namespace moovwright {

namespace {

using layout::bit_length;
using layout::entry_width_for_bits;
using layout::PackedEntryFormat;
using Wide = unsigned __int128;

constexpr uint64_t kFreePayloadSize = 64;
constexpr uint64_t kMax32 = std::numeric_limits<uint32_t>::max();

struct TrackPlan {
    const CZHDTrack* track = nullptr;
    uint32_t count = 0;
    uint32_t timescale = 0;
    uint32_t duration = 0;
    uint32_t keyBits = 0;
    uint32_t kyctWidth = 0;
    std::vector<uint32_t> segmentEnds;  // first sample after each segment
    // The output atoms the writing fills in.
    CZHDStcoAtom* stco = nullptr;
    CZHDCo64Atom* co64 = nullptr;
    CZHDSpifAtom* spif = nullptr;
    CZHDAtom* stbl = nullptr;
};

struct Plan {
    std::vector<TrackPlan> tracks;
    uint32_t segmentCount = 0;
    uint32_t trackBits = 0;
    uint32_t entryWidth = 1;
    std::vector<uint64_t> sbixSizes;
    uint64_t sampleBytes = 0;
    uint64_t totalSamples = 0;
};

// Nominal time of sample `index` in milliseconds; 128-bit so that nothing overflows.
Wide nominal_ms(uint64_t index, uint32_t duration, uint32_t timescale) {
    return Wide{index} * duration * 1000 / timescale;
}

// ---- planning ----

uint32_t plan_tracks(const LayoutSource& source, Plan& plan, const CZHDTrack*& reference) {
    reference = nullptr;
    uint32_t largestSample = 0;
    for (const CZHDTrack* track : source.tracks) {
        TrackPlan t;
        t.track = track;
        t.count = track->sampleCount();
        t.timescale = track->timescale();
        t.duration = track->defaultDuration();
        if (t.duration == 0 || t.timescale == 0)
            return MW_UNSUPPORTED;
        for (uint32_t i = 0; i < t.count; ++i) {
            SampleInfo info;
            MW_RETURN_IF_FAILED(track->GetSample(i, &info));
            largestSample = std::max(largestSample, info.size);
        }
        t.keyBits = track->hasSyncTable() ? 1 : 0;
        const uint32_t maxOffset =
            track->hasCompositionTimes() ? track->MaxStoredCompositionOffset() : 0;
        const uint32_t ctsBits = bit_length(maxOffset / t.duration);
        t.kyctWidth = entry_width_for_bits(t.keyBits + ctsBits);
        if (reference == nullptr && track->hasSyncTable())
            reference = track;
        plan.totalSamples += t.count;
        plan.tracks.push_back(std::move(t));
    }
    if (reference == nullptr)
        return MW_FAIL;
    plan.segmentCount = static_cast<uint32_t>(reference->syncSamples().size());
    // A sync table whose every entry is out of range leaves no key frame to segment at.
    if (plan.segmentCount == 0)
        return MW_FAIL;
    plan.trackBits = bit_length(plan.tracks.size() - 1);
    plan.entryWidth =
        std::max(1u, entry_width_for_bits(plan.trackBits + bit_length(largestSample)));
    if (plan.entryWidth > 8)
        return MW_UNSUPPORTED;
    return MW_OK;
}

// The end of every track's samples in every segment: the reference track ends each segment
// before its next key frame, the others at the first sample not earlier than that time.
void plan_segments(Plan& plan, const CZHDTrack& reference) {
    const std::vector<uint32_t>& sync = reference.syncSamples();
    const uint32_t segments = plan.segmentCount;
    for (TrackPlan& t : plan.tracks)
        t.segmentEnds.assign(segments, t.count);
    for (uint32_t k = 0; k + 1 < segments; ++k) {
        const uint32_t end = sync[k + 1];
        const Wide boundary = nominal_ms(end, reference.defaultDuration(), reference.timescale());
        for (TrackPlan& t : plan.tracks) {
            uint64_t o;
            if (t.track == &reference) {
                o = end;
            } else {
                const Wide estimate = boundary * t.timescale / (Wide{t.duration} * 1000);
                o = static_cast<uint64_t>(std::min<Wide>(estimate, t.count));
                while (o < t.count && nominal_ms(o, t.duration, t.timescale) < boundary)
                    ++o;
            }
            const uint32_t previous = k == 0 ? 0 : t.segmentEnds[k - 1];
            t.segmentEnds[k] = static_cast<uint32_t>(std::clamp<uint64_t>(o, previous, t.count));
        }
    }
}

uint32_t segment_start(const TrackPlan& t, uint32_t k) {
    return k == 0 ? 0 : t.segmentEnds[k - 1];
}

// Sizes of every sbix with its kyct children, and of all sample bytes.
uint32_t plan_sizes(Plan& plan) {
    plan.sbixSizes.resize(plan.segmentCount);
    for (uint32_t k = 0; k < plan.segmentCount; ++k) {
        uint64_t size = 8 + CZHDSbixAtom::kFixedSize;
        for (const TrackPlan& t : plan.tracks) {
            const uint64_t m = t.segmentEnds[k] - segment_start(t, k);
            size += m * plan.entryWidth;
            if (t.kyctWidth != 0)
                size += 8 + 4 + m * t.kyctWidth;
        }
        // The spix keeps 32 bits of each sbix size and the sbix has an 8-byte header.
        if (size > kMax32)
            return MW_FAIL;
        plan.sbixSizes[k] = size;
    }
    for (const TrackPlan& t : plan.tracks) {
        for (uint32_t i = 0; i < t.count; ++i) {
            SampleInfo info;
            MW_RETURN_IF_FAILED(t.track->GetSample(i, &info));
            plan.sampleBytes += info.size;
        }
    }
    return MW_OK;
}

// ---- the output tree ----

uint32_t append_clone(CZHDAtom& parent, const CZHDAtom* source, bool deep = false) {
    if (source == nullptr)
        return MW_OK;
    std::unique_ptr<CZHDAtom> copy;
    MW_RETURN_IF_FAILED(CloneAtom(*source, deep, &copy));
    return parent.AppendChild(std::move(copy));
}

uint32_t append_source_copy(CZHDAtom& parent, const CZHDAtom* source, IZHDFileCtrl& file) {
    if (source == nullptr)
        return MW_OK;
    return parent.AppendChild(std::make_unique<CZHDSourceCopyAtom>(*source, file));
}

template <class T>
uint32_t append_new(CZHDAtom& parent, FourCC type, T** made) {
    std::unique_ptr<CZHDAtom> atom;
    MW_RETURN_IF_FAILED(CreateAtom(type, &atom));
    *made = As<T>(atom.get());
    if (*made == nullptr)
        return MW_FAIL;
    return parent.AppendChild(std::move(atom));
}

uint32_t append_stco(CZHDAtom& stbl, TrackPlan& t) {
    MW_RETURN_IF_FAILED(append_new(stbl, FourCC("stco"), &t.stco));
    t.stco->entries.assign(t.count, 0);
    return MW_OK;
}

uint32_t append_co64(CZHDAtom& stbl, TrackPlan& t) {
    MW_RETURN_IF_FAILED(append_new(stbl, FourCC("co64"), &t.co64));
    t.co64->entries.assign(t.count, 0);
    return MW_OK;
}

uint32_t build_stbl(CZHDAtom& stbl, TrackPlan& t, IZHDFileCtrl& sourceFile) {
    const TrackAtoms& a = t.track->atoms();
    MW_RETURN_IF_FAILED(append_clone(stbl, a.stsd, true));
    MW_RETURN_IF_FAILED(append_clone(stbl, a.stts));
    MW_RETURN_IF_FAILED(append_clone(stbl, a.ctts));
    MW_RETURN_IF_FAILED(append_clone(stbl, a.stss));
    // Every sample is a chunk of its own, all with the first run's description.
    CZHDStscAtom* stsc = nullptr;
    MW_RETURN_IF_FAILED(append_new(stbl, FourCC("stsc"), &stsc));
    const uint32_t description = a.stsc != nullptr && !a.stsc->entries.empty()
                                     ? a.stsc->entries[0].sampleDescriptionIndex
                                     : 1;
    stsc->entries = {StscEntry{1, 1, description}};
    MW_RETURN_IF_FAILED(append_clone(stbl, a.stsz));
    if (a.stco != nullptr)
        MW_RETURN_IF_FAILED(append_stco(stbl, t));
    if (a.co64 != nullptr)
        MW_RETURN_IF_FAILED(append_co64(stbl, t));
    if (t.stco == nullptr && t.co64 == nullptr)
        MW_RETURN_IF_FAILED(append_stco(stbl, t));
    // Sample dependencies and groups describe samples by index, which the rewrite keeps.
    for (const auto& child : a.stbl->children) {
        if (child->type.Is("sdtp") || child->type.Is("sgpd") || child->type.Is("sbgp")) {
            MW_RETURN_IF_FAILED(append_source_copy(stbl, child.get(), sourceFile));
        }
    }
    t.stbl = &stbl;
    return MW_OK;
}

uint32_t build_trak(CZHDAtom& moov, TrackPlan& t, IZHDFileCtrl& sourceFile) {
    const TrackAtoms& a = t.track->atoms();
    if (a.trak == nullptr || a.mdia == nullptr || a.minf == nullptr || a.stbl == nullptr) {
        return MW_ATOM_NOT_FOUND;
    }
    CZHDAtom* trak = nullptr;
    MW_RETURN_IF_FAILED(append_new(moov, FourCC("trak"), &trak));
    MW_RETURN_IF_FAILED(append_clone(*trak, a.tkhd));
    MW_RETURN_IF_FAILED(append_source_copy(*trak, a.trak->Child("edts"), sourceFile));
    CZHDAtom* mdia = nullptr;
    MW_RETURN_IF_FAILED(append_new(*trak, FourCC("mdia"), &mdia));
    MW_RETURN_IF_FAILED(append_clone(*mdia, a.mdhd));
    MW_RETURN_IF_FAILED(append_clone(*mdia, a.hdlr));
    CZHDAtom* minf = nullptr;
    MW_RETURN_IF_FAILED(append_new(*mdia, FourCC("minf"), &minf));
    MW_RETURN_IF_FAILED(append_clone(*minf, a.vmhd));
    MW_RETURN_IF_FAILED(append_clone(*minf, a.smhd));
    MW_RETURN_IF_FAILED(append_source_copy(*minf, a.minf->Child("dinf"), sourceFile));
    CZHDAtom* stbl = nullptr;
    MW_RETURN_IF_FAILED(append_new(*minf, FourCC("stbl"), &stbl));
    return build_stbl(*stbl, t, sourceFile);
}

uint32_t build_index(CZHDAtom& moov, Plan& plan) {
    CZHDZqhdAtom* zqhd = nullptr;
    MW_RETURN_IF_FAILED(append_new(moov, FourCC("zqhd"), &zqhd));
    uint64_t playing = 0;
    for (const TrackPlan& t : plan.tracks) {
        playing = std::max<uint64_t>(playing, uint64_t{t.count} * t.duration / t.timescale);
    }
    zqhd->layoutFlag = 0;
    zqhd->playingTime = static_cast<uint32_t>(std::min(playing, kMax32));
    zqhd->trackCount = static_cast<uint32_t>(plan.tracks.size());
    zqhd->segmentCount = plan.segmentCount;
    zqhd->indexType = FourCC("sbix");
    for (uint32_t index = 0; index < plan.tracks.size(); ++index) {
        TrackPlan& t = plan.tracks[index];
        const TrackAtoms& a = t.track->atoms();
        CZHDZqtkAtom* zqtk = nullptr;
        MW_RETURN_IF_FAILED(append_new(*zqhd, FourCC("zqtk"), &zqtk));
        zqtk->trackIndex = index;
        zqtk->width = a.tkhd != nullptr ? a.tkhd->width : 0;
        zqtk->height = a.tkhd != nullptr ? a.tkhd->height : 0;
        zqtk->sampleCount = t.count;
        zqtk->handlerType = a.hdlr != nullptr ? a.hdlr->handlerType : FourCC();
        zqtk->timescale = t.timescale;
        zqtk->defaultDuration = t.duration;
        zqtk->kyctWidth = t.kyctWidth;
        zqtk->keyBits = t.keyBits;
        MW_RETURN_IF_FAILED(append_clone(*zqtk, a.stsd, true));
        MW_RETURN_IF_FAILED(append_new(*zqtk, FourCC("spif"), &t.spif));
        t.spif->entries.assign(plan.segmentCount, SpifEntry{0, 0});
    }
    CZHDSpixAtom* spix = nullptr;
    MW_RETURN_IF_FAILED(append_new(*zqhd, FourCC("spix"), &spix));
    spix->entryWidth = plan.entryWidth;
    spix->trackBits = plan.trackBits;
    spix->entries.assign(plan.segmentCount, SpixEntry{0, 0});
    return MW_OK;
}

struct OutputTree {
    std::unique_ptr<CZHDAtom> ftyp;
    std::unique_ptr<CZHDAtom> moov;
    std::unique_ptr<CZHDAtom> mdat;
    std::unique_ptr<CZHDAtom> free;
    CZHDSpixAtom* spix = nullptr;
};

uint32_t build_tree(const LayoutSource& source, Plan& plan, OutputTree& out) {
    if (source.ftyp == nullptr)
        return MW_NULL_POINTER;
    MW_RETURN_IF_FAILED(CloneAtom(*source.ftyp, true, &out.ftyp));
    MW_RETURN_IF_FAILED(CreateAtom(FourCC("moov"), &out.moov));
    const CZHDAtom* mvhd = source.moov->Child("mvhd");
    if (mvhd == nullptr)
        return MW_ATOM_NOT_FOUND;
    MW_RETURN_IF_FAILED(append_clone(*out.moov, mvhd));
    MW_RETURN_IF_FAILED(build_index(*out.moov, plan));
    for (TrackPlan& t : plan.tracks)
        MW_RETURN_IF_FAILED(build_trak(*out.moov, t, *source.file));
    // The operator's titles, chapters and other metadata.
    MW_RETURN_IF_FAILED(append_source_copy(*out.moov, source.moov->Child("udta"), *source.file));
    MW_RETURN_IF_FAILED(append_source_copy(*out.moov, source.moov->Child("meta"), *source.file));
    out.spix = As<CZHDSpixAtom>(out.moov->Child("zqhd")->Child("spix"));

    MW_RETURN_IF_FAILED(CreateAtom(FourCC("mdat"), &out.mdat));
    MW_RETURN_IF_FAILED(CreateAtom(FourCC("free"), &out.free));
    out.free->payload.assign(kFreePayloadSize, 0);
    out.free->dataSize = kFreePayloadSize;
    return MW_OK;
}

// Sizes the media data and, when the file would reach 4 GiB, moves every track to 64-bit
// chunk offsets. Returns the offset of the first sample byte's atom (the mdat header).
uint32_t fit_offsets(Plan& plan, OutputTree& out, uint64_t largest32, uint64_t& mdatPosition) {
    uint64_t payload = plan.sampleBytes;
    for (uint64_t size : plan.sbixSizes)
        payload += size;
    out.mdat->headerSize = payload + 8 > largest32 ? 16 : 8;
    out.mdat->dataSize = payload;
    for (int attempt = 0; attempt < 2; ++attempt) {
        MW_RETURN_IF_FAILED(out.ftyp->UpdateSize());
        MW_RETURN_IF_FAILED(out.moov->UpdateSize());
        MW_RETURN_IF_FAILED(out.mdat->UpdateSize());
        mdatPosition = out.ftyp->size + out.moov->size;
        const uint64_t end = mdatPosition + out.mdat->size;
        if (end <= largest32)
            return MW_OK;
        for (TrackPlan& t : plan.tracks) {
            if (t.stco == nullptr)
                continue;
            auto& list = t.stbl->children;
            list.erase(std::find_if(list.begin(), list.end(),
                                    [&](const auto& atom) { return atom.get() == t.stco; }));
            t.stco = nullptr;
            if (t.co64 == nullptr)
                MW_RETURN_IF_FAILED(append_co64(*t.stbl, t));
        }
        // The co64 sits where the tables end, before the copied sample groups.
        for (TrackPlan& t : plan.tracks) {
            auto& list = t.stbl->children;
            auto co64 = std::find_if(list.begin(), list.end(),
                                     [&](const auto& atom) { return atom.get() == t.co64; });
            auto stsz = std::find_if(list.begin(), list.end(),
                                     [](const auto& atom) { return atom->type.Is("stsz"); });
            if (co64 != list.end() && stsz != list.end() && co64 > stsz + 1) {
                std::rotate(stsz + 1, co64, co64 + 1);
            }
        }
    }
    return MW_OK;
}

// ---- placing the samples ----

// The samples of one segment in the order they are written: track, then sample index.
using SegmentOrder = std::vector<std::pair<uint32_t, uint32_t>>;

// The track whose next sample comes first in time; ties go to the lower track index.
int next_track(const Plan& plan, const std::vector<uint32_t>& cursor, uint32_t k) {
    int best = -1;
    Wide bestTime = 0;
    for (uint32_t t = 0; t < plan.tracks.size(); ++t) {
        const TrackPlan& track = plan.tracks[t];
        if (cursor[t] >= track.segmentEnds[k])
            continue;
        const Wide time = nominal_ms(cursor[t], track.duration, track.timescale);
        if (best < 0 || time < bestTime) {
            best = static_cast<int>(t);
            bestTime = time;
        }
    }
    return best;
}

SegmentOrder segment_order(const Plan& plan, uint32_t k) {
    std::vector<uint32_t> cursor(plan.tracks.size());
    for (uint32_t t = 0; t < plan.tracks.size(); ++t)
        cursor[t] = segment_start(plan.tracks[t], k);
    SegmentOrder order;
    for (int next = next_track(plan, cursor, k); next >= 0; next = next_track(plan, cursor, k)) {
        const auto t = static_cast<uint32_t>(next);
        order.emplace_back(t, cursor[t]++);
    }
    return order;
}

// Works out from the tables alone where every segment index and every sample will lie, and
// fills the chunk offsets and the segment tables with it. The file can then be written once,
// front to back, with every value final: nothing is rewritten in place, so whoever watches
// the bytes go out (the host computing the file's digests) sees the finished file.
uint32_t place_samples(Plan& plan, OutputTree& tree, uint64_t dataStart, uint64_t& dataEnd) {
    uint64_t position = dataStart;
    for (uint32_t k = 0; k < plan.segmentCount; ++k) {
        tree.spix->entries[k] = SpixEntry{position, static_cast<uint32_t>(plan.sbixSizes[k])};
        position += plan.sbixSizes[k];
        for (const auto& [t, index] : segment_order(plan, k)) {
            TrackPlan& track = plan.tracks[t];
            SampleInfo info;
            MW_RETURN_IF_FAILED(track.track->GetSample(index, &info));
            if (track.stco != nullptr) {
                if (position > kMax32)
                    return MW_FAIL;
                track.stco->entries[index] = static_cast<uint32_t>(position);
            }
            if (track.co64 != nullptr)
                track.co64->entries[index] = position;
            position += info.size;
        }
        for (TrackPlan& track : plan.tracks) {
            const uint32_t start = segment_start(track, k);
            track.spif->entries[k] = SpifEntry{start, start};
        }
    }
    dataEnd = position;
    return MW_OK;
}

uint64_t planned_position(const TrackPlan& track, uint32_t index) {
    return track.stco != nullptr ? track.stco->entries[index] : track.co64->entries[index];
}

// ---- writing the samples ----

class SegmentWriter {
public:
    SegmentWriter(const LayoutSource& source, Plan& plan, OutputTree& tree, IZHDFileCtrl& output,
                  JobControl& control, SampleChecksums* checksums, ChecksumScope scope)
        : source_(*source.file),
          plan_(plan),
          tree_(tree),
          output_(output),
          control_(control),
          checksums_(checksums),
          scope_(scope) {}

    uint32_t WriteSegment(uint32_t k);

private:
    uint32_t MakeIndex(uint32_t k, const SegmentOrder& order, std::unique_ptr<CZHDSbixAtom>& sbix);
    uint32_t CopySample(uint32_t t, uint32_t index);

    SourceReadAhead source_;
    Plan& plan_;
    OutputTree& tree_;
    IZHDFileCtrl& output_;
    JobControl& control_;
    SampleChecksums* checksums_;
    ChecksumScope scope_;
    uint64_t written_ = 0;
};

// The segment's index with every entry filled from the tables: sample sizes, and per track
// the key flags and composition offsets.
uint32_t SegmentWriter::MakeIndex(uint32_t k, const SegmentOrder& order,
                                  std::unique_ptr<CZHDSbixAtom>& sbix) {
    sbix = std::make_unique<CZHDSbixAtom>(FourCC("sbix"));
    MW_RETURN_IF_FAILED(sbix->SetEntryLayout(plan_.entryWidth, plan_.trackBits));
    MW_RETURN_IF_FAILED(sbix->Resize(static_cast<uint32_t>(order.size())));
    sbix->segmentIndex = k;
    std::vector<CZHDKyctAtom*> kycts(plan_.tracks.size(), nullptr);
    for (uint32_t t = 0; t < plan_.tracks.size(); ++t) {
        const TrackPlan& track = plan_.tracks[t];
        if (track.kyctWidth == 0)
            continue;
        auto kyct = std::make_unique<CZHDKyctAtom>(FourCC("kyct"));
        kyct->trackIndex = t;
        MW_RETURN_IF_FAILED(
            kyct->Resize(track.segmentEnds[k] - segment_start(track, k), track.kyctWidth));
        kycts[t] = kyct.get();
        MW_RETURN_IF_FAILED(sbix->AppendChild(std::move(kyct)));
    }
    for (uint32_t j = 0; j < order.size(); ++j) {
        const auto [t, index] = order[j];
        const TrackPlan& track = plan_.tracks[t];
        SampleInfo info;
        MW_RETURN_IF_FAILED(track.track->GetSample(index, &info));
        MW_RETURN_IF_FAILED(sbix->SetEntry(j, t, info.size));
        if (kycts[t] == nullptr)
            continue;
        const PackedEntryFormat format(track.kyctWidth, track.keyBits);
        // An offset that is not a multiple of the duration loses its remainder here;
        // verification catches the difference.
        const uint32_t offset = StoredCompositionOffset(info) / track.duration;
        MW_RETURN_IF_FAILED(kycts[t]->SetEntry(index - segment_start(track, k), track.kyctWidth,
                                               format.pack(info.sync, offset)));
    }
    MW_RETURN_IF_FAILED(sbix->UpdateSize());
    return sbix->size == plan_.sbixSizes[k] ? MW_OK : MW_FAIL;
}

uint32_t SegmentWriter::CopySample(uint32_t t, uint32_t index) {
    const TrackPlan& track = plan_.tracks[t];
    SampleInfo info;
    MW_RETURN_IF_FAILED(track.track->GetSample(index, &info));
    if (output_.Tell() != planned_position(track, index))
        return MW_FAIL;
    const uint8_t* bytes = nullptr;
    MW_RETURN_IF_FAILED(source_.Fetch(info.position, info.size, &bytes));
    if (checksums_ != nullptr &&
        (scope_ == ChecksumScope::kEverySample || SpotChecked(index, track.count)))
        (*checksums_)[t][index] = SampleChecksum(bytes, info.size);
    return output_.Write(bytes, info.size);
}

uint32_t SegmentWriter::WriteSegment(uint32_t k) {
    const SegmentOrder order = segment_order(plan_, k);
    std::unique_ptr<CZHDSbixAtom> sbix;
    MW_RETURN_IF_FAILED(MakeIndex(k, order, sbix));
    const uint64_t sbixPosition = output_.Tell();
    if (sbixPosition != tree_.spix->entries[k].offset)
        return MW_FAIL;
    sbix->dataPosition = sbixPosition + sbix->size;
    MW_RETURN_IF_FAILED(sbix->Write(output_));

    for (const auto& [t, index] : order) {
        MW_RETURN_IF_FAILED(CopySample(t, index));
        ++written_;
        control_.set_progress(static_cast<uint32_t>(written_ * 100 / plan_.totalSamples));
        if (control_.on_sample_written)
            control_.on_sample_written(written_);
        if (control_.cancelled())
            return MW_CANCELLED;
    }
    return MW_OK;
}

// The output file, with every byte written also told to the host's sink. A write anywhere but
// at the end of what the sink has seen would leave it with bytes that are not the file's, so
// the sink is told no more from then on (and learns it from the short count).
class SinkingOutput final : public IZHDFileCtrl {
public:
    SinkingOutput(IZHDFileCtrl& file, IStreamWriteSink* sink) : file_(file), sink_(sink) {}

    uint32_t Start(uint64_t fileSize) {
        if (sink_ != nullptr && sink_->OnOutputStart(fileSize) != 0)
            sink_ = nullptr;
        told_ = file_.Tell();
        return told_ == 0 ? MW_OK : MW_FAIL;
    }
    uint32_t Open(const char* path, bool write) override { return file_.Open(path, write); }
    bool IsWriting() const override { return file_.IsWriting(); }
    uint32_t Close() override { return file_.Close(); }
    uint32_t GetSize(uint64_t* size) override { return file_.GetSize(size); }
    uint32_t Seek(uint64_t position) override { return file_.Seek(position); }
    uint64_t Tell() const override { return file_.Tell(); }
    uint32_t Read(void* buffer, size_t length, size_t* bytesRead) override {
        return file_.Read(buffer, length, bytesRead);
    }
    uint32_t Write(const void* buffer, size_t length) override {
        const uint64_t at = file_.Tell();
        MW_RETURN_IF_FAILED(file_.Write(buffer, length));
        if (sink_ == nullptr || length == 0)
            return MW_OK;
        if (at != told_ || sink_->OnOutputBytes(static_cast<const uint8_t*>(buffer), length) != 0) {
            sink_ = nullptr;
            return MW_OK;
        }
        told_ += length;
        return MW_OK;
    }
    uint32_t Sync() override { return file_.Sync(); }

private:
    IZHDFileCtrl& file_;
    IStreamWriteSink* sink_;
    uint64_t told_ = 0;
};

uint32_t write_layout(const LayoutSource& source, IZHDFileCtrl& file, JobControl& control,
                      SampleChecksums* checksums, const LayoutLimits& limits, ChecksumScope scope) {
    if (source.moov == nullptr || source.file == nullptr)
        return MW_NULL_POINTER;
    Plan plan;
    const CZHDTrack* reference = nullptr;
    MW_RETURN_IF_FAILED(plan_tracks(source, plan, reference));
    plan_segments(plan, *reference);
    MW_RETURN_IF_FAILED(plan_sizes(plan));
    OutputTree tree;
    MW_RETURN_IF_FAILED(build_tree(source, plan, tree));
    uint64_t mdatPosition = 0;
    MW_RETURN_IF_FAILED(fit_offsets(plan, tree, limits.largest32BitValue, mdatPosition));
    const uint64_t dataStart = mdatPosition + tree.mdat->headerSize;
    uint64_t dataEnd = 0;
    MW_RETURN_IF_FAILED(place_samples(plan, tree, dataStart, dataEnd));
    if (dataEnd != mdatPosition + tree.mdat->size)
        return MW_FAIL;
    MW_RETURN_IF_FAILED(tree.free->UpdateSize());
    if (checksums != nullptr) {
        checksums->assign(plan.tracks.size(), {});
        for (size_t t = 0; t < plan.tracks.size(); ++t)
            (*checksums)[t].assign(plan.tracks[t].count, 0);
    }

    SinkingOutput output(file, control.write_sink);
    MW_RETURN_IF_FAILED(output.Start(dataEnd + tree.free->size));
    MW_RETURN_IF_FAILED(tree.ftyp->Write(output));
    MW_RETURN_IF_FAILED(tree.moov->Write(output));
    MW_RETURN_IF_FAILED(tree.mdat->Write(output));
    if (output.Tell() != dataStart)
        return MW_FAIL;

    SegmentWriter segments(source, plan, tree, output, control, checksums, scope);
    for (uint32_t k = 0; k < plan.segmentCount; ++k) {
        if (control.cancelled())
            return MW_CANCELLED;
        MW_RETURN_IF_FAILED(segments.WriteSegment(k));
    }
    if (output.Tell() != dataEnd)
        return MW_FAIL;
    return tree.free->Write(output);
}

}  // namespace

LayoutSource LayoutSourceOf(const CZHDMovie& movie, IZHDFileCtrl& file) {
    LayoutSource layout{movie.ftyp, movie.moov, {}, &file};
    for (const auto& track : movie.tracks) {
        layout.tracks.push_back(track.get());
    }
    return layout;
}

uint64_t SampleChecksum(const uint8_t* bytes, size_t length) {
    return XXH3_64bits(bytes, length);
}

bool SpotChecked(uint32_t index, uint32_t count) {
    constexpr uint32_t kSpotChecksPerTrack = 16;
    constexpr uint32_t kLeastSpotCheckStride = 256;
    const uint32_t stride = std::max(kLeastSpotCheckStride, count / kSpotChecksPerTrack);
    return index % stride == 0 || index + 1 == count;
}

uint32_t WriteStreamingLayout(const LayoutSource& source, IZHDFileCtrl& output, JobControl& control,
                              SampleChecksums* checksums, const LayoutLimits& limits,
                              ChecksumScope scope) {
    try {
        return write_layout(source, output, control, checksums, limits, scope);
    } catch (const std::bad_alloc&) {
        return MW_OUT_OF_MEMORY;
    } catch (const std::length_error&) {
        return MW_OUT_OF_MEMORY;
    }
}

}  // namespace moovwright
