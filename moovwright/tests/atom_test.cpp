// Atom headers and sizes, the factory, cloning, writing back, file access and result texts.

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>

#include "core/atom.h"
#include "core/header_atoms.h"
#include "core/layout_atoms.h"
#include "core/movie.h"
#include "core/table_atoms.h"
#include "test_support.h"

namespace moovwright {
namespace {

using namespace test;

const Bytes kFtyp = Box("ftyp", {Text("isom"), U32(0x200), Text("isom")});

uint32_t ReadOne(const Bytes& bytes, std::unique_ptr<CZHDAtom>* out) {
    CZHDMemoryFileCtrl file(bytes);
    ReadContext context;
    context.rangeEnd = bytes.size();
    return ReadAtomAt(file, 0, context, out);
}

TEST(AtomHeader, SizeRules) {
    std::unique_ptr<CZHDAtom> atom;
    // A size field of 0 runs to the end of the enclosing range (here the file).
    Bytes toEnd = Join({U32(0), Text("free"), Zeros(100)});
    ASSERT_EQ(ReadOne(toEnd, &atom), MW_OK);
    EXPECT_EQ(atom->size, 108u);
    EXPECT_EQ(atom->headerSize, 8u);
    // 64-bit sizes: 16-byte header; below 16 is refused.
    Bytes large = LargeBox("free", {Zeros(20)});
    ASSERT_EQ(ReadOne(large, &atom), MW_OK);
    EXPECT_EQ(atom->size, 36u);
    EXPECT_EQ(atom->headerSize, 16u);
    EXPECT_EQ(atom->dataSize, 20u);
    Bytes tooSmall64 = Join({U32(1), Text("free"), U64(8), Zeros(8)});
    EXPECT_EQ(ReadOne(tooSmall64, &atom), MW_BAD_ATOM_SIZE);
    Bytes five = Join({U32(5), Text("free"), Zeros(8)});
    EXPECT_EQ(ReadOne(five, &atom), MW_BAD_ATOM_SIZE);
    // Claims more bytes than the file has.
    Bytes truncated = Join({U32(64), Text("free"), Zeros(10)});
    EXPECT_EQ(ReadOne(truncated, &atom), MW_NOT_ENOUGH_DATA);
    // A child that reaches past its parent.
    Bytes overhang = Box("moov", {Join({U32(40), Text("free"), Zeros(8)})});
    EXPECT_EQ(ReadOne(Join({overhang, Zeros(40)}), &atom), MW_BAD_ATOM_SIZE);
    // A huge 64-bit size must not wrap the bounds check.
    Bytes wrap = Join({U32(1), Text("free"), U64(~uint64_t{0}), Zeros(8)});
    EXPECT_EQ(ReadOne(wrap, &atom), MW_NOT_ENOUGH_DATA);
}

TEST(AtomHeader, ContainerChildrenAndTrailingPadding) {
    // Four stray bytes after the last child (some writers pad udta-like lists) are ignored.
    Bytes moov = Box("moov", {Mvhd(600, 2), Box("free", {Zeros(3)}), Zeros(4)});
    std::unique_ptr<CZHDAtom> atom;
    ASSERT_EQ(ReadOne(moov, &atom), MW_OK);
    ASSERT_EQ(atom->children.size(), 2u);
    EXPECT_EQ(atom->dataSize, 0u);
    EXPECT_EQ(atom->childrenSize, moov.size() - 8);
    auto* mvhd = As<CZHDMvhdAtom>(atom->children[0].get());
    ASSERT_NE(mvhd, nullptr);
    EXPECT_EQ(mvhd->timescale, 600u);
    EXPECT_EQ(mvhd->position, 8u);
    EXPECT_EQ(atom->consumed, atom->size);
}

TEST(AtomHeader, NestingAndAtomCountAreBounded) {
    Bytes nested = Box("free", {});
    for (int i = 0; i < 40; ++i) {
        nested = Box("moov", {nested});
    }
    std::unique_ptr<CZHDAtom> atom;
    EXPECT_EQ(ReadOne(nested, &atom), MW_UNSUPPORTED);

    Bytes many;
    for (uint32_t i = 0; i < kMaxAtomsPerRead + 10; ++i) {
        many.insert(many.end(), {0, 0, 0, 8, 'f', 'r', 'e', 'e'});
    }
    EXPECT_EQ(ReadOne(Box("moov", {many}), &atom), MW_UNSUPPORTED);
}

TEST(AtomFactory, ClassesByTypeIgnoringCase) {
    std::unique_ptr<CZHDAtom> atom;
    ASSERT_EQ(CreateAtom("STBL", &atom), MW_OK);
    EXPECT_NE(As<CZHDContainerAtom>(atom.get()), nullptr);
    EXPECT_EQ(atom->type.ToString(), "STBL");  // the file's spelling is kept
    ASSERT_EQ(CreateAtom("Co64", &atom), MW_OK);
    EXPECT_NE(As<CZHDCo64Atom>(atom.get()), nullptr);
    ASSERT_EQ(CreateAtom("zqhd", &atom), MW_OK);
    EXPECT_NE(As<CZHDZqhdAtom>(atom.get()), nullptr);
    ASSERT_EQ(CreateAtom("udta", &atom), MW_OK);
    EXPECT_EQ(typeid(*atom), typeid(CZHDAtom));

    Bytes avc1 = Box("avc1", {Zeros(78), Box("AVCC", {Zeros(7)}), Box("btrt", {Zeros(12)})});
    ASSERT_EQ(ReadOne(avc1, &atom), MW_OK);
    CZHDAtom* found = nullptr;
    uint32_t index = 99;
    EXPECT_EQ(FindChild(atom->children, "avcC", 0, &found, &index), MW_OK);
    EXPECT_EQ(index, 0u);
    EXPECT_EQ(FindChild(atom->children, "avcC", 1, &found), MW_ATOM_NOT_FOUND);
    EXPECT_EQ(FindChild(atom->children, "pasp", 0, &found), MW_ATOM_NOT_FOUND);
    EXPECT_EQ(FindChild(atom->children, "btrt", 0, nullptr), MW_NULL_POINTER);
}

TEST(AtomFactory, FixedPayloadEntriesNeedTheirBytes) {
    std::unique_ptr<CZHDAtom> atom;
    EXPECT_EQ(ReadOne(Box("avc1", {Zeros(77)}), &atom), MW_NOT_ENOUGH_DATA);
    EXPECT_EQ(ReadOne(Box("mp4a", {Zeros(27)}), &atom), MW_NOT_ENOUGH_DATA);
    EXPECT_EQ(ReadOne(Box("stsd", {Zeros(7)}), &atom), MW_NOT_ENOUGH_DATA);
    // A QuickTime version-1 sound description keeps its 16 extra bytes out of the children.
    Bytes mp4aV1 = Box("mp4a", {Zeros(8), U16(1), Zeros(6), U16(2), U16(16), Zeros(4), U16(44100),
                                U16(0), Zeros(16), Box("esds", {Zeros(4), Bytes{0x13, 0}})});
    ASSERT_EQ(ReadOne(mp4aV1, &atom), MW_OK);
    auto* mp4a = As<CZHDMp4aAtom>(atom.get());
    EXPECT_EQ(mp4a->dataSize, 44u);
    EXPECT_EQ(mp4a->sampleRate, 44100u);
    ASSERT_EQ(atom->children.size(), 1u);
    EXPECT_TRUE(atom->children[0]->type.Is("esds"));
}

TEST(AtomPayload, LargeGenericPayloadsAreNotLoadedAndNotWrittenHalf) {
    const size_t tenMiB = kMaxLoadedPayload;
    std::unique_ptr<CZHDAtom> atom;
    ASSERT_EQ(ReadOne(Box("udta", {Zeros(tenMiB)}), &atom), MW_OK);
    EXPECT_TRUE(atom->PayloadLoaded());
    ASSERT_EQ(ReadOne(Box("udta", {Zeros(tenMiB + 1024 * 1024)}), &atom), MW_OK);
    EXPECT_FALSE(atom->PayloadLoaded());
    EXPECT_EQ(atom->dataSize, tenMiB + 1024 * 1024);
    // Writing only the header would leave a broken file behind: refused.
    CZHDMemoryFileCtrl out;
    EXPECT_EQ(atom->Write(out), MW_UNSUPPORTED);
}

TEST(AtomWrite, RoundTripKeepsBytesAndWritesChangedFields) {
    const Bytes trak = Trak(1, "vide", 90000,
                            Join({SimpleStsd(), Stts({{3, 3000}}), Stsc({{1, 3, 1}}),
                                  Stsz(0, 3, {10, 20, 30}), Stco({100})}));
    const Bytes moov = Box("moov", {Mvhd(1000, 2), trak, Box("udta", {Text("operator title")})});
    std::unique_ptr<CZHDAtom> atom;
    ASSERT_EQ(ReadOne(moov, &atom), MW_OK);
    CZHDMemoryFileCtrl out;
    ASSERT_EQ(atom->Write(out), MW_OK);
    EXPECT_EQ(out.bytes(), moov);

    // Changed fields and a resized table are written with their new values and sizes.
    CZHDAtom* stbl = atom->Child("trak")->Child("mdia")->Child("minf")->Child("stbl");
    auto* stco = As<CZHDStcoAtom>(stbl->Child("stco"));
    stco->entries = {500, 510, 530};
    As<CZHDMdhdAtom>(atom->Child("trak")->Child("mdia")->Child("mdhd"))->timescale = 48000;
    CZHDMemoryFileCtrl rewritten;
    ASSERT_EQ(atom->Write(rewritten), MW_OK);
    EXPECT_EQ(rewritten.bytes().size(), moov.size() + 8);
    std::unique_ptr<CZHDAtom> again;
    ASSERT_EQ(ReadOne(rewritten.bytes(), &again), MW_OK);
    CZHDAtom* stbl2 = again->Child("trak")->Child("mdia")->Child("minf")->Child("stbl");
    EXPECT_EQ(As<CZHDStcoAtom>(stbl2->Child("stco"))->entries,
              (std::vector<uint32_t>{500, 510, 530}));
    EXPECT_EQ(As<CZHDMdhdAtom>(again->Child("trak")->Child("mdia")->Child("mdhd"))->timescale,
              48000u);
    EXPECT_EQ(again->Child("udta")->payload, Text("operator title"));
}

TEST(AtomWrite, HeaderForms) {
    CZHDAtom atom("free");
    atom.payload = Zeros(4);
    atom.dataSize = 4;
    atom.headerSize = 16;
    CZHDMemoryFileCtrl out;
    ASSERT_EQ(atom.Write(out), MW_OK);
    EXPECT_EQ(out.bytes(), Join({U32(1), Text("free"), U64(20), Zeros(4)}));
    // A size that needs 64 bits is never written wrapped into the 8-byte form.
    CZHDMdatAtom mdat("mdat");
    mdat.dataSize = uint64_t{5} << 30;
    CZHDMemoryFileCtrl out2;
    EXPECT_EQ(mdat.Write(out2), MW_BAD_ATOM_SIZE);
    mdat.headerSize = 16;
    ASSERT_EQ(mdat.Write(out2), MW_OK);
    EXPECT_EQ(out2.bytes(), Join({U32(1), Text("mdat"), U64((uint64_t{5} << 30) + 16)}));
}

TEST(AtomWrite, NewFixedAtomsGetTheirPayload) {
    CZHDTkhdAtom tkhd("tkhd");
    tkhd.trackId = 7;
    tkhd.width = 640;
    CZHDMemoryFileCtrl out;
    ASSERT_EQ(tkhd.Write(out), MW_OK);
    ASSERT_EQ(out.bytes().size(), 92u);
    std::unique_ptr<CZHDAtom> back;
    ASSERT_EQ(ReadOne(out.bytes(), &back), MW_OK);
    EXPECT_EQ(As<CZHDTkhdAtom>(back.get())->trackId, 7u);
    EXPECT_EQ(As<CZHDTkhdAtom>(back.get())->width, 640u);
}

TEST(AtomClone, DeepCopiesKeepClassAndFields) {
    Bytes stsd = Box("stsd", {U32(0), U32(1), Box("avc1", {Zeros(78), Box("avcC", {Zeros(9)})})});
    std::unique_ptr<CZHDAtom> atom;
    ASSERT_EQ(ReadOne(stsd, &atom), MW_OK);
    std::unique_ptr<CZHDAtom> shallow, deep;
    ASSERT_EQ(CloneAtom(*atom, false, &shallow), MW_OK);
    EXPECT_TRUE(shallow->children.empty());
    EXPECT_EQ(shallow->childrenSize, 0u);
    ASSERT_EQ(CloneAtom(*atom, true, &deep), MW_OK);
    EXPECT_EQ(As<CZHDStsdAtom>(deep.get())->entryCount, 1u);
    ASSERT_EQ(deep->children.size(), 1u);
    EXPECT_NE(As<CZHDAvc1Atom>(deep->children[0].get()), nullptr);
    CZHDMemoryFileCtrl out;
    ASSERT_EQ(deep->Write(out), MW_OK);
    EXPECT_EQ(out.bytes(), stsd);

    for (FourCC privateType : {FourCC("zqhd"), FourCC("zqtk"), FourCC("kyct"), FourCC("sbix"),
                               FourCC("spif"), FourCC("spix"), FourCC("zqdt")}) {
        std::unique_ptr<CZHDAtom> source, copy;
        ASSERT_EQ(CreateAtom(privateType, &source), MW_OK);
        EXPECT_EQ(CloneAtom(*source, true, &copy), MW_UNSUPPORTED) << privateType.ToString();
    }
}

TEST(AtomParse, MemoryPathFollowsTheFileRules) {
    const Bytes moov = Box("moov", {Mvhd(1000, 2), Join({U32(0), Text("free"), Zeros(12)})});
    CZHDContainerAtom atom("moov");
    ASSERT_EQ(atom.Parse(moov.data(), moov.size(), 1000, 1000 + moov.size()), MW_OK);
    EXPECT_EQ(atom.position, 1000u);
    ASSERT_EQ(atom.children.size(), 2u);
    EXPECT_EQ(atom.children[1]->size, 20u);  // size 0: to the end of the enclosing range
    EXPECT_EQ(atom.children[1]->position, 1000u + 8 + 108);
    CZHDContainerAtom cut("moov");
    EXPECT_EQ(cut.Parse(moov.data(), 50, 0, moov.size()), MW_NOT_ENOUGH_DATA);
    EXPECT_EQ(cut.Parse(nullptr, 50, 0, moov.size()), MW_NULL_POINTER);
}

TEST(MdhdLanguage, PacksThreeLetters) {
    EXPECT_EQ(CZHDMdhdAtom::EncodeLanguage({'u', 'n', 'd'}), 0x55C4);
    EXPECT_EQ(CZHDMdhdAtom::EncodeLanguage({'e', 'n', 'g'}), 0x15C7);
    const auto letters = CZHDMdhdAtom::DecodeLanguage(0x15C7);
    EXPECT_EQ(std::string(letters.begin(), letters.end()), "eng");
}

// ---- esds ----

uint32_t DecodeEsds(const Bytes& body, CZHDEsdsAtom* esds) {
    esds->payload = Join({Zeros(4), body});
    return esds->DecodeData();
}

Bytes DecoderConfig(uint8_t objectType, bool expandable) {
    const Bytes specific = {0x12, 0x10};
    const Bytes info = expandable ? Join({U8(0x05), Bytes{0x80, 0x80, 0x80, 2}, specific})
                                  : Join({U8(0x05), U8(2), specific});
    const Bytes body =
        Join({U8(objectType), U8(0x15), Bytes{0, 0x18, 0}, U32(128000), U32(96000), info});
    return expandable
               ? Join({U8(0x04), Bytes{0x80, 0x80, 0x80, static_cast<uint8_t>(body.size())}, body})
               : Join({U8(0x04), U8(static_cast<uint8_t>(body.size())), body});
}

Bytes EsDescriptor(uint8_t flags, const Bytes& optional, const Bytes& config, bool expandable) {
    const Bytes sl = Bytes{0x06, 0x01, 0x02};
    const Bytes body = Join({U16(1), U8(flags), optional, config, sl});
    return expandable
               ? Join({U8(0x03), Bytes{0x80, 0x80, 0x80, static_cast<uint8_t>(body.size())}, body})
               : Join({U8(0x03), U8(static_cast<uint8_t>(body.size())), body});
}

TEST(Esds, ExpandableLengthsAsFfmpegWritesThem) {
    CZHDEsdsAtom esds("esds");
    ASSERT_EQ(DecodeEsds(EsDescriptor(0, {}, DecoderConfig(0x40, true), true), &esds), MW_OK);
    EXPECT_TRUE(esds.hasDecoderConfig);
    EXPECT_EQ(esds.objectTypeIndication, 0x40);
    EXPECT_EQ(esds.streamType, 5);
    EXPECT_EQ(esds.bufferSize, 0x1800u);
    EXPECT_EQ(esds.maxBitrate, 128000u);
    EXPECT_EQ(esds.averageBitrate, 96000u);
    EXPECT_EQ(esds.decoderSpecificInfo, (Bytes{0x12, 0x10}));

    ASSERT_EQ(DecodeEsds(EsDescriptor(0, {}, DecoderConfig(0x6B, false), false), &esds), MW_OK);
    EXPECT_EQ(esds.objectTypeIndication, 0x6B);
}

TEST(Esds, OptionalFieldsFollowTheFlags) {
    CZHDEsdsAtom esds("esds");
    // Stream dependence: a 2-byte ES ID; URL: a length and the text; OCR: a 2-byte ES ID.
    const Bytes optional = Join({U16(7), U8(3), Text("abc"), U16(9)});
    ASSERT_EQ(
        DecodeEsds(EsDescriptor(0x80 | 0x40 | 0x20, optional, DecoderConfig(0x67, true), false),
                   &esds),
        MW_OK);
    EXPECT_EQ(esds.dependsOnEsId, 7);
    EXPECT_EQ(esds.url, "abc");
    EXPECT_EQ(esds.ocrEsId, 9);
    EXPECT_EQ(esds.objectTypeIndication, 0x67);

    ASSERT_EQ(DecodeEsds(EsDescriptor(0x20, U16(9), DecoderConfig(0x40, false), true), &esds),
              MW_OK);
    EXPECT_EQ(esds.objectTypeIndication, 0x40);
}

TEST(Esds, DamagedDescriptorsGiveResultCodes) {
    CZHDEsdsAtom esds("esds");
    // A length that never ends (five continuation bytes).
    EXPECT_EQ(DecodeEsds(Bytes{0x03, 0x80, 0x80, 0x80, 0x80, 0x05, 0, 1, 0}, &esds),
              MW_NOT_ENOUGH_DATA);
    // A decoder configuration cut short.
    EXPECT_EQ(
        DecodeEsds(Join({Bytes{0x03, 9}, U16(1), U8(0), Bytes{0x04, 4, 0x40, 0x15, 0, 0}}), &esds),
        MW_NOT_ENOUGH_DATA);
    // A URL longer than the descriptor.
    EXPECT_EQ(DecodeEsds(Join({Bytes{0x03, 5}, U16(1), U8(0x40), U8(200), U8('a')}), &esds),
              MW_NOT_ENOUGH_DATA);
    // No ES descriptor at all: decodes, but there is no AAC configuration.
    ASSERT_EQ(DecodeEsds(Bytes{0x13, 0}, &esds), MW_OK);
    EXPECT_FALSE(esds.hasDecoderConfig);
    EXPECT_EQ(DecodeEsds(Bytes{}, &esds), MW_NOT_ENOUGH_DATA);
}

// ---- movie open ----

TEST(MovieOpen, KindsAndTopLevelScan) {
    auto plain =
        OpenMemoryMovie(Join({kFtyp, Box("moov", {Mvhd(1000, 1)}), Box("mdat", {Zeros(16)})}));
    ASSERT_EQ(plain->openResult, MW_OK);
    EXPECT_EQ(plain->movie.kind, kMoviePlain);
    EXPECT_EQ(plain->movie.atoms.size(), 2u);  // the scan stops at moov
    EXPECT_EQ(plain->movie.data, nullptr);

    auto moovLast = OpenMemoryMovie(
        Join({kFtyp, Box("free", {}), Box("mdat", {Zeros(16)}), Box("moov", {Mvhd(1000, 1)})}));
    ASSERT_EQ(moovLast->openResult, MW_OK);
    ASSERT_NE(moovLast->movie.data, nullptr);
    EXPECT_TRUE(moovLast->movie.data->type.Is("mdat"));
    EXPECT_EQ(moovLast->movie.data->dataSize, 16u);
    EXPECT_TRUE(moovLast->movie.data->payload.empty());

    const Bytes zqhd = Box("zqhd", {U32(0), U32(10), U32(1), U32(3), Text("sbix")});
    auto streaming = OpenMemoryMovie(Join({kFtyp, Box("moov", {Mvhd(1000, 1), zqhd})}));
    ASSERT_EQ(streaming->openResult, MW_OK);
    EXPECT_EQ(streaming->movie.kind, kMovieStreaming);
    auto headerOnly = OpenMemoryMovie(zqhd);
    ASSERT_EQ(headerOnly->openResult, MW_OK);
    EXPECT_EQ(headerOnly->movie.kind, kMovieHeaderOnly);
    const Bytes otherFlag = Box("zqhd", {U32(1), U32(10), U32(1), U32(3), Text("sbix")});
    EXPECT_EQ(OpenMemoryMovie(otherFlag)->openResult, MW_UNSUPPORTED);
    EXPECT_EQ(OpenMemoryMovie(Join({kFtyp, Box("free", {})}))->openResult, MW_UNSUPPORTED);
}

TEST(MovieOpen, NotAnMp4) {
    EXPECT_EQ(OpenMemoryMovie(Join({Box("free", {}), kFtyp}))->openResult, MW_NOT_MP4);
    EXPECT_EQ(OpenMemoryMovie(Text("hello, world\n"))->openResult, MW_NOT_MP4);
    EXPECT_EQ(OpenMemoryMovie(Bytes{})->openResult, MW_NOT_MP4);
    EXPECT_EQ(OpenMemoryMovie(Text("ftyp"))->openResult, MW_NOT_MP4);
}

// ---- file access ----

// A file written front to back with direct writes and write-behind holds exactly the bytes
// written, whether it ends mid-chunk, is rewritten after a seek back (which ends direct
// writing while a chunk is still being written) or is written in pieces of every size.
// Three full chunks and a partial one take each of the two direct buffers more than once.
TEST(PosixFile, DirectAndWriteBehindWritesKeepEveryByte) {
    TempDir dir;
    Bytes expected;
    for (size_t i = 0; i < (size_t{27} << 20) + 12345; ++i) {
        expected.push_back(static_cast<uint8_t>(i * 31 + (i >> 13)));
    }
    for (const bool seekBack : {false, true}) {
        SCOPED_TRACE(seekBack ? "with a seek back" : "front to back");
        const std::string path = (dir.path() / (seekBack ? "b.bin" : "a.bin")).string();
        CZHDPosixFileCtrl file;
        ASSERT_EQ(file.Open(path.c_str(), true), MW_OK);
        file.EnableWriteBehind();
        file.EnableDirectWrites();
        size_t at = 0;
        for (size_t piece = 1; at < expected.size(); piece = piece * 3 % 9000001 + 1) {
            const size_t n = std::min(piece, expected.size() - at);
            ASSERT_EQ(file.Write(expected.data() + at, n), MW_OK);
            at += n;
        }
        if (seekBack) {
            ASSERT_EQ(file.Seek(100), MW_OK);
            ASSERT_EQ(file.Write("rewritten", 9), MW_OK);
            std::memcpy(expected.data() + 100, "rewritten", 9);
        }
        ASSERT_EQ(file.Close(), MW_OK);
        std::ifstream in(path, std::ios::binary);
        const Bytes written((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        EXPECT_TRUE(written == expected);
    }
}

TEST(PosixFile, OpenReadWriteSeek) {
    TempDir dir;
    const std::string path = (dir.path() / "a file with 'quotes' and %d.bin").string();
    CZHDPosixFileCtrl file;
    EXPECT_EQ(file.Open(nullptr, false), MW_E_POINTER);
    EXPECT_EQ(file.Open((dir.path() / "missing").c_str(), false), MW_FAIL);
    EXPECT_EQ(file.Open(dir.path().c_str(), false), MW_FAIL);  // a folder is not a file
    EXPECT_EQ(file.Seek(0), MW_E_FAIL);
    ASSERT_EQ(file.Open(path.c_str(), true), MW_OK);
    EXPECT_EQ(file.Open(path.c_str(), true), MW_E_FAIL);
    EXPECT_TRUE(file.IsWriting());
    Bytes big(3 << 20);
    for (size_t i = 0; i < big.size(); ++i) {
        big[i] = static_cast<uint8_t>(i * 7);
    }
    ASSERT_EQ(file.Write("head", 4), MW_OK);
    ASSERT_EQ(file.Write(big.data(), big.size()), MW_OK);
    ASSERT_EQ(file.Write("tail", 4), MW_OK);
    EXPECT_EQ(file.Tell(), big.size() + 8);
    ASSERT_EQ(file.Seek(0), MW_OK);  // overwrite the start after the rest
    ASSERT_EQ(file.Write("HEAD", 4), MW_OK);
    uint64_t size = 0;
    ASSERT_EQ(file.GetSize(&size), MW_OK);
    EXPECT_EQ(size, big.size() + 8);
    ASSERT_EQ(file.Sync(), MW_OK);
    ASSERT_EQ(file.Close(), MW_OK);
    EXPECT_EQ(file.Close(), MW_OK);

    ASSERT_EQ(file.Open(path.c_str(), false), MW_OK);
    EXPECT_FALSE(file.IsWriting());
    EXPECT_EQ(file.Write("x", 1), MW_FAIL);
    char head[4];
    size_t got = 0;
    ASSERT_EQ(file.Read(head, 4, &got), MW_OK);
    EXPECT_EQ(std::memcmp(head, "HEAD", 4), 0);
    ASSERT_EQ(file.Seek(4 + big.size()), MW_OK);
    char tail[16];
    ASSERT_EQ(file.Read(tail, sizeof tail, &got), MW_OK);
    EXPECT_EQ(got, 4u);  // a short read at the end is not an error
    EXPECT_EQ(file.Tell(), big.size() + 8);
    Bytes middle(big.size());
    ASSERT_EQ(file.Seek(4), MW_OK);
    ASSERT_EQ(file.Read(middle.data(), middle.size(), &got), MW_OK);
    EXPECT_EQ(middle, big);
}

TEST(ResultTexts, EveryCodeHasItsText) {
    EXPECT_STREQ(ResultText(MW_OK), "成功");
    EXPECT_STREQ(ResultText(MW_NOT_ENOUGH_DATA), "数据不足");
    EXPECT_STREQ(ResultText(MW_SAMPLE_POS_MISMATCH), "sample pos不一致");
    EXPECT_STREQ(ResultText(MW_DURATION_MISMATCH), "各轨播放时间差异过大");
    EXPECT_STREQ(ResultText(28), "未知错误");
    EXPECT_STREQ(ResultText(99), "未知错误");
    EXPECT_STREQ(ResultText(MW_E_FAIL), "未知错误");
}

}  // namespace
}  // namespace moovwright
