#pragma once
// libMoovwright.so loaded at run time: the library handle, its two entry points and the
// one restructuring job object the engine drives. When the library or an entry point is
// missing the binding is empty and says why.

#include <filesystem>
#include <string>
#include <vector>

#include "moovwright/moovwright.h"

namespace wharfkeep {

class MoovwrightBinding {
public:
    // Tries each candidate path in order; see default_candidates().
    explicit MoovwrightBinding(const std::vector<std::filesystem::path>& candidates);
    ~MoovwrightBinding();
    MoovwrightBinding(const MoovwrightBinding&) = delete;
    MoovwrightBinding& operator=(const MoovwrightBinding&) = delete;

    // Beside the program first, then the library folder ../lib next to it.
    static std::vector<std::filesystem::path> default_candidates();

    IMoovwright* job() const { return job_; }
    // Gives the job the sink its outputs are told to (null: none). False when the library
    // has no such entry point (an older build) or refuses: the bytes must then be read back.
    bool SetWriteSink(IStreamWriteSink* sink) const;
    // Returns once the files the job replaced are freed (an older library frees them before
    // its job ends).
    void WaitForDisplacedFiles() const;
    // Why job() is null.
    const std::string& failure() const { return failure_; }

private:
    void* library_ = nullptr;
    ReleaseStreamCtrlFunc release_ = nullptr;
    SetStreamWriteSinkFunc set_write_sink_ = nullptr;
    WaitForDisplacedFilesFunc wait_for_displaced_ = nullptr;
    IMoovwright* job_ = nullptr;
    std::string failure_;
};

}  // namespace wharfkeep
