#include "core/movie.h"

#include <new>

#include "core/layout_atoms.h"

namespace moovwright {

uint32_t CZHDMovie::Open(IZHDFileCtrl* movieFile) {
    if (movieFile == nullptr) {
        return MW_NULL_POINTER;
    }
    file = movieFile;
    atoms.clear();
    tracks.clear();
    ftyp = moov = zqhd = data = free = nullptr;
    kind = kMovieUnknown;
    MW_RETURN_IF_FAILED(file->GetSize(&fileSize));
    uint8_t first[8];
    size_t got = 0;
    MW_RETURN_IF_FAILED(file->Seek(0));
    MW_RETURN_IF_FAILED(file->Read(first, sizeof first, &got));
    if (got < sizeof first) {
        return MW_NOT_MP4;
    }
    const FourCC firstType = FourCC::FromBytes(first + 4);
    if (!firstType.Is("ftyp") && !firstType.Is("zqhd")) {
        return MW_NOT_MP4;
    }
    MW_RETURN_IF_FAILED(ScanTopLevel());
    FindKeyAtoms();
    const auto* header = As<CZHDZqhdAtom>(zqhd);
    const bool layoutHeader = header != nullptr && header->layoutFlag == 0;
    if (ftyp != nullptr && moov != nullptr && zqhd == nullptr) {
        kind = kMoviePlain;
    } else if (ftyp != nullptr && moov != nullptr && layoutHeader) {
        kind = kMovieStreaming;
    } else if (ftyp == nullptr && layoutHeader) {
        kind = kMovieHeaderOnly;
    } else {
        kind = kMovieUnknown;
        return MW_UNSUPPORTED;
    }
    return MW_OK;
}

uint32_t CZHDMovie::ScanTopLevel() {
    ReadContext context;
    context.rangeEnd = fileSize;
    uint64_t offset = 0;
    // A top level that ends in fewer than 8 bytes holds no further atom.
    while (fileSize - offset >= 8) {
        std::unique_ptr<CZHDAtom> atom;
        MW_RETURN_IF_FAILED(ReadAtomAt(*file, offset, context, &atom));
        offset += atom->size;
        const bool isMoov = atom->type.Is("moov");
        try {
            atoms.push_back(std::move(atom));
        } catch (const std::bad_alloc&) {
            return MW_OUT_OF_MEMORY;
        }
        if (isMoov) {
            break;
        }
    }
    return MW_OK;
}

void CZHDMovie::FindKeyAtoms() {
    CZHDAtom* found = nullptr;
    ftyp = FindChild(atoms, "ftyp", 0, &found) == MW_OK ? found : nullptr;
    moov = FindChild(atoms, "moov", 0, &found) == MW_OK ? found : nullptr;
    const CZHDAtom::ChildList& zqhdList = moov != nullptr ? moov->children : atoms;
    zqhd = FindChild(zqhdList, "zqhd", 0, &found) == MW_OK ? found : nullptr;
    if (FindChild(atoms, "mdat", 0, &found) == MW_OK ||
        FindChild(atoms, "zqdt", 0, &found) == MW_OK) {
        data = found;
    } else {
        data = nullptr;
    }
    free = nullptr;  // only a movie being written has one
}

uint32_t CZHDMovie::LoadTracks() {
    tracks.clear();
    trackMode = kTracksFromTrak;
    if (moov == nullptr || moov->Child("mvhd") == nullptr) {
        return MW_ATOM_NOT_FOUND;
    }
    try {
        uint32_t index = 0;
        for (const auto& child : moov->children) {
            if (!child->type.Is("trak")) {
                continue;
            }
            auto mp4Track = std::make_unique<CZHDMp4Track>(index, fileSize);
            MW_RETURN_IF_FAILED(mp4Track->Init(child.get()));
            tracks.push_back(std::move(mp4Track));
            ++index;
        }
    } catch (const std::bad_alloc&) {
        return MW_OUT_OF_MEMORY;
    }
    return MW_OK;
}

uint32_t CZHDMovie::AddTrack(std::unique_ptr<CZHDTrack> track) {
    if (!track) {
        return MW_NULL_POINTER;
    }
    try {
        tracks.push_back(std::move(track));
    } catch (const std::bad_alloc&) {
        return MW_OUT_OF_MEMORY;
    }
    return MW_OK;
}

}  // namespace moovwright
