// CreateAtom: the class that handles each atom type.

#include <new>

#include "core/atom.h"
#include "core/header_atoms.h"
#include "core/layout_atoms.h"
#include "core/table_atoms.h"

namespace moovwright {

namespace {

template <class T>
std::unique_ptr<CZHDAtom> Make(FourCC type) {
    return std::make_unique<T>(type);
}

using Maker = std::unique_ptr<CZHDAtom> (*)(FourCC);

struct FactoryEntry {
    FourCC type;
    Maker make;
};

const FactoryEntry kFactory[] = {
    {"moov", Make<CZHDContainerAtom>}, {"trak", Make<CZHDContainerAtom>},
    {"mdia", Make<CZHDContainerAtom>}, {"minf", Make<CZHDContainerAtom>},
    {"stbl", Make<CZHDContainerAtom>}, {"mdat", Make<CZHDMdatAtom>},
    {"zqdt", Make<CZHDMdatAtom>},      {"avc1", Make<CZHDAvc1Atom>},
    {"mp4a", Make<CZHDMp4aAtom>},      {"stsd", Make<CZHDStsdAtom>},
    {"mvhd", Make<CZHDMvhdAtom>},      {"tkhd", Make<CZHDTkhdAtom>},
    {"mdhd", Make<CZHDMdhdAtom>},      {"hdlr", Make<CZHDHdlrAtom>},
    {"esds", Make<CZHDEsdsAtom>},      {"stts", Make<CZHDSttsAtom>},
    {"ctts", Make<CZHDCttsAtom>},      {"stss", Make<CZHDStssAtom>},
    {"stsc", Make<CZHDStscAtom>},      {"stsz", Make<CZHDStszAtom>},
    {"stco", Make<CZHDStcoAtom>},      {"co64", Make<CZHDCo64Atom>},
    {"zqhd", Make<CZHDZqhdAtom>},      {"zqtk", Make<CZHDZqtkAtom>},
    {"spix", Make<CZHDSpixAtom>},      {"spif", Make<CZHDSpifAtom>},
    {"sbix", Make<CZHDSbixAtom>},      {"kyct", Make<CZHDKyctAtom>},
};

}  // namespace

uint32_t CreateAtom(FourCC type, std::unique_ptr<CZHDAtom>* out) {
    if (out == nullptr) {
        return MW_NULL_POINTER;
    }
    try {
        for (const FactoryEntry& entry : kFactory) {
            if (type.Is(entry.type)) {
                *out = entry.make(type);
                return MW_OK;
            }
        }
        *out = std::make_unique<CZHDAtom>(type);
    } catch (const std::bad_alloc&) {
        return MW_OUT_OF_MEMORY;
    }
    return MW_OK;
}

}  // namespace moovwright
