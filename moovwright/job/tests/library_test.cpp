// libMoovwright.so as the host uses it: loaded by name, two exports, nothing else visible.

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <moovwright/moovwright.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "job_fixtures.h"
#include "platform/manual_reset_event.h"

namespace fs = std::filesystem;

namespace moovwright::testing {
namespace {

class LoadedLibrary {
public:
    LoadedLibrary() {
        // WK_LIB_DIR, else the build's lib folder beside the tests folder.
        const char* dir = std::getenv("WK_LIB_DIR");
        const fs::path folder = dir != nullptr && *dir != '\0'
                                    ? fs::path(dir)
                                    : fs::read_symlink("/proc/self/exe").parent_path() / "../lib";
        const std::string path = (folder / kMoovwrightLibraryName).string();
        handle_ = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    }
    ~LoadedLibrary() {
        if (handle_ != nullptr)
            ::dlclose(handle_);
    }
    void* handle() const { return handle_; }
    void* symbol(const char* name) const { return ::dlsym(handle_, name); }

private:
    void* handle_ = nullptr;
};

class DoneAdvise final : public IStreamAdvise {
public:
    uint32_t OnStreamDone() override {
        result = MW_OK;
        done.set();
        return 0;
    }
    uint32_t OnStreamError(uint32_t code) override {
        result = code;
        done.set();
        return 0;
    }
    uint32_t result = ~0u;
    platform::ManualResetEvent done;
};

// Collects what a job tells its write sink.
class CollectingSink final : public IStreamWriteSink {
public:
    uint32_t OnOutputStart(uint64_t size) override {
        ++starts;
        announced = size;
        bytes.clear();
        return 0;
    }
    uint32_t OnOutputBytes(const uint8_t* data, size_t length) override {
        bytes.insert(bytes.end(), data, data + length);
        return 0;
    }
    int starts = 0;
    uint64_t announced = 0;
    std::vector<uint8_t> bytes;
};

TEST(SharedLibrary, ExportsOnlyItsEntryPoints) {
    LoadedLibrary library;
    ASSERT_NE(library.handle(), nullptr) << ::dlerror();
    EXPECT_NE(library.symbol("CreateStreamCtrl"), nullptr);
    EXPECT_NE(library.symbol("ReleaseStreamCtrl"), nullptr);
    EXPECT_NE(library.symbol("SetStreamWriteSink"), nullptr);
    EXPECT_EQ(library.symbol("_ZN10moovwright10ResultTextEj"), nullptr);
}

TEST(SharedLibrary, RunsAnAsynchronousJobThroughTheExports) {
    LoadedLibrary library;
    ASSERT_NE(library.handle(), nullptr) << ::dlerror();
    auto create = reinterpret_cast<CreateStreamCtrlFunc>(library.symbol("CreateStreamCtrl"));
    auto release = reinterpret_cast<ReleaseStreamCtrlFunc>(library.symbol("ReleaseStreamCtrl"));
    ASSERT_NE(create, nullptr);
    ASSERT_NE(release, nullptr);
    EXPECT_EQ(create(nullptr), MW_OK);
    EXPECT_EQ(release(nullptr), MW_OK);

    ScratchFolder folder;
    const fs::path clip = clip_in(folder, "bframes_gop12", {});
    IMoovwright* job = nullptr;
    ASSERT_EQ(create(&job), MW_OK);
    ASSERT_NE(job, nullptr);
    DoneAdvise advise;
    EXPECT_EQ(job->SetAdvise(&advise), MW_OK);
    EXPECT_EQ(job->SetFile(nullptr), MW_E_POINTER);
    EXPECT_EQ(job->SetFile(clip.c_str()), MW_OK);
    EXPECT_EQ(job->SetSync(0), MW_OK);
    EXPECT_EQ(job->Start(), MW_OK);
    ASSERT_TRUE(advise.done.wait_for(std::chrono::seconds(30)));
    EXPECT_EQ(advise.result, MW_OK);
    EXPECT_EQ(job->GetResult(), MW_OK);
    EXPECT_EQ(job->GetProgress(), 100u);
    EXPECT_STREQ(job->GetErrorText(MW_CANCELLED), "流化过程中，用户取消");
    EXPECT_EQ(release(job), MW_OK);
    EXPECT_NE(find_atom(read_bytes(clip), "moov/zqhd").size, 0u);
}

TEST(SharedLibrary, TheWriteSinkSeesEveryByteOfTheNewFileOnce) {
    LoadedLibrary library;
    ASSERT_NE(library.handle(), nullptr) << ::dlerror();
    auto create = reinterpret_cast<CreateStreamCtrlFunc>(library.symbol("CreateStreamCtrl"));
    auto release = reinterpret_cast<ReleaseStreamCtrlFunc>(library.symbol("ReleaseStreamCtrl"));
    auto set_sink = reinterpret_cast<SetStreamWriteSinkFunc>(library.symbol("SetStreamWriteSink"));
    ASSERT_NE(set_sink, nullptr);
    EXPECT_EQ(set_sink(nullptr, nullptr), MW_E_POINTER);

    ScratchFolder folder;
    const fs::path clip = clip_in(folder, "bframes_gop12", {});
    IMoovwright* job = nullptr;
    ASSERT_EQ(create(&job), MW_OK);
    CollectingSink sink;
    EXPECT_EQ(set_sink(job, &sink), MW_OK);
    EXPECT_EQ(job->SetFile(clip.c_str()), MW_OK);
    EXPECT_EQ(job->Start(), MW_OK);
    EXPECT_EQ(job->GetResult(), MW_OK);
    EXPECT_EQ(sink.starts, 1);
    const std::vector<uint8_t> written = read_bytes(clip);
    EXPECT_EQ(sink.announced, written.size());
    EXPECT_TRUE(sink.bytes == written) << "told " << sink.bytes.size() << " of " << written.size();

    // A file that fails validation tells the sink nothing.
    ClipOptions mp3;
    mp3.audio = "mp3";
    const fs::path bad = clip_in(folder, "mp3", mp3, "bad.mp4");
    EXPECT_EQ(job->SetFile(bad.c_str()), MW_OK);
    EXPECT_EQ(job->Start(), MW_OK);
    EXPECT_EQ(job->GetResult(), MW_AUDIO_NOT_AAC);
    EXPECT_EQ(sink.starts, 1);
    EXPECT_EQ(release(job), MW_OK);
}

}  // namespace
}  // namespace moovwright::testing

namespace moovwright::testing {
namespace {

TEST(CommandLineTool, RestructuresOrChecksEachFileAndPrintsItsResult) {
    const char* dir = std::getenv("WK_BIN_DIR");
    const fs::path tool = (dir != nullptr && *dir != '\0'
                               ? fs::path(dir)
                               : fs::read_symlink("/proc/self/exe").parent_path() / "../bin") /
                          "moovwright";
    if (!fs::exists(tool))
        GTEST_SKIP() << "the tool is not built";
    ScratchFolder folder;
    const fs::path good = clip_in(folder, "bframes_gop12", {}, "good.mp4");
    ClipOptions mp3;
    mp3.audio = "mp3";
    const fs::path bad = clip_in(folder, "mp3", mp3, "bad.mp4");
    const std::vector<uint8_t> before = read_bytes(good);

    int status = 0;
    std::string out = run_command(shell_quote(tool.string()) + " --check " +
                                      shell_quote(good.string()) + " " + shell_quote(bad.string()),
                                  &status);
    EXPECT_EQ(status, 1);
    EXPECT_EQ(out, good.string() + ": 0 成功\n" + bad.string() + ": 24 音频不是aac\n");
    EXPECT_EQ(read_bytes(good), before);

    out = run_command(shell_quote(tool.string()) + " " + shell_quote(good.string()), &status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(out, good.string() + ": 0 成功\n");
    EXPECT_NE(find_atom(read_bytes(good), "moov/zqhd").size, 0u);
}

}  // namespace
}  // namespace moovwright::testing
