#include "media_fixtures.h"

#include <sys/wait.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <sstream>
#include <stdexcept>

namespace moovwright::testing {

namespace fs = std::filesystem;

ScratchFolder::ScratchFolder() {
    std::random_device seed;
    const fs::path base = fs::temp_directory_path();
    for (int attempt = 0; attempt < 100; ++attempt) {
        fs::path candidate = base / ("moovwright-test-" + std::to_string(seed()));
        if (fs::create_directory(candidate)) {
            path_ = candidate;
            break;
        }
    }
    if (path_.empty())
        throw std::runtime_error("cannot create a scratch folder");
    fs::create_directory(path_ / "home");
    ::setenv("WHARFKEEP_HOME", (path_ / "home").c_str(), 1);
}

ScratchFolder::~ScratchFolder() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

std::vector<std::string> ScratchFolder::listing() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(path_)) {
        const std::string name = entry.path().filename().string();
        if (name != "home")
            names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::string shell_quote(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) {
        if (c == '\'') {
            quoted += "'\\''";
        } else {
            quoted += c;
        }
    }
    return quoted + "'";
}

std::string run_command(const std::string& command, int* status) {
    std::unique_ptr<FILE, decltype(&::pclose)> pipe(::popen(command.c_str(), "r"), &::pclose);
    if (!pipe)
        throw std::runtime_error("cannot run: " + command);
    std::string output;
    std::array<char, 65536> chunk{};
    size_t got = 0;
    while ((got = std::fread(chunk.data(), 1, chunk.size(), pipe.get())) > 0) {
        output.append(chunk.data(), got);
    }
    const int raw = ::pclose(pipe.release());
    if (status != nullptr)
        *status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return output;
}

namespace {

std::string number(double value) {
    std::ostringstream text;
    text << value;
    return text.str();
}

std::string video_arguments(const ClipOptions& o) {
    if (o.video.empty())
        return "";
    std::string args;
    if (o.video == "hevc") {
        args = " -c:v libx265 -preset ultrafast -tag:v hvc1 -x265-params log-level=error:keyint=" +
               std::to_string(o.gop) + ":min-keyint=" + std::to_string(o.gop) + ":scenecut=0";
    } else {
        const int gop = o.video == "intra" ? 1 : o.gop;
        args = " -c:v libx264 -preset ultrafast -pix_fmt yuv420p -x264-params keyint=" +
               std::to_string(gop) + ":min-keyint=" + std::to_string(gop) + ":scenecut=0";
        args += o.bframes && o.video != "intra" ? " -bf 2" : " -bf 0";
    }
    if (o.variable_frame_rate) {
        // The second half of the frames runs at half the rate.
        args += " -vf \"setpts='if(lt(N," + std::to_string(o.fps) + "),N,2*N-" +
                std::to_string(o.fps) + ")/(" + std::to_string(o.fps) + "*TB)'\" -vsync vfr";
    }
    return args;
}

}  // namespace

void make_clip(const ClipOptions& o, const fs::path& out) {
    std::string inputs;
    std::string maps;
    int input = 0;
    if (!o.video.empty()) {
        inputs += " -f lavfi -i testsrc2=size=" + std::to_string(o.width) + "x" +
                  std::to_string(o.height) + ":rate=" + std::to_string(o.fps) +
                  ":duration=" + number(o.seconds);
        maps += " -map " + std::to_string(input++) + ":v";
    }
    const double audio_seconds = o.audio_seconds > 0 ? o.audio_seconds : o.seconds;
    if (!o.audio.empty()) {
        for (int a = 0; a < o.audio_tracks; ++a) {
            inputs += " -f lavfi -i sine=frequency=" + std::to_string(440 + 110 * a) +
                      ":sample_rate=" + std::to_string(o.sample_rate) +
                      ":duration=" + number(audio_seconds);
            maps += " -map " + std::to_string(input++) + ":a";
        }
    }
    std::string codecs = video_arguments(o);
    if (o.audio == "aac")
        codecs += " -c:a aac -b:a 64k";
    if (o.audio == "mp3")
        codecs += " -c:a libmp3lame -b:a 64k";
    std::string movflags;
    if (o.moov_first)
        movflags += "+faststart";
    if (o.negative_cts)
        movflags += "+negative_cts_offsets";
    if (!movflags.empty())
        codecs += " -movflags " + movflags;
    const std::string command = "ffmpeg -nostdin -hide_banner -loglevel error -y" + inputs + maps +
                                codecs + " -f " + o.format + " " + shell_quote(out.string()) +
                                " 2>&1";
    int status = 0;
    const std::string output = run_command(command, &status);
    if (status != 0)
        throw std::runtime_error("ffmpeg failed: " + command + "\n" + output);
}

std::string framemd5(const fs::path& file) {
    return run_command("ffmpeg -nostdin -hide_banner -loglevel error -i " +
                       shell_quote(file.string()) + " -map 0 -f framemd5 - 2>/dev/null");
}

std::string ffprobe_errors(const fs::path& file) {
    return run_command("ffprobe -v error -show_streams -show_packets " +
                       shell_quote(file.string()) + " 2>&1 >/dev/null");
}

std::vector<uint8_t> read_bytes(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read " + file.string());
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void write_bytes(const fs::path& file, const std::vector<uint8_t>& bytes) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    if (!out)
        throw std::runtime_error("cannot write " + file.string());
}

uint32_t load_be32(const uint8_t* b) {
    return (uint32_t{b[0]} << 24) | (uint32_t{b[1]} << 16) | (uint32_t{b[2]} << 8) | b[3];
}

void store_be32(uint8_t* b, uint32_t v) {
    b[0] = static_cast<uint8_t>(v >> 24);
    b[1] = static_cast<uint8_t>(v >> 16);
    b[2] = static_cast<uint8_t>(v >> 8);
    b[3] = static_cast<uint8_t>(v);
}

namespace {

// Bytes between an atom's header and its first child, for the atoms whose children tests
// look into.
uint64_t children_start(const std::string& type) {
    if (type == "stsd")
        return 8;
    if (type == "avc1" || type == "hvc1" || type == "hev1")
        return 78;
    if (type == "mp4a")
        return 28;
    if (type == "meta")
        return 4;
    if (type == "moov" || type == "trak" || type == "mdia" || type == "minf" || type == "stbl" ||
        type == "edts" || type == "dinf" || type == "udta" || type == "zqhd" || type == "zqtk" ||
        type == "sbix")
        return type == "zqhd" ? 20 : type == "zqtk" ? 36 : type == "sbix" ? UINT64_MAX : 0;
    return UINT64_MAX;
}

std::vector<AtomSpan> atoms_in(const std::vector<uint8_t>& file, uint64_t begin, uint64_t end) {
    std::vector<AtomSpan> atoms;
    uint64_t at = begin;
    while (at + 8 <= end) {
        AtomSpan atom;
        atom.offset = at;
        atom.size = load_be32(&file[at]);
        atom.type.assign(reinterpret_cast<const char*>(&file[at + 4]), 4);
        if (atom.size == 1 && at + 16 <= end) {
            atom.size = (uint64_t{load_be32(&file[at + 8])} << 32) | load_be32(&file[at + 12]);
            atom.header = 16;
        } else if (atom.size == 0) {
            atom.size = end - at;
        }
        if (atom.size < atom.header || atom.size > end - at)
            break;
        atoms.push_back(atom);
        at += atom.size;
    }
    return atoms;
}

}  // namespace

std::vector<AtomSpan> child_atoms(const std::vector<uint8_t>& file, const AtomSpan& parent) {
    const uint64_t skip = children_start(parent.type);
    if (skip == UINT64_MAX || parent.header + skip > parent.size)
        return {};
    return atoms_in(file, parent.offset + parent.header + skip, parent.offset + parent.size);
}

AtomSpan find_atom(const std::vector<uint8_t>& file, const std::string& path, int index) {
    std::vector<AtomSpan> level = atoms_in(file, 0, file.size());
    std::istringstream parts(path);
    std::string part;
    std::vector<std::string> names;
    while (std::getline(parts, part, '/'))
        names.push_back(part);
    AtomSpan found;
    for (size_t depth = 0; depth < names.size(); ++depth) {
        const bool last = depth + 1 == names.size();
        int skip = last ? index : 0;
        found = AtomSpan{};
        for (const AtomSpan& atom : level) {
            if (atom.type == names[depth] && skip-- == 0) {
                found = atom;
                break;
            }
        }
        if (found.size == 0)
            return found;
        if (!last)
            level = child_atoms(file, found);
    }
    return found;
}

namespace {

void append_be32(std::vector<uint8_t>& out, uint32_t v) {
    out.resize(out.size() + 4);
    store_be32(&out[out.size() - 4], v);
}

std::vector<uint8_t> rebuild_with_co64(const std::vector<uint8_t>& file, const AtomSpan& atom) {
    std::vector<uint8_t> out;
    const uint8_t* begin = &file[atom.offset];
    if (atom.type == "stco") {
        const uint32_t count = load_be32(begin + 12);
        append_be32(out, static_cast<uint32_t>(16 + 8 * uint64_t{count}));
        out.insert(out.end(), {'c', 'o', '6', '4'});
        out.insert(out.end(), begin + 8, begin + 16);  // version, flags, count
        for (uint32_t i = 0; i < count; ++i) {
            append_be32(out, 0);
            append_be32(out, load_be32(begin + 16 + 4 * i));
        }
        return out;
    }
    const bool container = atom.type == "moov" || atom.type == "trak" || atom.type == "mdia" ||
                           atom.type == "minf" || atom.type == "stbl";
    if (!container)
        return {begin, begin + atom.size};
    out.insert(out.end(), begin, begin + 8);
    for (const AtomSpan& child : child_atoms(file, atom)) {
        const std::vector<uint8_t> rebuilt = rebuild_with_co64(file, child);
        out.insert(out.end(), rebuilt.begin(), rebuilt.end());
    }
    store_be32(out.data(), static_cast<uint32_t>(out.size()));
    return out;
}

}  // namespace

void convert_chunk_offsets_to_64_bit(const fs::path& in, const fs::path& out) {
    const std::vector<uint8_t> file = read_bytes(in);
    const AtomSpan moov = find_atom(file, "moov");
    const AtomSpan mdat = find_atom(file, "mdat");
    if (moov.size == 0 || mdat.size == 0 || moov.offset < mdat.offset ||
        moov.offset + moov.size != file.size() || moov.header != 8) {
        throw std::runtime_error("the moov must be the last atom");
    }
    std::vector<uint8_t> result(file.begin(), file.begin() + static_cast<long>(moov.offset));
    const std::vector<uint8_t> rebuilt = rebuild_with_co64(file, moov);
    result.insert(result.end(), rebuilt.begin(), rebuilt.end());
    write_bytes(out, result);
}

}  // namespace moovwright::testing
