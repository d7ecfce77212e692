#include "moovwright_binding.h"

#include <dlfcn.h>

#include <system_error>

namespace wharfkeep {

std::vector<std::filesystem::path> MoovwrightBinding::default_candidates() {
    std::error_code error;
    const std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) {
        return {kMoovwrightLibraryName};
    }
    const std::filesystem::path folder = program.parent_path();
    return {folder / kMoovwrightLibraryName, folder.parent_path() / "lib" / kMoovwrightLibraryName};
}

MoovwrightBinding::MoovwrightBinding(const std::vector<std::filesystem::path>& candidates) {
    std::string tried;
    for (const auto& candidate : candidates) {
        library_ = ::dlopen(candidate.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (library_) {
            break;
        }
        const char* reason = ::dlerror();
        tried += "\n  " + candidate.string() + (reason ? std::string(": ") + reason : "");
    }
    if (!library_) {
        failure_ = std::string(kMoovwrightLibraryName) + " could not be loaded:" + tried;
        return;
    }
    auto create = reinterpret_cast<CreateStreamCtrlFunc>(::dlsym(library_, "CreateStreamCtrl"));
    release_ = reinterpret_cast<ReleaseStreamCtrlFunc>(::dlsym(library_, "ReleaseStreamCtrl"));
    if (!create || !release_) {
        failure_ = std::string(kMoovwrightLibraryName) + " lacks the entry point " +
                   (create ? "ReleaseStreamCtrl" : "CreateStreamCtrl");
        release_ = nullptr;
        return;
    }
    set_write_sink_ =
        reinterpret_cast<SetStreamWriteSinkFunc>(::dlsym(library_, "SetStreamWriteSink"));
    wait_for_displaced_ =
        reinterpret_cast<WaitForDisplacedFilesFunc>(::dlsym(library_, "WaitForDisplacedFiles"));
    create(&job_);
    if (!job_) {
        failure_ = std::string(kMoovwrightLibraryName) + " could not create a restructuring job";
    }
}

bool MoovwrightBinding::SetWriteSink(IStreamWriteSink* sink) const {
    return job_ && set_write_sink_ && set_write_sink_(job_, sink) == MW_OK;
}

void MoovwrightBinding::WaitForDisplacedFiles() const {
    if (job_ && wait_for_displaced_) {
        wait_for_displaced_(job_);
    }
}

MoovwrightBinding::~MoovwrightBinding() {
    if (job_ && release_) {
        release_(job_);
    }
    if (library_) {
        ::dlclose(library_);
    }
}

}  // namespace wharfkeep
