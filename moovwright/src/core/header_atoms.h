#pragma once
// The structural and descriptive atoms: containers, media data, sample descriptions and the
// movie, track, media and handler headers, plus the elementary stream descriptor.
//
// Typed fields are decoded from the payload when it is read and stored back at the same
// offsets when the atom is written, so changed fields are written and every other payload
// byte stays as read.

#include <string>

#include "core/atom.h"

namespace moovwright {

// moov, trak, mdia, minf, stbl: no payload, everything after the header is children.
class CZHDContainerAtom : public CZHDAtom {
public:
    using CZHDAtom::CZHDAtom;
    uint32_t ReadData(IZHDFileCtrl& file) override;
    std::unique_ptr<CZHDAtom> CloneSelf() const override;
};

// mdat, zqdt: the media data is never loaded and has no children. Writing one writes its
// header only: the samples are written after it by whoever lays out the file.
class CZHDMdatAtom : public CZHDAtom {
public:
    using CZHDAtom::CZHDAtom;
    uint32_t ReadData(IZHDFileCtrl& file) override;
    uint32_t ReadChildren(IZHDFileCtrl& file, ReadContext& context) override;
    uint32_t WriteData(IZHDFileCtrl& file) override;
    std::unique_ptr<CZHDAtom> CloneSelf() const override;
};

// avc1 sample entry: the 78 bytes of the visual sample entry, then children (avcC, ...).
class CZHDAvc1Atom : public CZHDFixedPartAtom<78, false> {
public:
    using CZHDFixedPartAtom<78, false>::CZHDFixedPartAtom;
    std::unique_ptr<CZHDAtom> CloneSelf() const override;

    uint16_t dataReferenceIndex = 1;
    uint16_t width = 0;
    uint16_t height = 0;

protected:
    void MapFields(FieldMap& fields) override;
};

// mp4a sample entry: the 28 bytes of the audio sample entry, then children (esds). The
// QuickTime sound description versions 1 and 2 carry 16 and 36 more bytes before the
// children; they are kept as part of the payload.
class CZHDMp4aAtom : public CZHDFixedPartAtom<28, false> {
public:
    using CZHDFixedPartAtom<28, false>::CZHDFixedPartAtom;
    uint32_t ReadData(IZHDFileCtrl& file) override;
    std::unique_ptr<CZHDAtom> CloneSelf() const override;

    uint16_t dataReferenceIndex = 1;
    uint16_t soundVersion = 0;
    uint16_t channelCount = 2;
    uint16_t sampleSizeBits = 16;
    uint32_t sampleRate = 0;  // integer part of the 16.16 rate

protected:
    void MapFields(FieldMap& fields) override;
};

// stsd: version/flags and entry count (8 bytes), then the sample entries as children.
class CZHDStsdAtom : public CZHDFixedPartAtom<8, true> {
public:
    using CZHDFixedPartAtom<8, true>::CZHDFixedPartAtom;
    std::unique_ptr<CZHDAtom> CloneSelf() const override;

    uint32_t entryCount = 0;

protected:
    void MapFields(FieldMap& fields) override;
};

// Common base of the full-box headers whose field offsets depend on the version byte.
class CZHDVersionedAtom : public CZHDAtom {
public:
    // Where a big-endian field of a versioned header sits in a version 0 and in a version 1
    // payload, and its width in bytes in each (times and durations widen from 4 to 8 bytes).
    struct Field {
        uint32_t offset0;
        uint32_t offset1;
        uint32_t width0 = 4;
        uint32_t width1 = 4;
    };

    using CZHDAtom::CZHDAtom;
    uint32_t DecodeData() override;
    uint32_t EncodeData() override;
    uint32_t UpdateDataSize() override;
    uint8_t version() const { return payload.empty() ? 0 : payload[0]; }

protected:
    // Smallest payload that holds every decoded field for the current version.
    virtual uint64_t MinimumPayload() const = 0;
    // Shows `fields` each typed field (Map) with its place.
    virtual void MapFields(FieldMap& fields) = 0;
    // Shows `fields` the member at the field's place for the payload's version.
    template <class T>
    void Map(FieldMap& fields, const Field& field, T& member) const {
        const bool wide = version() == 1;
        fields.BigEndian(wide ? field.offset1 : field.offset0, wide ? field.width1 : field.width0,
                         member);
    }
};

// mvhd, versions 0 (32-bit times) and 1 (64-bit times).
class CZHDMvhdAtom : public CZHDVersionedAtom {
public:
    using CZHDVersionedAtom::CZHDVersionedAtom;
    std::unique_ptr<CZHDAtom> CloneSelf() const override;

    uint32_t timescale = 0;
    uint64_t duration = 0;
    uint32_t nextTrackId = 0;

protected:
    uint64_t MinimumPayload() const override { return version() == 1 ? 112 : 100; }
    void MapFields(FieldMap& fields) override;
};

// tkhd, versions 0 and 1.
class CZHDTkhdAtom : public CZHDVersionedAtom {
public:
    using CZHDVersionedAtom::CZHDVersionedAtom;
    std::unique_ptr<CZHDAtom> CloneSelf() const override;

    uint32_t trackId = 0;
    uint64_t duration = 0;
    uint16_t width = 0;   // integer part of the 16.16 width
    uint16_t height = 0;  // integer part of the 16.16 height

protected:
    uint64_t MinimumPayload() const override { return version() == 1 ? 96 : 84; }
    void MapFields(FieldMap& fields) override;
};

// mdhd, versions 0 and 1. The language is three letters a-z packed 5 bits each.
class CZHDMdhdAtom : public CZHDVersionedAtom {
public:
    using CZHDVersionedAtom::CZHDVersionedAtom;
    std::unique_ptr<CZHDAtom> CloneSelf() const override;

    uint32_t timescale = 0;
    uint64_t duration = 0;
    std::array<char, 3> language{'u', 'n', 'd'};

    static std::array<char, 3> DecodeLanguage(uint16_t packed);
    static uint16_t EncodeLanguage(const std::array<char, 3>& letters);

protected:
    uint64_t MinimumPayload() const override { return version() == 1 ? 34 : 24; }
    void MapFields(FieldMap& fields) override;
};

// hdlr: the handler type ("vide", "soun", ...).
class CZHDHdlrAtom : public CZHDAtom {
public:
    static constexpr uint64_t kMinimumPayload = 24;
    using CZHDAtom::CZHDAtom;
    uint32_t DecodeData() override;
    uint32_t EncodeData() override;
    uint32_t UpdateDataSize() override;
    std::unique_ptr<CZHDAtom> CloneSelf() const override;

    FourCC handlerType;
};

// esds: the MPEG-4 elementary stream descriptor of an mp4a entry (ISO 14496-1). Descriptor
// lengths use the expandable form (1 to 4 bytes, high bit = more follows) and the ES
// descriptor's optional fields are skipped as its flags say. The payload is written back
// unchanged.
class CZHDEsdsAtom : public CZHDAtom {
public:
    using CZHDAtom::CZHDAtom;
    uint32_t DecodeData() override;
    std::unique_ptr<CZHDAtom> CloneSelf() const override;

    uint16_t esId = 0;
    uint8_t esFlags = 0;
    uint16_t dependsOnEsId = 0;
    std::string url;
    uint16_t ocrEsId = 0;
    bool hasDecoderConfig = false;
    uint8_t objectTypeIndication = 0;  // 0x40 MPEG-4 audio, 0x66-0x68 MPEG-2 AAC, 0x6B MP3
    uint8_t streamType = 0;
    uint8_t upStream = 0;
    uint32_t bufferSize = 0;
    uint32_t maxBitrate = 0;
    uint32_t averageBitrate = 0;
    std::vector<uint8_t> decoderSpecificInfo;  // the AudioSpecificConfig for AAC
};

}  // namespace moovwright
