#include "layout_reader.h"

#include <algorithm>
#include <array>
#include <new>

#include "core/byte_order.h"
#include "layout_format.h"

namespace moovwright {

using layout::PackedEntryFormat;

uint32_t CZHDZhdTrack::Init(CZHDAtom* atom) {
    zqtk_ = As<CZHDZqtkAtom>(atom);
    if (zqtk_ == nullptr || !atom->type.Is("zqtk"))
        return MW_FAIL;
    spif_ = As<CZHDSpifAtom>(atom->Child("spif"));
    if (zqhd_ == nullptr || spix_ == nullptr || atom->Child("stsd") == nullptr ||
        spif_ == nullptr) {
        return MW_FAIL;
    }
    if (zqtk_->defaultDuration == 0)
        return MW_UNSUPPORTED;
    if (zqtk_->kyctWidth > 8 || zqtk_->keyBits > 8 * zqtk_->kyctWidth)
        return MW_FAIL;
    sampleCount_ = zqtk_->sampleCount;
    timescale_ = zqtk_->timescale;
    defaultDuration_ = zqtk_->defaultDuration;
    mediaKind_ = MediaKindOf(zqtk_->handlerType);
    try {
        positions_.assign(sampleCount_, 0);
        sizes_.assign(sampleCount_, 0);
        decodingTimes_.clear();
        compositionTimes_.clear();
        syncFlags_.clear();
        if (zqtk_->kyctWidth != 0) {
            // Samples start with composition = decoding time; kyct entries overwrite them.
            compositionTimes_.resize(sampleCount_);
            for (uint32_t i = 0; i < sampleCount_; ++i) {
                compositionTimes_[i] = int64_t{i} * defaultDuration_;
            }
        }
        if (zqtk_->keyBits != 0)
            syncFlags_.assign(sampleCount_, 0);
    } catch (const std::bad_alloc&) {
        return MW_OUT_OF_MEMORY;
    }
    return MW_OK;
}

uint32_t CZHDZhdTrack::SetSample(uint32_t index, uint64_t position, uint32_t size) {
    if (index >= sampleCount_)
        return MW_OUT_OF_RANGE;
    positions_[index] = position;
    sizes_[index] = size;
    return MW_OK;
}

uint32_t CZHDZhdTrack::SetKeyAndComposition(uint32_t index, uint32_t sync, uint64_t offset) {
    if (index >= sampleCount_)
        return MW_OUT_OF_RANGE;
    if (!syncFlags_.empty())
        syncFlags_[index] = static_cast<uint8_t>(sync != 0);
    if (!compositionTimes_.empty()) {
        const int64_t decodingTime = static_cast<int64_t>(uint64_t{index} * defaultDuration_);
        compositionTimes_[index] = static_cast<int64_t>(
            static_cast<uint64_t>(decodingTime) +
            static_cast<uint64_t>(WrappedOffsetTicks(offset * defaultDuration_)));
    }
    return MW_OK;
}

void CZHDZhdTrack::FinishLoading() {
    syncSamples_.clear();
    for (uint32_t i = 0; i < syncFlags_.size(); ++i) {
        if (syncFlags_[i] != 0)
            syncSamples_.push_back(i);
    }
}

namespace {

// First sample of track `t` in segment k and the first after it.
uint32_t segment_range(const CZHDZhdTrack& track, uint32_t k, uint32_t segmentCount,
                       uint32_t& first, uint32_t& end) {
    const auto& entries = track.spif()->entries;
    if (entries.size() <= k)
        return MW_OUT_OF_RANGE;
    first = entries[k].firstSample;
    if (k + 1 < segmentCount) {
        if (entries.size() <= k + 1)
            return MW_OUT_OF_RANGE;
        end = entries[k + 1].firstSample;
    } else {
        end = track.sampleCount();
    }
    return end < first || end > track.sampleCount() ? MW_OUT_OF_RANGE : MW_OK;
}

// Reads only the sample count of every segment's sbix (after checking that an sbix of the
// announced size is where the spix says), so the tables are sized by what is really there.
uint32_t count_segment_samples(IZHDFileCtrl& file, const CZHDZqhdAtom& zqhd,
                               const CZHDSpixAtom& spix, uint64_t& total) {
    total = 0;
    std::array<uint8_t, 8 + CZHDSbixAtom::kFixedSize> head{};
    for (uint32_t k = 0; k < zqhd.segmentCount; ++k) {
        const SpixEntry& entry = spix.entries[k];
        if (entry.size < head.size())
            return MW_NOT_ENOUGH_DATA;
        MW_RETURN_IF_FAILED(file.Seek(entry.offset));
        size_t got = 0;
        MW_RETURN_IF_FAILED(file.Read(head.data(), head.size(), &got));
        if (got != head.size())
            return MW_NOT_ENOUGH_DATA;
        if (LoadBE32(head.data()) != entry.size || !FourCC::FromBytes(&head[4]).Is("sbix")) {
            return MW_FAIL;
        }
        const uint32_t n = LoadLE32(&head[8 + 12]);
        if (uint64_t{n} * spix.entryWidth > entry.size - head.size())
            return MW_NOT_ENOUGH_DATA;
        total += n;
    }
    return MW_OK;
}

uint32_t load_kyct(const CZHDKyctAtom& kyct, uint32_t k, uint32_t segmentCount,
                   std::vector<std::unique_ptr<CZHDZhdTrack>>& tracks) {
    if (kyct.trackIndex >= tracks.size())
        return MW_OUT_OF_RANGE;
    CZHDZhdTrack& track = *tracks[kyct.trackIndex];
    const uint32_t width = track.zqtk()->kyctWidth;
    if (width == 0)
        return MW_FAIL;
    uint32_t first = 0;
    uint32_t end = 0;
    MW_RETURN_IF_FAILED(segment_range(track, k, segmentCount, first, end));
    if (kyct.EntryCount(width) < end - first)
        return MW_OUT_OF_RANGE;
    const PackedEntryFormat format(width, track.zqtk()->keyBits);
    for (uint32_t j = 0; j < end - first; ++j) {
        uint64_t entry = 0;
        MW_RETURN_IF_FAILED(kyct.GetEntry(j, width, &entry));
        MW_RETURN_IF_FAILED(track.SetKeyAndComposition(
            first + j, static_cast<uint32_t>(format.high(entry)), format.low(entry)));
    }
    return MW_OK;
}

uint32_t load_segment(IZHDFileCtrl& file, uint32_t k, const CZHDZqhdAtom& zqhd,
                      const CZHDSpixAtom& spix,
                      std::vector<std::unique_ptr<CZHDZhdTrack>>& tracks) {
    CZHDSbixAtom sbix(FourCC("sbix"));
    if (sbix.SetEntryLayout(spix.entryWidth, spix.trackBits) != MW_OK)
        return MW_FAIL;
    MW_RETURN_IF_FAILED(sbix.Read(file, spix.entries[k].offset));
    if (!sbix.type.Is("sbix") || sbix.segmentIndex != k)
        return MW_FAIL;

    // Each track's entries must fill exactly its range of samples in this segment.
    std::vector<uint32_t> cursor(tracks.size());
    std::vector<uint32_t> end(tracks.size());
    for (size_t t = 0; t < tracks.size(); ++t) {
        MW_RETURN_IF_FAILED(segment_range(*tracks[t], k, zqhd.segmentCount, cursor[t], end[t]));
    }
    uint64_t offset = sbix.dataPosition;
    for (uint32_t j = 0; j < sbix.EntryCount(); ++j) {
        const uint32_t t = sbix.EntryTrack(j);
        if (t >= tracks.size() || cursor[t] >= end[t])
            return MW_OUT_OF_RANGE;
        const uint64_t size = sbix.EntrySize(j);
        if (size > UINT32_MAX)
            return MW_FAIL;
        MW_RETURN_IF_FAILED(tracks[t]->SetSample(cursor[t]++, offset, static_cast<uint32_t>(size)));
        offset += size;
    }
    if (cursor != end)
        return MW_OUT_OF_RANGE;
    for (const auto& child : sbix.children) {
        const auto* kyct = As<CZHDKyctAtom>(child.get());
        if (kyct != nullptr)
            MW_RETURN_IF_FAILED(load_kyct(*kyct, k, zqhd.segmentCount, tracks));
    }
    return MW_OK;
}

uint32_t load_tracks(const CZHDZqhdAtom& zqhd, IZHDFileCtrl& file,
                     std::vector<std::unique_ptr<CZHDZhdTrack>>& tracks) {
    const auto* spix = As<CZHDSpixAtom>(zqhd.Child("spix"));
    if (spix == nullptr)
        return MW_ATOM_NOT_FOUND;
    if (spix->entries.size() < zqhd.segmentCount)
        return MW_OUT_OF_RANGE;
    uint64_t segmentSamples = 0;
    MW_RETURN_IF_FAILED(count_segment_samples(file, zqhd, *spix, segmentSamples));

    // The promised samples must be the ones the segments hold before tables are made.
    uint64_t promised = 0;
    for (uint32_t i = 0; i < zqhd.trackCount; ++i) {
        const auto* zqtk = As<CZHDZqtkAtom>(zqhd.Child("zqtk", i));
        if (zqtk == nullptr)
            return MW_FAIL;
        promised += zqtk->sampleCount;
    }
    if (promised != segmentSamples)
        return MW_OUT_OF_RANGE;

    for (uint32_t i = 0; i < zqhd.trackCount; ++i) {
        auto track = std::make_unique<CZHDZhdTrack>(i, &zqhd, spix);
        MW_RETURN_IF_FAILED(track->Init(zqhd.Child("zqtk", i)));
        tracks.push_back(std::move(track));
    }
    for (uint32_t k = 0; k < zqhd.segmentCount; ++k) {
        MW_RETURN_IF_FAILED(load_segment(file, k, zqhd, *spix, tracks));
    }
    for (auto& track : tracks)
        track->FinishLoading();
    return MW_OK;
}

}  // namespace

uint32_t LoadLayoutTracks(const CZHDZqhdAtom& zqhd, IZHDFileCtrl& file,
                          std::vector<std::unique_ptr<CZHDZhdTrack>>& tracks) {
    tracks.clear();
    try {
        const uint32_t result = load_tracks(zqhd, file, tracks);
        if (result != MW_OK)
            tracks.clear();
        return result;
    } catch (const std::bad_alloc&) {
        tracks.clear();
        return MW_OUT_OF_MEMORY;
    }
}

}  // namespace moovwright
