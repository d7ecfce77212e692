#pragma once
// The exported form of published links and the names of the link list files.

#include <filesystem>
#include <string>

namespace wharfkeep::host {

// "视频链接列表.txt" in `desktop`, or the first "视频链接列表(N).txt", N = 1, 2, 3 ...,
// that does not exist yet.
std::filesystem::path NextExportFilePath(const std::filesystem::path& desktop);

// The link as operators hand it out: the stored link's text after its "pvessa://" scheme,
// Base64-encoded (RFC 4648 alphabet, "=" padding, no line breaks), behind "pvessa://".
// A stored link shorter than the scheme encodes as an empty remainder.
std::string EncodeLink(const std::string& url);

// The folder part of a media path, up to and including its last "/".
std::string FolderOf(const std::string& local_path);
// The part of a path after its last "/".
std::string FileNameOf(const std::string& path);

}  // namespace wharfkeep::host
