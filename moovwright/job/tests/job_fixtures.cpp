#include "job_fixtures.h"

#include <gtest/gtest.h>

#include <memory>
#include <mutex>

namespace moovwright::testing {

namespace fs = std::filesystem;

namespace {

struct ClipCache {
    std::unique_ptr<ScratchFolder> folder;
    std::map<std::string, fs::path> clips;
    std::mutex mutex;
};

ClipCache& cache() {
    static ClipCache instance;
    return instance;
}

}  // namespace

const fs::path& cached_clip(const std::string& name, const ClipOptions& options) {
    ClipCache& c = cache();
    std::lock_guard lock(c.mutex);
    if (!c.folder)
        c.folder = std::make_unique<ScratchFolder>();
    auto found = c.clips.find(name);
    if (found != c.clips.end())
        return found->second;
    const fs::path path = c.folder->file(name + "." + (options.format == "mp4" ? "mp4" : "bin"));
    make_clip(options, path);
    return c.clips.emplace(name, path).first->second;
}

fs::path clip_in(const ScratchFolder& folder, const std::string& clipName,
                 const ClipOptions& options, const std::string& name) {
    const fs::path target = folder.file(name);
    fs::copy_file(cached_clip(clipName, options), target, fs::copy_options::overwrite_existing);
    return target;
}

uint32_t restructure(const fs::path& path, JobHooks hooks) {
    CMoovwright job(std::move(hooks));
    EXPECT_EQ(job.SetFile(path.c_str()), MW_OK);
    EXPECT_EQ(job.SetSync(1), MW_OK);
    EXPECT_EQ(job.Start(), MW_OK);
    return job.GetResult();
}

LoadedMovie::LoadedMovie(const fs::path& path) {
    EXPECT_EQ(file.Open(path.c_str(), false), MW_OK);
    EXPECT_EQ(movie.Open(&file), MW_OK);
    EXPECT_EQ(movie.LoadTracks(), MW_OK);
}

}  // namespace moovwright::testing
