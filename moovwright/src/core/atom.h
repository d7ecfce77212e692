#pragma once
// The atom tree: CZHDAtom, the base of every atom class, with reading from a file (or a
// memory buffer), size bookkeeping and writing; the factory CreateAtom, CloneAtom and
// FindChild.
//
// An atom is `size` bytes at `position`: a header of `headerSize` bytes (8, or 16 with a
// 64-bit size), its own payload of `dataSize` bytes, then children filling `childrenSize`
// bytes. Which part of an atom is payload and which is children depends on its class (a
// container has no payload, a sample entry has a fixed payload then children, every other
// atom is all payload).
//
// Reading trusts nothing in the file: every atom must lie inside its parent (or the file),
// nesting is at most kMaxNestingDepth deep and one read creates at most kMaxAtomsPerRead
// atoms, so a hostile file gets a result code rather than unbounded work or memory.

#include <algorithm>
#include <array>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "core/byte_order.h"
#include "core/file_ctrl.h"
#include "core/result.h"

namespace moovwright {

// A four-character atom type, kept in file order. Comparisons ignore ASCII letter case.
struct FourCC {
    std::array<uint8_t, 4> bytes{};

    constexpr FourCC() = default;
    // From a four-letter literal: FourCC("moov").
    constexpr FourCC(const char (&text)[5])  // NOLINT: implicit by design
        : bytes{static_cast<uint8_t>(text[0]), static_cast<uint8_t>(text[1]),
                static_cast<uint8_t>(text[2]), static_cast<uint8_t>(text[3])} {}
    static FourCC FromBytes(const uint8_t* p) {
        FourCC t;
        for (size_t i = 0; i < 4; ++i) {
            t.bytes[i] = p[i];
        }
        return t;
    }
    // Case-insensitive for ASCII letters.
    bool Is(FourCC other) const;
    // Exact byte equality.
    bool operator==(const FourCC&) const = default;
    std::string ToString() const { return std::string(bytes.begin(), bytes.end()); }
};

// Decoding and encoding walk one list of an atom's typed fields (its MapFields), so that
// each field and its place in the payload are named once: a FieldMap either loads every
// field it is shown from the payload or stores every one into it. The payload must hold
// the places (decoding checks its size first, encoding makes room first).
class FieldMap {
public:
    enum class Direction { Decode, Encode };
    FieldMap(std::vector<uint8_t>& payload, Direction direction)
        : payload_(payload), direction_(direction) {}

    bool decoding() const { return direction_ == Direction::Decode; }

    // An unsigned field of `width` bytes at `offset`; encoding stores the member's low bytes.
    template <class T>
    void BigEndian(size_t offset, size_t width, T& member) {
        Number(offset, width, member, LoadBE, StoreBE);
    }
    template <class T>
    void LittleEndian(size_t offset, size_t width, T& member) {
        Number(offset, width, member, LoadLE, StoreLE);
    }
    // Consecutive 32-bit little-endian words from `offset` on, one per member.
    void LittleEndianWords(size_t offset, std::initializer_list<uint32_t*> members) {
        for (uint32_t* member : members) {
            LittleEndian(offset, 4, *member);
            offset += 4;
        }
    }
    void Type(size_t offset, FourCC& member) {
        if (decoding()) {
            member = FourCC::FromBytes(&payload_[offset]);
        } else {
            std::copy(member.bytes.begin(), member.bytes.end(), payload_.begin() + offset);
        }
    }

private:
    template <class T>
    void Number(size_t offset, size_t width, T& member, uint64_t (*load)(const uint8_t*, size_t),
                void (*store)(uint8_t*, size_t, uint64_t)) {
        if (decoding()) {
            member = static_cast<T>(load(&payload_[offset], width));
        } else {
            store(&payload_[offset], width, member);
        }
    }

    std::vector<uint8_t>& payload_;
    Direction direction_;
};

// Payloads of generic atoms above this size are not held in memory.
inline constexpr uint64_t kMaxLoadedPayload = 10 * 1024 * 1024;
// Deepest nesting accepted below the top level.
inline constexpr uint32_t kMaxNestingDepth = 32;
// Most atoms one read (a movie's top level with everything below it) may create.
inline constexpr uint32_t kMaxAtomsPerRead = 100000;

// Bounds of one read in progress: the enclosing range, the depth and the atom budget.
struct ReadContext {
    uint64_t rangeEnd = 0;  // the enclosing atom's end, or the file size at the top level
    uint32_t depth = 0;     // 0 at the top level
    uint32_t atomBudget = kMaxAtomsPerRead;
};

class CZHDAtom {
public:
    using ChildList = std::vector<std::unique_ptr<CZHDAtom>>;

    explicit CZHDAtom(FourCC atomType);
    virtual ~CZHDAtom();
    CZHDAtom& operator=(const CZHDAtom&) = delete;

    // ---- reading ----
    // Reads the atom at `position` with everything below it; the file size bounds it.
    uint32_t Read(IZHDFileCtrl& file, uint64_t position);
    // The same inside an enclosing range (context.rangeEnd) during a larger read.
    uint32_t Read(IZHDFileCtrl& file, uint64_t position, ReadContext& context);
    // Reads and checks the size and type at `position`. Size 0 runs to the range end; size 1
    // is followed by a 64-bit size (at least 16); sizes 2-7: 11. An atom beyond its parent:
    // 11; beyond the end of the file: 12.
    uint32_t ReadHeader(IZHDFileCtrl& file, uint64_t position, const ReadContext& context);
    // Loads the own payload (generic atoms: unless above kMaxLoadedPayload), then
    // DecodeData. The file is positioned anywhere.
    virtual uint32_t ReadData(IZHDFileCtrl& file);
    // Reads the children that fill the bytes after the payload.
    virtual uint32_t ReadChildren(IZHDFileCtrl& file, ReadContext& context);
    // Reads the atom from memory: `buffer` holds `available` bytes starting at the atom's
    // header, which lies at file offset `position`; `end` is the end of the enclosing range.
    uint32_t Parse(const uint8_t* buffer, uint64_t available, uint64_t position, uint64_t end);
    // Payload bytes to typed fields (classes with typed fields).
    virtual uint32_t DecodeData() { return MW_OK; }

    // ---- writing ----
    // Recomputes header, payload and children sizes bottom-up.
    uint32_t UpdateSize();
    uint32_t UpdateHeaderSize();
    // Fixed-layout and table atoms size their payload from their fields.
    virtual uint32_t UpdateDataSize() { return MW_OK; }
    uint32_t UpdateChildrenSize();
    // UpdateSize, then header, payload and children at the file's current position.
    uint32_t Write(IZHDFileCtrl& file);
    // 8-byte form (a size that needs more than 32 bits: 11, never a wrapped size) or 16-byte
    // form; any other header size: 11.
    uint32_t WriteHeader(IZHDFileCtrl& file);
    // Typed fields back into the payload (EncodeData), then the payload. An atom whose
    // payload was too large to load cannot be written (2): writing only its header would
    // leave a broken file.
    virtual uint32_t WriteData(IZHDFileCtrl& file);
    uint32_t WriteChildren(IZHDFileCtrl& file);
    // Typed fields to payload bytes.
    virtual uint32_t EncodeData() { return MW_OK; }

    // ---- children ----
    uint32_t AppendChild(std::unique_ptr<CZHDAtom> child);
    // The n-th child (from 0) of that type, or null.
    CZHDAtom* Child(FourCC childType, uint32_t n = 0) const;
    // Whether the payload is held in memory (false for a large generic atom or mdat).
    bool PayloadLoaded() const { return payload.size() == dataSize; }

    // A copy of this atom without children: its class, header fields, payload and typed
    // fields. Null for the private streaming-layout atoms, which are never copied.
    virtual std::unique_ptr<CZHDAtom> CloneSelf() const;

    FourCC type;
    uint64_t size = 0;      // whole atom, header included
    uint64_t position = 0;  // file offset of the first header byte
    uint32_t headerSize = 8;
    uint64_t dataSize = 0;      // own payload
    uint64_t childrenSize = 0;  // all children together
    std::vector<uint8_t> payload;
    uint64_t consumed = 0;  // bytes accounted for while reading
    ChildList children;

protected:
    // Copies everything but the children.
    CZHDAtom(const CZHDAtom& other);
    // Loads `length` bytes from the start of the payload (fewer present: 12).
    uint32_t LoadPayload(IZHDFileCtrl& file, uint64_t length);
    // For fixed-layout atoms: the payload is the first `length` bytes, children follow.
    uint32_t LoadFixedPayload(IZHDFileCtrl& file, uint64_t length);
    uint64_t PayloadPosition() const { return position + headerSize; }
};

// Makes a new atom's fixed payload: zero bytes up to `length`, existing bytes kept.
void EnsurePayload(std::vector<uint8_t>& payload, uint64_t length);

// An atom whose payload is a fixed part of kSize bytes holding typed fields (named by
// MapFields), read as the first kSize payload bytes. With kExactPayload the payload is that
// part and nothing more (whatever follows is children); otherwise a longer payload keeps
// its extra bytes.
template <uint64_t kSize, bool kExactPayload>
class CZHDFixedPartAtom : public CZHDAtom {
public:
    static constexpr uint64_t kFixedSize = kSize;
    using CZHDAtom::CZHDAtom;
    uint32_t ReadData(IZHDFileCtrl& file) override { return LoadFixedPayload(file, kFixedSize); }
    uint32_t DecodeData() override {
        if (payload.size() < kFixedSize) {
            return MW_NOT_ENOUGH_DATA;
        }
        FieldMap fields(payload, FieldMap::Direction::Decode);
        MapFields(fields);
        return MW_OK;
    }
    uint32_t EncodeData() override {
        EnsurePayload(payload, kFixedSize);
        FieldMap fields(payload, FieldMap::Direction::Encode);
        MapFields(fields);
        return MW_OK;
    }
    uint32_t UpdateDataSize() override {
        if constexpr (kExactPayload) {
            payload.resize(kFixedSize, 0);
        } else {
            EnsurePayload(payload, kFixedSize);
        }
        dataSize = payload.size();
        return MW_OK;
    }

protected:
    // Shows `fields` each typed field of the fixed part with its place.
    virtual void MapFields(FieldMap& fields) = 0;
};

// An atom whose payload is loaded whole and decoded when read, whatever its size (the sample
// tables and the layout's indexes cannot be used without it), and encoded again from the
// typed fields when sized for writing.
class CZHDWholePayloadAtom : public CZHDAtom {
public:
    using CZHDAtom::CZHDAtom;
    uint32_t ReadData(IZHDFileCtrl& file) override;
    uint32_t UpdateDataSize() override;
};

// A new atom of the class that handles `type` (generic CZHDAtom for unknown types).
// Allocation failure: 3.
uint32_t CreateAtom(FourCC type, std::unique_ptr<CZHDAtom>* out);
// A copy of `source` (deep: with copies of all children, in order). The private
// streaming-layout types are not copied: 2.
uint32_t CloneAtom(const CZHDAtom& source, bool deep, std::unique_ptr<CZHDAtom>* out);
// The n-th (from 0) atom of `type` in `list` and its index there; none: 10.
uint32_t FindChild(const CZHDAtom::ChildList& list, FourCC type, uint32_t n, CZHDAtom** found,
                   uint32_t* index = nullptr);
// Whether `type` is one of the private streaming-layout types.
bool IsPrivateType(FourCC type);

// Reads the top-level atom at `position` of `file` (bounded by the file size) into a new
// atom of the class its type calls for.
uint32_t ReadAtomAt(IZHDFileCtrl& file, uint64_t position, ReadContext& context,
                    std::unique_ptr<CZHDAtom>* out);

// The atom as the class handling it, or null when it is of another class.
template <class T>
T* As(CZHDAtom* atom) {
    return dynamic_cast<T*>(atom);
}
template <class T>
const T* As(const CZHDAtom* atom) {
    return dynamic_cast<const T*>(atom);
}

}  // namespace moovwright
