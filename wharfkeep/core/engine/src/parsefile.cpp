#include "parsefile.h"

#include "wharfkeep/my_exception.h"

namespace wharfkeep {

parsefile parsefile::parse(const std::string& path, const std::string& gcid_text) {
    parsefile media;
    media.media_path = path;
    media.gcid_text = gcid_text;
    if (!gcid_text_to_bytes(gcid_text, media.gcid)) {
        throw CMyException("the content identifier is not hexadecimal: " + gcid_text);
    }
    SourceFile file(path);
    file.open("rb");
    media.file_size = file.size();
    const PrefixReader read_prefix = [&file](std::size_t n) {
        std::vector<std::uint8_t> prefix(n);
        if (n > 0) {
            file.read_exact_at(0, prefix.data(), n);
        }
        return prefix;
    };
    media.layout = ParseContainer(read_prefix, media.file_size);
    media.check_digest = compute_check_digest(file, media.file_size);
    media.pieces = compute_piece_digests(file, media.layout.header_length, media.layout.tail_offset,
                                         media.file_size);
    media.combined_digest =
        wharfkeep::combined_digest(media.gcid, media.check_digest, media.file_size);
    file.close();
    return media;
}

}  // namespace wharfkeep
