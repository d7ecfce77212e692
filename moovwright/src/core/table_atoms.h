#pragma once
// The sample tables of a track: decoding-time deltas (stts), composition offsets (ctts),
// sync samples (stss), sample-to-chunk runs (stsc), sample sizes (stsz) and chunk offsets
// (stco, co64).
//
// These atoms are always loaded and decoded, whatever their size: a track cannot be used
// without them. Every entry count is checked against the bytes that hold the entries before
// anything is allocated (a count the payload cannot hold: 12). Writing rebuilds the payload
// from the entries (keeping the version and flags), so a table changed in memory is written
// with its new length.

#include <memory>
#include <vector>

#include "core/atom.h"
#include "core/byte_order.h"

namespace moovwright {

// Base of the tables: loads the whole payload regardless of kMaxLoadedPayload and keeps the
// version and flags.
class CZHDTableAtom : public CZHDWholePayloadAtom {
public:
    using CZHDWholePayloadAtom::CZHDWholePayloadAtom;

    uint8_t version() const { return versionAndFlags[0]; }
    std::array<uint8_t, 4> versionAndFlags{};

protected:
    // Checks the version/flags and entry-count words and that `count` entries of
    // `entryBytes` each fit after `headerBytes` bytes of payload.
    uint32_t CheckCount(size_t headerBytes, size_t entryBytes, uint32_t* count);
    // Starts a rebuilt payload: version/flags, then `count`.
    void BeginPayload(size_t totalBytes, uint32_t count);
};

// How one entry of a fixed-entry table sits in the payload: its size in bytes and how it is
// read and written. Each table's entry type has one.
template <class Entry>
struct TableEntryLayout;

template <>
struct TableEntryLayout<uint32_t> {
    static constexpr size_t kBytes = 4;
    static uint32_t Load(const uint8_t* at) { return LoadBE32(at); }
    static void Store(uint8_t* at, uint32_t value) { StoreBE32(at, value); }
};

template <>
struct TableEntryLayout<uint64_t> {
    static constexpr size_t kBytes = 8;
    static uint64_t Load(const uint8_t* at) { return LoadBE64(at); }
    static void Store(uint8_t* at, uint64_t value) { StoreBE64(at, value); }
};

// An entry made of 32-bit words, stored in the order of `kFields`.
template <class Entry, auto... kFields>
struct WordFieldsLayout {
    static constexpr size_t kBytes = 4 * sizeof...(kFields);
    static Entry Load(const uint8_t* at) {
        Entry entry{};
        ((entry.*kFields = LoadBE32(at), at += 4), ...);
        return entry;
    }
    static void Store(uint8_t* at, const Entry& entry) {
        ((StoreBE32(at, entry.*kFields), at += 4), ...);
    }
};

// A table whose payload is version/flags, an entry count and that many entries of one
// fixed size: everything but stsz, whose entries may be absent.
template <class Self, class Entry>
class CZHDFixedTableAtom : public CZHDTableAtom {
public:
    using CZHDTableAtom::CZHDTableAtom;
    using Layout = TableEntryLayout<Entry>;

    uint32_t DecodeData() override {
        uint32_t count = 0;
        MW_RETURN_IF_FAILED(CheckCount(8, Layout::kBytes, &count));
        entries.resize(count);
        for (uint32_t i = 0; i < count; ++i) {
            entries[i] = Layout::Load(&payload[8 + Layout::kBytes * size_t{i}]);
        }
        return MW_OK;
    }
    uint32_t EncodeData() override {
        BeginPayload(8 + Layout::kBytes * entries.size(), static_cast<uint32_t>(entries.size()));
        for (size_t i = 0; i < entries.size(); ++i) {
            Layout::Store(&payload[8 + Layout::kBytes * i], entries[i]);
        }
        return MW_OK;
    }
    std::unique_ptr<CZHDAtom> CloneSelf() const override {
        return std::make_unique<Self>(static_cast<const Self&>(*this));
    }

    std::vector<Entry> entries;
};

struct SttsEntry {
    uint32_t count;
    uint32_t delta;
};
template <>
struct TableEntryLayout<SttsEntry>
    : WordFieldsLayout<SttsEntry, &SttsEntry::count, &SttsEntry::delta> {};

class CZHDSttsAtom : public CZHDFixedTableAtom<CZHDSttsAtom, SttsEntry> {
public:
    using CZHDFixedTableAtom::CZHDFixedTableAtom;
};

// Offsets are 32-bit unsigned in both versions; added to a decoding time they wrap at 2^32,
// which is how a version-1 table's negative offsets come out.
struct CttsEntry {
    uint32_t count;
    uint32_t offset;
};
template <>
struct TableEntryLayout<CttsEntry>
    : WordFieldsLayout<CttsEntry, &CttsEntry::count, &CttsEntry::offset> {};

class CZHDCttsAtom : public CZHDFixedTableAtom<CZHDCttsAtom, CttsEntry> {
public:
    using CZHDFixedTableAtom::CZHDFixedTableAtom;
};

// 1-based sample numbers as stored; see SyncSampleIndices for the cleaned-up list.
class CZHDStssAtom : public CZHDFixedTableAtom<CZHDStssAtom, uint32_t> {
public:
    using CZHDFixedTableAtom::CZHDFixedTableAtom;
};

struct StscEntry {
    uint32_t firstChunk;  // 1-based
    uint32_t samplesPerChunk;
    uint32_t sampleDescriptionIndex;
};
template <>
struct TableEntryLayout<StscEntry>
    : WordFieldsLayout<StscEntry, &StscEntry::firstChunk, &StscEntry::samplesPerChunk,
                       &StscEntry::sampleDescriptionIndex> {};

class CZHDStscAtom : public CZHDFixedTableAtom<CZHDStscAtom, StscEntry> {
public:
    using CZHDFixedTableAtom::CZHDFixedTableAtom;
};

// A common size for every sample (commonSize != 0, no per-sample entries) or one size per
// sample.
class CZHDStszAtom : public CZHDTableAtom {
public:
    using CZHDTableAtom::CZHDTableAtom;
    uint32_t DecodeData() override;
    uint32_t EncodeData() override;
    std::unique_ptr<CZHDAtom> CloneSelf() const override;
    uint32_t SizeOf(uint32_t sample) const { return commonSize != 0 ? commonSize : sizes[sample]; }
    uint32_t commonSize = 0;
    uint32_t sampleCount = 0;
    std::vector<uint32_t> sizes;
};

// Chunk offsets: 32-bit in stco, 64-bit in co64; `entries` are the offsets.
class CZHDStcoAtom : public CZHDFixedTableAtom<CZHDStcoAtom, uint32_t> {
public:
    using CZHDFixedTableAtom::CZHDFixedTableAtom;
};

class CZHDCo64Atom : public CZHDFixedTableAtom<CZHDCo64Atom, uint64_t> {
public:
    using CZHDFixedTableAtom::CZHDFixedTableAtom;
};

}  // namespace moovwright
