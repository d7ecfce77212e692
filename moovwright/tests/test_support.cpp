#include "test_support.h"

#include <stdlib.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace moovwright::test {

Bytes U8(uint8_t v) {
    return {v};
}
Bytes U16(uint16_t v) {
    return {static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
}
Bytes U32(uint32_t v) {
    return {static_cast<uint8_t>(v >> 24), static_cast<uint8_t>(v >> 16),
            static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
}
Bytes U64(uint64_t v) {
    return Join({U32(static_cast<uint32_t>(v >> 32)), U32(static_cast<uint32_t>(v))});
}
Bytes Text(const std::string& s) {
    return Bytes(s.begin(), s.end());
}
Bytes Zeros(size_t n) {
    return Bytes(n, 0);
}

Bytes Join(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& part : parts) {
        out.insert(out.end(), part.begin(), part.end());
    }
    return out;
}

Bytes Box(const char* type, std::initializer_list<Bytes> body) {
    const Bytes content = Join(body);
    return Join({U32(static_cast<uint32_t>(content.size() + 8)), Text(type), content});
}

Bytes LargeBox(const char* type, std::initializer_list<Bytes> body) {
    const Bytes content = Join(body);
    return Join({U32(1), Text(type), U64(content.size() + 16), content});
}

namespace {
Bytes FullBoxHeader(uint8_t version = 0) {
    return {version, 0, 0, 0};
}

// A sample table: version and flags, the entry count, then each entry as `encode` writes it.
template <class Entry, class Encode>
Bytes CountedTable(const char* type, uint8_t version, std::initializer_list<Entry> entries,
                   Encode encode) {
    Bytes out = Join({FullBoxHeader(version), U32(static_cast<uint32_t>(entries.size()))});
    for (const Entry& entry : entries) {
        out = Join({out, encode(entry)});
    }
    return Box(type, {out});
}

Bytes WordPair(const std::pair<uint32_t, uint32_t>& words) {
    return Join({U32(words.first), U32(words.second)});
}
}  // namespace

Bytes Stts(std::initializer_list<std::pair<uint32_t, uint32_t>> runs) {
    return CountedTable("stts", 0, runs, WordPair);
}

Bytes Ctts(std::initializer_list<std::pair<uint32_t, uint32_t>> runs, uint8_t version) {
    return CountedTable("ctts", version, runs, WordPair);
}

Bytes Stss(std::initializer_list<uint32_t> numbers) {
    return CountedTable("stss", 0, numbers, U32);
}

Bytes Stsc(std::initializer_list<std::array<uint32_t, 3>> runs) {
    return CountedTable("stsc", 0, runs, [](const std::array<uint32_t, 3>& run) {
        return Join({U32(run[0]), U32(run[1]), U32(run[2])});
    });
}

Bytes Stsz(uint32_t commonSize, uint32_t count, std::initializer_list<uint32_t> sizes) {
    Bytes out = Join({FullBoxHeader(), U32(commonSize), U32(count)});
    for (uint32_t s : sizes) {
        out = Join({out, U32(s)});
    }
    return Box("stsz", {out});
}

Bytes Stco(std::initializer_list<uint32_t> offsets) {
    return CountedTable("stco", 0, offsets, U32);
}

Bytes Co64(std::initializer_list<uint64_t> offsets) {
    return CountedTable("co64", 0, offsets, U64);
}

Bytes Mvhd(uint32_t timescale, uint32_t nextTrackId) {
    return Box("mvhd", {FullBoxHeader(), U32(0), U32(0), U32(timescale), U32(0), Zeros(76),
                        U32(nextTrackId)});
}

Bytes Tkhd(uint32_t trackId, uint16_t width, uint16_t height) {
    return Box("tkhd", {FullBoxHeader(), U32(0), U32(0), U32(trackId), U32(0), U32(0), Zeros(52),
                        U16(width), U16(0), U16(height), U16(0)});
}

Bytes Mdhd(uint32_t timescale, uint8_t version) {
    if (version == 1) {
        return Box("mdhd",
                   {FullBoxHeader(1), U64(0), U64(0), U32(timescale), U64(0), U16(0x15C7), U16(0)});
    }
    return Box("mdhd",
               {FullBoxHeader(), U32(0), U32(0), U32(timescale), U32(0), U16(0x15C7), U16(0)});
}

Bytes Hdlr(const char* handler) {
    return Box("hdlr", {FullBoxHeader(), U32(0), Text(handler), Zeros(12), Text("x"), U8(0)});
}

Bytes SimpleStsd(const char* entryType) {
    const std::string type = entryType;
    const size_t fixed = type == "avc1" ? 78 : type == "mp4a" ? 28 : 16;
    return Box("stsd", {FullBoxHeader(), U32(1), Box(entryType, {Zeros(fixed)})});
}

Bytes Trak(uint32_t trackId, const char* handler, uint32_t timescale, const Bytes& tables) {
    return Box("trak",
               {Tkhd(trackId, 320, 240),
                Box("mdia", {Mdhd(timescale), Hdlr(handler),
                             Box("minf", {Box("vmhd", {Zeros(12)}), Box("stbl", {tables})})})});
}

std::unique_ptr<MemoryMovie> OpenMemoryMovie(Bytes bytes) {
    auto m = std::make_unique<MemoryMovie>();
    m->file = std::make_unique<CZHDMemoryFileCtrl>(std::move(bytes));
    m->openResult = m->movie.Open(m->file.get());
    return m;
}

Bytes MovieFile(std::initializer_list<Bytes> traks, const Bytes& media) {
    Bytes moovBody = Mvhd(1000, 2);
    for (const Bytes& trak : traks) {
        moovBody = Join({moovBody, trak});
    }
    return Join({Box("ftyp", {Text("isom"), U32(0x200), Text("isomavc1")}), Box("moov", {moovBody}),
                 Box("mdat", {media})});
}

int Run(const std::string& command, std::string* output) {
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return -1;
    }
    std::array<char, 65536> buffer{};
    size_t n;
    while ((n = fread(buffer.data(), 1, buffer.size(), pipe)) > 0) {
        if (output != nullptr) {
            output->append(buffer.data(), n);
        }
    }
    const int status = pclose(pipe);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool HaveFfmpeg() {
    return Run("ffmpeg -version >/dev/null 2>&1") == 0 &&
           Run("ffprobe -version >/dev/null 2>&1") == 0;
}

Bytes ReadFileBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFileBytes(const std::filesystem::path& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

}  // namespace moovwright::test

// ---- files made by ffmpeg ----

#include "ffmpeg_files.h"

namespace moovwright::test {

namespace {

struct SampleFileRecipe {
    const char* name;
    bool video;
    bool audio;
    int bFrames;
    int keyInterval;
    bool faststart;
    const char* duration;
};

// Several key-frame spacings, B-frames or not, audio alone, moov first or last; the
// durations leave a short last AAC frame (44100 Hz: 2.03 s is not a multiple of 1024).
constexpr SampleFileRecipe kSampleFiles[] = {
    {"h264_nob_aac_g12_moovlast", true, true, 0, 12, false, "2.03"},
    {"h264_b2_aac_g25_moovfirst", true, true, 2, 25, true, "2.03"},
    {"h264_b3_g7_moovfirst", true, false, 3, 7, true, "1.5"},
    {"h264_b2_aac_g50_moovlast", true, true, 2, 50, false, "3.1"},
    {"aac_only_moovlast", false, true, 0, 0, false, "1.37"},
};

std::string Command(const SampleFileRecipe& recipe, const std::filesystem::path& out) {
    std::string c = "ffmpeg -nostdin -v error -y";
    if (recipe.video) {
        c += " -f lavfi -i testsrc=size=160x120:rate=25";
    }
    if (recipe.audio) {
        c += " -f lavfi -i sine=frequency=440:sample_rate=44100";
    }
    c += std::string(" -t ") + recipe.duration;
    if (recipe.video) {
        c += " -c:v libx264 -preset veryfast -pix_fmt yuv420p -bf " +
             std::to_string(recipe.bFrames) + " -g " + std::to_string(recipe.keyInterval) +
             " -keyint_min " + std::to_string(recipe.keyInterval) + " -sc_threshold 0";
        if (recipe.bFrames > 0) {
            c += " -x264-params b-adapt=0";
        }
    }
    if (recipe.audio) {
        c += " -c:a aac -b:a 64k";
    }
    if (recipe.faststart) {
        c += " -movflags +faststart";
    }
    c += " '" + out.string() + "' 2>&1";
    return c;
}

// The files are made once into the build tree's media folder and reused by every test
// process (ctest runs each case in its own); each is written under a temporary name and
// renamed, so processes running side by side never see half a file.
std::filesystem::path MediaFolder() {
#ifdef MOOVWRIGHT_TEST_MEDIA_DIR
    return MOOVWRIGHT_TEST_MEDIA_DIR;
#else
    return std::filesystem::temp_directory_path() / "moovwright-test-media";
#endif
}

class GeneratedFolder {
public:
    GeneratedFolder() {
        const std::filesystem::path folder = MediaFolder();
        std::error_code error;
        std::filesystem::create_directories(folder, error);
        for (const SampleFileRecipe& recipe : kSampleFiles) {
            const auto path = folder / (std::string(recipe.name) + ".mp4");
            if (!std::filesystem::exists(path)) {
                if (!HaveFfmpeg()) {
                    files_.clear();
                    return;
                }
                const auto partial = folder / (std::string(recipe.name) + "." +
                                               std::to_string(getpid()) + ".part.mp4");
                std::string log;
                if (Run(Command(recipe, partial), &log) != 0) {
                    fprintf(stderr, "ffmpeg failed for %s: %s\n", recipe.name, log.c_str());
                    std::filesystem::remove(partial, error);
                    files_.clear();
                    return;
                }
                std::filesystem::rename(partial, path, error);
            }
            files_.push_back({recipe.name, path, recipe.video, recipe.audio, recipe.bFrames > 0,
                              recipe.faststart});
        }
    }
    const std::vector<GeneratedFile>& files() const { return files_; }

private:
    std::vector<GeneratedFile> files_;
};

}  // namespace

const std::vector<GeneratedFile>& FfmpegFiles() {
    static const GeneratedFolder folder;
    return folder.files();
}

}  // namespace moovwright::test
