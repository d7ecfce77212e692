#include "core/header_atoms.h"

#include <algorithm>

#include "core/byte_order.h"

namespace moovwright {

namespace {

template <class T>
std::unique_ptr<CZHDAtom> CopyOf(const T& atom) {
    return std::make_unique<T>(atom);
}

}  // namespace

// ---- containers and media data ----

uint32_t CZHDContainerAtom::ReadData(IZHDFileCtrl& /*file*/) {
    dataSize = 0;
    payload.clear();
    return MW_OK;
}
std::unique_ptr<CZHDAtom> CZHDContainerAtom::CloneSelf() const {
    return CopyOf(*this);
}

uint32_t CZHDMdatAtom::ReadData(IZHDFileCtrl& /*file*/) {
    dataSize = size - headerSize;
    payload.clear();
    return MW_OK;
}
uint32_t CZHDMdatAtom::ReadChildren(IZHDFileCtrl& /*file*/, ReadContext& /*context*/) {
    childrenSize = 0;
    return MW_OK;
}
uint32_t CZHDMdatAtom::WriteData(IZHDFileCtrl& /*file*/) {
    return MW_OK;
}
std::unique_ptr<CZHDAtom> CZHDMdatAtom::CloneSelf() const {
    return CopyOf(*this);
}

// ---- sample descriptions ----

void CZHDAvc1Atom::MapFields(FieldMap& fields) {
    fields.BigEndian(6, 2, dataReferenceIndex);
    fields.BigEndian(24, 2, width);
    fields.BigEndian(26, 2, height);
}
std::unique_ptr<CZHDAtom> CZHDAvc1Atom::CloneSelf() const {
    return CopyOf(*this);
}

namespace {
uint64_t SoundEntrySize(uint16_t soundVersion) {
    switch (soundVersion) {
        case 1:
            return CZHDMp4aAtom::kFixedSize + 16;
        case 2:
            return CZHDMp4aAtom::kFixedSize + 36;
        default:
            return CZHDMp4aAtom::kFixedSize;
    }
}
}  // namespace

uint32_t CZHDMp4aAtom::ReadData(IZHDFileCtrl& file) {
    MW_RETURN_IF_FAILED(LoadFixedPayload(file, kFixedSize));
    const uint64_t fullSize = SoundEntrySize(soundVersion);
    if (fullSize == kFixedSize) {
        return MW_OK;
    }
    return LoadFixedPayload(file, fullSize);
}
void CZHDMp4aAtom::MapFields(FieldMap& fields) {
    fields.BigEndian(6, 2, dataReferenceIndex);
    if (fields.decoding()) {
        // The version decides how long the entry is, so the one read is kept.
        fields.BigEndian(8, 2, soundVersion);
    }
    fields.BigEndian(16, 2, channelCount);
    fields.BigEndian(18, 2, sampleSizeBits);
    fields.BigEndian(24, 2, sampleRate);
}
std::unique_ptr<CZHDAtom> CZHDMp4aAtom::CloneSelf() const {
    return CopyOf(*this);
}

void CZHDStsdAtom::MapFields(FieldMap& fields) {
    fields.BigEndian(4, 4, entryCount);
}
std::unique_ptr<CZHDAtom> CZHDStsdAtom::CloneSelf() const {
    return CopyOf(*this);
}

// ---- versioned headers ----

uint32_t CZHDVersionedAtom::UpdateDataSize() {
    EnsurePayload(payload, MinimumPayload());
    dataSize = payload.size();
    return MW_OK;
}
uint32_t CZHDVersionedAtom::DecodeData() {
    if (payload.size() < 4 || payload.size() < MinimumPayload()) {
        return MW_NOT_ENOUGH_DATA;
    }
    FieldMap fields(payload, FieldMap::Direction::Decode);
    MapFields(fields);
    return MW_OK;
}
uint32_t CZHDVersionedAtom::EncodeData() {
    EnsurePayload(payload, MinimumPayload());
    FieldMap fields(payload, FieldMap::Direction::Encode);
    MapFields(fields);
    return MW_OK;
}

namespace {

// The fields of mvhd, tkhd and mdhd: offsets in version 0 and 1 payloads, widths.
using Field = CZHDVersionedAtom::Field;
constexpr Field kHeaderTimescale{12, 20};  // mvhd and mdhd
constexpr Field kHeaderDuration{16, 24, 4, 8};
constexpr Field kMovieNextTrackId{96, 108};
constexpr Field kTrackId{12, 20};
constexpr Field kTrackDuration{20, 28, 4, 8};
constexpr Field kTrackWidth{76, 88, 2, 2};  // integer parts of 16.16 values
constexpr Field kTrackHeight{80, 92, 2, 2};
constexpr Field kMediaLanguage{20, 32, 2, 2};

}  // namespace

void CZHDMvhdAtom::MapFields(FieldMap& fields) {
    Map(fields, kHeaderTimescale, timescale);
    Map(fields, kHeaderDuration, duration);
    Map(fields, kMovieNextTrackId, nextTrackId);
}
std::unique_ptr<CZHDAtom> CZHDMvhdAtom::CloneSelf() const {
    return CopyOf(*this);
}

void CZHDTkhdAtom::MapFields(FieldMap& fields) {
    Map(fields, kTrackId, trackId);
    Map(fields, kTrackDuration, duration);
    Map(fields, kTrackWidth, width);
    Map(fields, kTrackHeight, height);
}
std::unique_ptr<CZHDAtom> CZHDTkhdAtom::CloneSelf() const {
    return CopyOf(*this);
}

std::array<char, 3> CZHDMdhdAtom::DecodeLanguage(uint16_t packed) {
    return {static_cast<char>(((packed >> 10) & 0x1F) | 0x60),
            static_cast<char>(((packed >> 5) & 0x1F) | 0x60),
            static_cast<char>((packed & 0x1F) | 0x60)};
}
uint16_t CZHDMdhdAtom::EncodeLanguage(const std::array<char, 3>& letters) {
    auto bits = [](char c) {
        return static_cast<uint16_t>((static_cast<uint8_t>(c) - 0x60) & 0x1F);
    };
    return static_cast<uint16_t>((bits(letters[0]) << 10) | (bits(letters[1]) << 5) |
                                 bits(letters[2]));
}

void CZHDMdhdAtom::MapFields(FieldMap& fields) {
    Map(fields, kHeaderTimescale, timescale);
    Map(fields, kHeaderDuration, duration);
    uint16_t packedLanguage = EncodeLanguage(language);
    Map(fields, kMediaLanguage, packedLanguage);
    if (fields.decoding()) {
        language = DecodeLanguage(packedLanguage);
    }
}
std::unique_ptr<CZHDAtom> CZHDMdhdAtom::CloneSelf() const {
    return CopyOf(*this);
}

uint32_t CZHDHdlrAtom::DecodeData() {
    if (payload.size() < kMinimumPayload) {
        return MW_NOT_ENOUGH_DATA;
    }
    handlerType = FourCC::FromBytes(&payload[8]);
    return MW_OK;
}
uint32_t CZHDHdlrAtom::EncodeData() {
    EnsurePayload(payload, kMinimumPayload);
    std::copy(handlerType.bytes.begin(), handlerType.bytes.end(), payload.begin() + 8);
    return MW_OK;
}
uint32_t CZHDHdlrAtom::UpdateDataSize() {
    EnsurePayload(payload, kMinimumPayload);
    dataSize = payload.size();
    return MW_OK;
}
std::unique_ptr<CZHDAtom> CZHDHdlrAtom::CloneSelf() const {
    return CopyOf(*this);
}

// ---- esds ----

namespace {

// Descriptor tags of ISO 14496-1.
constexpr uint8_t kEsDescriptorTag = 0x03;
constexpr uint8_t kDecoderConfigTag = 0x04;
constexpr uint8_t kDecoderSpecificInfoTag = 0x05;

// A descriptor inside [cursor, end): its tag and the extent of its body. The length takes
// one to four bytes, seven bits each, the high bit saying another byte follows. A body that
// claims more than the enclosing descriptor holds is cut to what is there.
struct Descriptor {
    uint8_t tag = 0;
    size_t body = 0;
    size_t end = 0;
};

uint32_t NextDescriptor(const std::vector<uint8_t>& bytes, size_t cursor, size_t end,
                        Descriptor* out) {
    if (cursor >= end) {
        return MW_NOT_ENOUGH_DATA;
    }
    out->tag = bytes[cursor++];
    uint32_t length = 0;
    for (int i = 0;; ++i) {
        if (cursor >= end || i == 4) {
            return MW_NOT_ENOUGH_DATA;
        }
        const uint8_t b = bytes[cursor++];
        length = (length << 7) | (b & 0x7F);
        if ((b & 0x80) == 0) {
            break;
        }
    }
    out->body = cursor;
    out->end = cursor + std::min<size_t>(length, end - cursor);
    return MW_OK;
}

}  // namespace

uint32_t CZHDEsdsAtom::DecodeData() {
    hasDecoderConfig = false;
    objectTypeIndication = 0;
    decoderSpecificInfo.clear();
    if (payload.size() < 4) {
        return MW_NOT_ENOUGH_DATA;
    }
    const std::vector<uint8_t>& p = payload;
    Descriptor top;
    MW_RETURN_IF_FAILED(NextDescriptor(p, 4, p.size(), &top));
    size_t cursor = top.body;
    size_t scanEnd = top.end;
    if (top.tag == kEsDescriptorTag) {
        if (top.end - cursor < 3) {
            return MW_NOT_ENOUGH_DATA;
        }
        esId = LoadBE16(&p[cursor]);
        esFlags = p[cursor + 2];
        cursor += 3;
        if (esFlags & 0x80) {  // stream dependence: the ES ID depended on
            if (top.end - cursor < 2) {
                return MW_NOT_ENOUGH_DATA;
            }
            dependsOnEsId = LoadBE16(&p[cursor]);
            cursor += 2;
        }
        if (esFlags & 0x40) {  // URL: a length byte and that many characters
            if (top.end - cursor < 1 || top.end - cursor - 1 < p[cursor]) {
                return MW_NOT_ENOUGH_DATA;
            }
            url.assign(p.begin() + static_cast<long>(cursor) + 1,
                       p.begin() + static_cast<long>(cursor) + 1 + p[cursor]);
            cursor += 1 + p[cursor];
        }
        if (esFlags & 0x20) {  // OCR stream: its ES ID
            if (top.end - cursor < 2) {
                return MW_NOT_ENOUGH_DATA;
            }
            ocrEsId = LoadBE16(&p[cursor]);
            cursor += 2;
        }
    } else if (top.tag == kDecoderConfigTag) {
        // Some writers put the decoder configuration at the top level.
        cursor = 4;
        scanEnd = p.size();
    } else {
        return MW_OK;  // no decoder configuration: not an audio stream we know
    }
    while (cursor < scanEnd) {
        Descriptor sub;
        MW_RETURN_IF_FAILED(NextDescriptor(p, cursor, scanEnd, &sub));
        if (sub.tag == kDecoderConfigTag && !hasDecoderConfig) {
            if (sub.end - sub.body < 13) {
                return MW_NOT_ENOUGH_DATA;
            }
            const uint8_t* d = &p[sub.body];
            hasDecoderConfig = true;
            objectTypeIndication = d[0];
            streamType = d[1] >> 2;
            upStream = (d[1] >> 1) & 1;
            bufferSize = (uint32_t{d[2]} << 16) | (uint32_t{d[3]} << 8) | d[4];
            maxBitrate = LoadBE32(d + 5);
            averageBitrate = LoadBE32(d + 9);
            for (size_t inner = sub.body + 13; inner < sub.end;) {
                Descriptor info;
                MW_RETURN_IF_FAILED(NextDescriptor(p, inner, sub.end, &info));
                if (info.tag == kDecoderSpecificInfoTag) {
                    decoderSpecificInfo.assign(p.begin() + static_cast<long>(info.body),
                                               p.begin() + static_cast<long>(info.end));
                    break;
                }
                inner = info.end;
            }
        }
        cursor = sub.end;
    }
    return MW_OK;
}
std::unique_ptr<CZHDAtom> CZHDEsdsAtom::CloneSelf() const {
    return CopyOf(*this);
}

}  // namespace moovwright
