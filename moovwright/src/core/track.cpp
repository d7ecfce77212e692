#include "core/track.h"

#include <algorithm>
#include <new>

#include "platform/memory_info.h"

namespace moovwright {

namespace {

// Times are kept as int64 but computed with wrapping unsigned arithmetic, so that no table
// a file can hold makes an overflow undefined.
int64_t Ticks(uint64_t value) {
    return static_cast<int64_t>(value);
}
int64_t NominalTime(uint32_t index, uint32_t duration) {
    return Ticks(uint64_t{index} * duration);
}
int64_t AddTicks(int64_t a, int64_t b) {
    return Ticks(static_cast<uint64_t>(a) + static_cast<uint64_t>(b));
}

}  // namespace

MediaKind MediaKindOf(FourCC handlerType) {
    if (handlerType.Is("vide")) {
        return kMediaVideo;
    }
    if (handlerType.Is("soun") || handlerType.Is("snde")) {
        return kMediaAudio;
    }
    return kMediaOther;
}

std::vector<uint32_t> SyncSampleIndices(const CZHDStssAtom& stss, uint32_t sampleCount) {
    std::vector<uint32_t> indices;
    indices.reserve(std::min<size_t>(stss.entries.size(), sampleCount));
    for (uint32_t number : stss.entries) {
        if (number >= 1 && number <= sampleCount) {
            indices.push_back(number - 1);
        }
    }
    std::sort(indices.begin(), indices.end());
    indices.erase(std::unique(indices.begin(), indices.end()), indices.end());
    return indices;
}

// ---- CZHDTrack ----

uint32_t CZHDTrack::GetSample(uint32_t index, SampleInfo* out) const {
    if (out == nullptr) {
        return MW_NULL_POINTER;
    }
    if (index >= sampleCount_) {
        return MW_OUT_OF_RANGE;
    }
    if (positions_.size() < sampleCount_ || sizes_.size() < sampleCount_) {
        return MW_FAIL;
    }
    out->trackIndex = trackIndex_;
    out->sampleIndex = index;
    out->position = positions_[index];
    out->size = sizes_[index];
    out->decodingTime =
        decodingTimes_.empty() ? NominalTime(index, defaultDuration_) : decodingTimes_[index];
    out->compositionTime = compositionTimes_.empty() ? out->decodingTime : compositionTimes_[index];
    out->sync = syncFlags_.empty() ? 1 : syncFlags_[index];
    return MW_OK;
}

uint32_t CZHDTrack::MaxStoredCompositionOffset() const {
    uint32_t largest = 0;
    for (uint32_t i = 0; i < compositionTimes_.size(); ++i) {
        SampleInfo sample;
        sample.decodingTime =
            decodingTimes_.empty() ? NominalTime(i, defaultDuration_) : decodingTimes_[i];
        sample.compositionTime = compositionTimes_[i];
        largest = std::max(largest, StoredCompositionOffset(sample));
    }
    return largest;
}

uint64_t CZHDTrack::DurationMs() const {
    if (timescale_ == 0) {
        return 0;
    }
    const unsigned __int128 ticks = static_cast<unsigned __int128>(sampleCount_) * defaultDuration_;
    return static_cast<uint64_t>(ticks * 1000 / timescale_);
}

// ---- CZHDMp4Track ----

namespace {

template <class T>
uint32_t Find(CZHDAtom* parent, FourCC type, T** out) {
    CZHDAtom* found = nullptr;
    MW_RETURN_IF_FAILED(FindChild(parent->children, type, 0, &found));
    *out = As<T>(found);
    return *out != nullptr ? MW_OK : MW_FAIL;
}

template <class T>
void FindOptional(CZHDAtom* parent, FourCC type, T** out) {
    *out = As<T>(parent->Child(type));
}

}  // namespace

uint32_t CZHDMp4Track::FindAtoms(CZHDAtom* trak) {
    TrackAtoms& a = atoms_;
    a.trak = trak;
    MW_RETURN_IF_FAILED(Find(trak, "tkhd", &a.tkhd));
    MW_RETURN_IF_FAILED(Find(trak, "mdia", &a.mdia));
    MW_RETURN_IF_FAILED(Find(a.mdia, "mdhd", &a.mdhd));
    MW_RETURN_IF_FAILED(Find(a.mdia, "hdlr", &a.hdlr));
    MW_RETURN_IF_FAILED(Find(a.mdia, "minf", &a.minf));
    FindOptional(a.minf, "vmhd", &a.vmhd);
    FindOptional(a.minf, "smhd", &a.smhd);
    MW_RETURN_IF_FAILED(Find(a.minf, "stbl", &a.stbl));
    MW_RETURN_IF_FAILED(Find(a.stbl, "stsd", &a.stsd));
    MW_RETURN_IF_FAILED(Find(a.stbl, "stts", &a.stts));
    MW_RETURN_IF_FAILED(Find(a.stbl, "stsc", &a.stsc));
    MW_RETURN_IF_FAILED(Find(a.stbl, "stsz", &a.stsz));
    FindOptional(a.stbl, "ctts", &a.ctts);
    FindOptional(a.stbl, "stss", &a.stss);
    FindOptional(a.stbl, "stco", &a.stco);
    FindOptional(a.stbl, "co64", &a.co64);
    if (a.stco == nullptr && a.co64 == nullptr) {
        return MW_FAIL;
    }
    if (a.stco != nullptr) {
        a.co64 = nullptr;  // stco wins when both are present
    }
    return MW_OK;
}

uint32_t CZHDMp4Track::Init(CZHDAtom* atom) {
    if (atom == nullptr) {
        return MW_NULL_POINTER;
    }
    if (!atom->type.Is("trak")) {
        return MW_FAIL;
    }
    try {
        MW_RETURN_IF_FAILED(FindAtoms(atom));
        sampleCount_ = atoms_.stsz->sampleCount;
        timescale_ = atoms_.mdhd->timescale;
        mediaKind_ = MediaKindOf(atoms_.hdlr->handlerType);
        if (sampleCount_ == 0 || timescale_ == 0) {
            return MW_FAIL;
        }
        MW_RETURN_IF_FAILED(CheckMemory());
        MW_RETURN_IF_FAILED(BuildPositionsAndSizes());
        BuildDecodingTimes();
        if (defaultDuration_ == 0) {
            return MW_FAIL;  // every later step divides by it
        }
        BuildCompositionTimes();
        BuildSyncFlags();
    } catch (const std::bad_alloc&) {
        return MW_OUT_OF_MEMORY;
    } catch (const std::length_error&) {
        return MW_OUT_OF_MEMORY;
    }
    return MW_OK;
}

uint32_t CZHDMp4Track::CheckMemory() const {
    const CZHDStszAtom& stsz = *atoms_.stsz;
    // Per-sample sizes are backed by four bytes each; a common size is only a claim, and a
    // claim the file cannot hold is refused before the arrays are made.
    if (stsz.commonSize != 0 && uint64_t{sampleCount_} * stsz.commonSize > fileSize_) {
        return MW_NOT_ENOUGH_DATA;
    }
    uint64_t perSample = sizeof(uint64_t) + sizeof(uint32_t);
    if (atoms_.stts->entries.size() != 1) {
        perSample += sizeof(int64_t);
    }
    if (atoms_.ctts != nullptr) {
        perSample += sizeof(int64_t);
    }
    if (atoms_.stss != nullptr) {
        perSample += sizeof(uint8_t);
    }
    const uint64_t available = platform::available_physical_memory();
    if (available != 0 && uint64_t{sampleCount_} * perSample > available) {
        return MW_OUT_OF_MEMORY;
    }
    return MW_OK;
}

uint32_t CZHDMp4Track::BuildPositionsAndSizes() {
    const CZHDStszAtom& stsz = *atoms_.stsz;
    const std::vector<StscEntry>& runs = atoms_.stsc->entries;
    const size_t chunkCount =
        atoms_.stco ? atoms_.stco->entries.size() : atoms_.co64->entries.size();
    if (runs.empty()) {
        return MW_FAIL;
    }
    positions_.assign(sampleCount_, 0);
    sizes_.assign(sampleCount_, 0);
    uint32_t sample = 0;
    for (size_t e = 0; e < runs.size() && sample < sampleCount_; ++e) {
        if (runs[e].firstChunk == 0) {
            return MW_OUT_OF_RANGE;
        }
        uint64_t endChunk = chunkCount;
        if (e + 1 < runs.size()) {
            // First chunks must increase, else runs would overlap (and could be walked
            // over and over).
            if (runs[e + 1].firstChunk <= runs[e].firstChunk) {
                return MW_FAIL;
            }
            endChunk = runs[e + 1].firstChunk - 1;
        }
        for (uint64_t chunk = runs[e].firstChunk - 1; chunk < endChunk && sample < sampleCount_;
             ++chunk) {
            if (chunk >= chunkCount) {
                return MW_OUT_OF_RANGE;
            }
            uint64_t offset =
                atoms_.stco ? atoms_.stco->entries[chunk] : atoms_.co64->entries[chunk];
            for (uint32_t s = 0; s < runs[e].samplesPerChunk && sample < sampleCount_; ++s) {
                const uint32_t sampleSize = stsz.SizeOf(sample);
                if (offset > fileSize_ || sampleSize > fileSize_ - offset) {
                    return MW_NOT_ENOUGH_DATA;  // the sample lies (partly) outside the file
                }
                positions_[sample] = offset;
                sizes_[sample] = sampleSize;
                offset += sampleSize;
                ++sample;
            }
        }
    }
    // Chunks that hold fewer samples than stsz counts leave samples nowhere.
    return sample == sampleCount_ ? MW_OK : MW_NOT_ENOUGH_DATA;
}

void CZHDMp4Track::BuildDecodingTimes() {
    const std::vector<SttsEntry>& runs = atoms_.stts->entries;
    if (runs.size() == 1) {
        defaultDuration_ = runs[0].delta;
        decodingTimes_.clear();
        return;
    }
    decodingTimes_.assign(sampleCount_, 0);
    uint64_t time = 0;
    uint32_t sample = 0;
    uint32_t lastDelta = 0;
    for (const SttsEntry& run : runs) {
        for (uint32_t i = 0; i < run.count && sample < sampleCount_; ++i) {
            decodingTimes_[sample++] = Ticks(time);
            time += run.delta;
        }
        lastDelta = run.delta;
        if (sample == sampleCount_) {
            break;
        }
    }
    // A table that covers too few samples: the rest continue at the last delta.
    while (sample < sampleCount_) {
        decodingTimes_[sample++] = Ticks(time);
        time += lastDelta;
    }
    // When the first run covers every sample, or all but a shorter (or longer) last one,
    // its delta is the frame duration; an average would put every later decoding time off.
    if (!runs.empty() && (runs[0].count == sampleCount_ || runs[0].count + 1 == sampleCount_)) {
        defaultDuration_ = runs[0].delta;
    } else {
        defaultDuration_ = static_cast<uint32_t>(time / sampleCount_);
    }
}

void CZHDMp4Track::BuildCompositionTimes() {
    compositionTimes_.clear();
    if (atoms_.ctts == nullptr) {
        return;
    }
    const CZHDCttsAtom& ctts = *atoms_.ctts;
    compositionTimes_.assign(sampleCount_, 0);
    uint32_t sample = 0;
    auto dts = [&](uint32_t i) {
        return decodingTimes_.empty() ? NominalTime(i, defaultDuration_) : decodingTimes_[i];
    };
    for (const CttsEntry& run : ctts.entries) {
        const int64_t offset = WrappedOffsetTicks(run.offset);
        for (uint32_t i = 0; i < run.count && sample < sampleCount_; ++i, ++sample) {
            compositionTimes_[sample] = AddTicks(dts(sample), offset);
        }
        if (sample == sampleCount_) {
            break;
        }
    }
    for (; sample < sampleCount_; ++sample) {
        compositionTimes_[sample] = dts(sample);  // not covered: no offset
    }
}

void CZHDMp4Track::BuildSyncFlags() {
    syncFlags_.clear();
    syncSamples_.clear();
    if (atoms_.stss == nullptr) {
        return;
    }
    syncSamples_ = SyncSampleIndices(*atoms_.stss, sampleCount_);
    syncFlags_.assign(sampleCount_, 0);
    for (uint32_t index : syncSamples_) {
        syncFlags_[index] = 1;
    }
}

}  // namespace moovwright
