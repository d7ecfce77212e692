#pragma once
// Shared pieces of the job tests: clips made once per test program and copied into a fresh
// scratch folder per test, and running a job to its end.

#include <filesystem>
#include <map>
#include <string>

#include "core/movie.h"
#include "media_fixtures.h"
#include "stream_job.h"

namespace moovwright::testing {

// A clip made with ffmpeg on first use and kept for the rest of the test program.
const std::filesystem::path& cached_clip(const std::string& name, const ClipOptions& options);

// Copies a cached clip into `folder` as `name` and returns its path.
std::filesystem::path clip_in(const ScratchFolder& folder, const std::string& clipName,
                              const ClipOptions& options, const std::string& name = "clip.mp4");

// Runs a synchronous job on `path` and returns its result.
uint32_t restructure(const std::filesystem::path& path, JobHooks hooks = {});

// A movie opened from a file with its tracks loaded from the traks.
struct LoadedMovie {
    CZHDPosixFileCtrl file;
    CZHDMovie movie;
    explicit LoadedMovie(const std::filesystem::path& path);
};

}  // namespace moovwright::testing
