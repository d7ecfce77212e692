#pragma once
// Helpers for the atom-model tests: building atoms byte by byte, opening movies from memory
// or disk, temporary folders and running ffmpeg / ffprobe.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "core/file_ctrl.h"
#include "core/movie.h"
#include "temp_folder.h"

namespace moovwright::test {

using Bytes = std::vector<uint8_t>;

Bytes U8(uint8_t v);
Bytes U16(uint16_t v);
Bytes U32(uint32_t v);
Bytes U64(uint64_t v);
Bytes Text(const std::string& s);
Bytes Zeros(size_t n);
Bytes Join(std::initializer_list<Bytes> parts);
// An atom with an 8-byte header around `body`.
Bytes Box(const char* type, std::initializer_list<Bytes> body);
// The same with a 16-byte header (size field 1, then the 64-bit size).
Bytes LargeBox(const char* type, std::initializer_list<Bytes> body);

// Full-box bodies of the sample tables.
Bytes Stts(std::initializer_list<std::pair<uint32_t, uint32_t>> runs);
Bytes Ctts(std::initializer_list<std::pair<uint32_t, uint32_t>> runs, uint8_t version = 0);
Bytes Stss(std::initializer_list<uint32_t> numbers);
Bytes Stsc(std::initializer_list<std::array<uint32_t, 3>> runs);
Bytes Stsz(uint32_t commonSize, uint32_t count, std::initializer_list<uint32_t> sizes = {});
Bytes Stco(std::initializer_list<uint32_t> offsets);
Bytes Co64(std::initializer_list<uint64_t> offsets);
Bytes Mvhd(uint32_t timescale, uint32_t nextTrackId);
Bytes Tkhd(uint32_t trackId, uint16_t width, uint16_t height);
Bytes Mdhd(uint32_t timescale, uint8_t version = 0);
Bytes Hdlr(const char* handler);

// A trak from its stbl children (stsd with an avc1 or mp4a entry is added by the caller as
// one of `tables`).
Bytes Trak(uint32_t trackId, const char* handler, uint32_t timescale, const Bytes& tables);
// A minimal stsd with one generic sample entry.
Bytes SimpleStsd(const char* entryType = "avc1");

// A movie opened over bytes held by the returned object.
struct MemoryMovie {
    std::unique_ptr<CZHDMemoryFileCtrl> file;
    CZHDMovie movie;
    uint32_t openResult = 0;
};
std::unique_ptr<MemoryMovie> OpenMemoryMovie(Bytes bytes);
// ftyp + moov(mvhd + traks) + mdat(`media`), moov first; chunk offsets in the traks are
// taken as given.
Bytes MovieFile(std::initializer_list<Bytes> traks, const Bytes& media = Zeros(4096));

// A fresh folder removed at destruction.
using TempDir = platform::testing::TempFolder;

// Runs a shell command; returns its exit status and fills `output` with its stdout.
int Run(const std::string& command, std::string* output = nullptr);
bool HaveFfmpeg();
Bytes ReadFileBytes(const std::filesystem::path& path);
void WriteFileBytes(const std::filesystem::path& path, const Bytes& bytes);

}  // namespace moovwright::test
