#include "core/atom.h"

#include <limits>
#include <new>

#include "core/byte_order.h"

namespace moovwright {

namespace {

uint8_t FoldCase(uint8_t c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<uint8_t>(c + 32) : c;
}

uint32_t ReadExactly(IZHDFileCtrl& file, void* buffer, size_t length) {
    size_t got = 0;
    MW_RETURN_IF_FAILED(file.Read(buffer, length, &got));
    return got == length ? MW_OK : MW_NOT_ENOUGH_DATA;
}

}  // namespace

bool FourCC::Is(FourCC other) const {
    for (size_t i = 0; i < 4; ++i) {
        if (FoldCase(bytes[i]) != FoldCase(other.bytes[i])) {
            return false;
        }
    }
    return true;
}

CZHDAtom::CZHDAtom(FourCC atomType) : type(atomType) {
    children.reserve(8);
}

CZHDAtom::~CZHDAtom() = default;

CZHDAtom::CZHDAtom(const CZHDAtom& other)
    : type(other.type),
      size(other.size),
      position(other.position),
      headerSize(other.headerSize),
      dataSize(other.dataSize),
      childrenSize(0),
      payload(other.payload),
      consumed(other.consumed) {}

std::unique_ptr<CZHDAtom> CZHDAtom::CloneSelf() const {
    return std::unique_ptr<CZHDAtom>(new CZHDAtom(*this));
}

// ---- reading ----

uint32_t CZHDAtom::Read(IZHDFileCtrl& file, uint64_t atomPosition) {
    ReadContext context;
    MW_RETURN_IF_FAILED(file.GetSize(&context.rangeEnd));
    return Read(file, atomPosition, context);
}

uint32_t CZHDAtom::Read(IZHDFileCtrl& file, uint64_t atomPosition, ReadContext& context) {
    try {
        MW_RETURN_IF_FAILED(ReadHeader(file, atomPosition, context));
        consumed = headerSize;
        MW_RETURN_IF_FAILED(ReadData(file));
        if (dataSize > size - headerSize) {
            return MW_NOT_ENOUGH_DATA;
        }
        consumed = headerSize + dataSize;
        MW_RETURN_IF_FAILED(ReadChildren(file, context));
        consumed = size;
        return MW_OK;
    } catch (const std::bad_alloc&) {
        return MW_OUT_OF_MEMORY;
    } catch (const std::length_error&) {
        return MW_OUT_OF_MEMORY;
    }
}

uint32_t CZHDAtom::ReadHeader(IZHDFileCtrl& file, uint64_t atomPosition,
                              const ReadContext& context) {
    const bool topLevel = context.depth == 0;
    const uint32_t beyondRange = topLevel ? MW_NOT_ENOUGH_DATA : MW_BAD_ATOM_SIZE;
    if (atomPosition > context.rangeEnd || context.rangeEnd - atomPosition < 8) {
        return beyondRange;
    }
    MW_RETURN_IF_FAILED(file.Seek(atomPosition));
    uint8_t header[16];
    MW_RETURN_IF_FAILED(ReadExactly(file, header, 8));
    position = atomPosition;
    type = FourCC::FromBytes(header + 4);
    const uint64_t room = context.rangeEnd - atomPosition;
    const uint32_t size32 = LoadBE32(header);
    if (size32 == 0) {
        size = room;
        headerSize = 8;
    } else if (size32 == 1) {
        if (room < 16) {
            return beyondRange;
        }
        MW_RETURN_IF_FAILED(ReadExactly(file, header + 8, 8));
        size = LoadBE64(header + 8);
        if (size < 16) {
            return MW_BAD_ATOM_SIZE;
        }
        headerSize = 16;
    } else if (size32 < 8) {
        return MW_BAD_ATOM_SIZE;
    } else {
        size = size32;
        headerSize = 8;
    }
    if (size > room) {
        return beyondRange;
    }
    return MW_OK;
}

uint32_t CZHDAtom::LoadPayload(IZHDFileCtrl& file, uint64_t length) {
    if (length > size - headerSize || length > std::numeric_limits<size_t>::max()) {
        return MW_NOT_ENOUGH_DATA;
    }
    payload.resize(static_cast<size_t>(length));
    MW_RETURN_IF_FAILED(file.Seek(PayloadPosition()));
    return ReadExactly(file, payload.data(), payload.size());
}

void EnsurePayload(std::vector<uint8_t>& payload, uint64_t length) {
    if (payload.size() < length) {
        payload.resize(static_cast<size_t>(length), 0);
    }
}

uint32_t CZHDWholePayloadAtom::ReadData(IZHDFileCtrl& file) {
    dataSize = size - headerSize;
    MW_RETURN_IF_FAILED(LoadPayload(file, dataSize));
    return DecodeData();
}

uint32_t CZHDWholePayloadAtom::UpdateDataSize() {
    MW_RETURN_IF_FAILED(EncodeData());
    dataSize = payload.size();
    return MW_OK;
}

uint32_t CZHDAtom::LoadFixedPayload(IZHDFileCtrl& file, uint64_t length) {
    if (size - headerSize < length) {
        return MW_NOT_ENOUGH_DATA;
    }
    dataSize = length;
    MW_RETURN_IF_FAILED(LoadPayload(file, length));
    return DecodeData();
}

uint32_t CZHDAtom::ReadData(IZHDFileCtrl& file) {
    dataSize = size - headerSize;
    if (dataSize > kMaxLoadedPayload) {
        payload.clear();
        return MW_OK;
    }
    MW_RETURN_IF_FAILED(LoadPayload(file, dataSize));
    return DecodeData();
}

uint32_t CZHDAtom::ReadChildren(IZHDFileCtrl& file, ReadContext& context) {
    childrenSize = size - headerSize - dataSize;
    if (childrenSize == 0) {
        return MW_OK;
    }
    if (context.depth >= kMaxNestingDepth) {
        return MW_UNSUPPORTED;
    }
    const uint64_t start = PayloadPosition() + dataSize;
    ReadContext inner = context;
    inner.rangeEnd = start + childrenSize;
    inner.depth = context.depth + 1;
    uint64_t offset = 0;
    // Fewer than 8 bytes left cannot hold a child: trailing padding some writers leave.
    while (childrenSize - offset >= 8) {
        std::unique_ptr<CZHDAtom> child;
        const uint32_t result = ReadAtomAt(file, start + offset, inner, &child);
        context.atomBudget = inner.atomBudget;
        MW_RETURN_IF_FAILED(result);
        offset += child->size;
        MW_RETURN_IF_FAILED(AppendChild(std::move(child)));
    }
    return MW_OK;
}

uint32_t ReadAtomAt(IZHDFileCtrl& file, uint64_t atomPosition, ReadContext& context,
                    std::unique_ptr<CZHDAtom>* out) {
    if (context.atomBudget == 0) {
        return MW_UNSUPPORTED;
    }
    --context.atomBudget;
    if (atomPosition > context.rangeEnd || context.rangeEnd - atomPosition < 8) {
        return context.depth == 0 ? MW_NOT_ENOUGH_DATA : MW_BAD_ATOM_SIZE;
    }
    uint8_t header[8];
    MW_RETURN_IF_FAILED(file.Seek(atomPosition));
    MW_RETURN_IF_FAILED(ReadExactly(file, header, sizeof header));
    MW_RETURN_IF_FAILED(CreateAtom(FourCC::FromBytes(header + 4), out));
    return (*out)->Read(file, atomPosition, context);
}

uint32_t CZHDAtom::Parse(const uint8_t* buffer, uint64_t available, uint64_t atomPosition,
                         uint64_t end) {
    if (buffer == nullptr) {
        return MW_NULL_POINTER;
    }
    if (available > std::numeric_limits<size_t>::max()) {
        available = std::numeric_limits<size_t>::max();
    }
    // The memory path applies the file rules to a view of the buffer at its file offset.
    CZHDMemoryFileCtrl view(buffer, static_cast<size_t>(available), atomPosition, end);
    ReadContext context;
    context.rangeEnd = end;
    return Read(view, atomPosition, context);
}

// ---- writing ----

uint32_t CZHDAtom::UpdateHeaderSize() {
    if (headerSize != 8 && headerSize != 16) {
        headerSize = 8;
    }
    return MW_OK;
}

uint32_t CZHDAtom::UpdateChildrenSize() {
    childrenSize = 0;
    for (auto& child : children) {
        MW_RETURN_IF_FAILED(child->UpdateSize());
        childrenSize += child->size;
    }
    return MW_OK;
}

uint32_t CZHDAtom::UpdateSize() {
    try {
        MW_RETURN_IF_FAILED(UpdateHeaderSize());
        MW_RETURN_IF_FAILED(UpdateDataSize());
        MW_RETURN_IF_FAILED(UpdateChildrenSize());
    } catch (const std::bad_alloc&) {
        return MW_OUT_OF_MEMORY;
    } catch (const std::length_error&) {
        return MW_OUT_OF_MEMORY;
    }
    size = headerSize + dataSize + childrenSize;
    return MW_OK;
}

uint32_t CZHDAtom::Write(IZHDFileCtrl& file) {
    MW_RETURN_IF_FAILED(UpdateSize());
    MW_RETURN_IF_FAILED(WriteHeader(file));
    MW_RETURN_IF_FAILED(WriteData(file));
    return WriteChildren(file);
}

uint32_t CZHDAtom::WriteHeader(IZHDFileCtrl& file) {
    uint8_t header[16];
    if (headerSize == 8) {
        if (size > std::numeric_limits<uint32_t>::max()) {
            return MW_BAD_ATOM_SIZE;
        }
        StoreBE32(header, static_cast<uint32_t>(size));
    } else if (headerSize == 16) {
        StoreBE32(header, 1);
        StoreBE64(header + 8, size);
    } else {
        return MW_BAD_ATOM_SIZE;
    }
    for (size_t i = 0; i < 4; ++i) {
        header[4 + i] = type.bytes[i];
    }
    return file.Write(header, headerSize);
}

uint32_t CZHDAtom::WriteData(IZHDFileCtrl& file) {
    try {
        MW_RETURN_IF_FAILED(EncodeData());
    } catch (const std::bad_alloc&) {
        return MW_OUT_OF_MEMORY;
    }
    if (payload.size() != dataSize) {
        return MW_UNSUPPORTED;
    }
    return file.Write(payload.data(), payload.size());
}

uint32_t CZHDAtom::WriteChildren(IZHDFileCtrl& file) {
    for (auto& child : children) {
        MW_RETURN_IF_FAILED(child->Write(file));
    }
    return MW_OK;
}

// ---- children ----

uint32_t CZHDAtom::AppendChild(std::unique_ptr<CZHDAtom> child) {
    if (!child) {
        return MW_NULL_POINTER;
    }
    try {
        if (children.size() == children.capacity()) {
            children.reserve(children.capacity() < 8 ? 8 : children.capacity() * 2);
        }
        children.push_back(std::move(child));
    } catch (const std::bad_alloc&) {
        return MW_OUT_OF_MEMORY;
    } catch (const std::length_error&) {
        return MW_OUT_OF_MEMORY;
    }
    return MW_OK;
}

CZHDAtom* CZHDAtom::Child(FourCC childType, uint32_t n) const {
    CZHDAtom* found = nullptr;
    return FindChild(children, childType, n, &found) == MW_OK ? found : nullptr;
}

uint32_t FindChild(const CZHDAtom::ChildList& list, FourCC type, uint32_t n, CZHDAtom** found,
                   uint32_t* index) {
    if (found == nullptr) {
        return MW_NULL_POINTER;
    }
    *found = nullptr;
    uint32_t seen = 0;
    for (size_t i = 0; i < list.size(); ++i) {
        if (list[i] && list[i]->type.Is(type)) {
            if (seen == n) {
                *found = list[i].get();
                if (index != nullptr) {
                    *index = static_cast<uint32_t>(i);
                }
                return MW_OK;
            }
            ++seen;
        }
    }
    return MW_ATOM_NOT_FOUND;
}

bool IsPrivateType(FourCC type) {
    for (FourCC t : {FourCC("zqhd"), FourCC("zqtk"), FourCC("kyct"), FourCC("sbix"), FourCC("spif"),
                     FourCC("spix"), FourCC("zqdt")}) {
        if (type.Is(t)) {
            return true;
        }
    }
    return false;
}

uint32_t CloneAtom(const CZHDAtom& source, bool deep, std::unique_ptr<CZHDAtom>* out) {
    if (out == nullptr) {
        return MW_NULL_POINTER;
    }
    out->reset();
    if (IsPrivateType(source.type)) {
        return MW_UNSUPPORTED;
    }
    try {
        std::unique_ptr<CZHDAtom> copy = source.CloneSelf();
        if (!copy) {
            return MW_UNSUPPORTED;
        }
        if (deep) {
            for (const auto& child : source.children) {
                std::unique_ptr<CZHDAtom> childCopy;
                MW_RETURN_IF_FAILED(CloneAtom(*child, true, &childCopy));
                MW_RETURN_IF_FAILED(copy->AppendChild(std::move(childCopy)));
            }
            copy->childrenSize = source.childrenSize;
        }
        *out = std::move(copy);
    } catch (const std::bad_alloc&) {
        return MW_OUT_OF_MEMORY;
    }
    return MW_OK;
}

}  // namespace moovwright
