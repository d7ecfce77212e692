#pragma once
// An atom copied byte for byte from the source file when it is written, whatever its size.
// The layout writer carries edit lists, data references, sample groups and the movie's user
// data over this way, without holding large payloads in memory.

#include <memory>

#include "core/atom.h"

namespace moovwright {

class CZHDSourceCopyAtom final : public CZHDAtom {
public:
    // Copies the atom `original` read from `source`; the file must stay open until the
    // copy has been written for the last time.
    CZHDSourceCopyAtom(const CZHDAtom& original, IZHDFileCtrl& source);
    uint32_t UpdateDataSize() override;
    uint32_t WriteData(IZHDFileCtrl& file) override;
    std::unique_ptr<CZHDAtom> CloneSelf() const override { return nullptr; }

private:
    IZHDFileCtrl& source_;
    uint64_t sourcePayloadPosition_;
    uint64_t sourcePayloadSize_;
};

}  // namespace moovwright
