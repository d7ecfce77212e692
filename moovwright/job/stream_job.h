#pragma once
// CMoovwright: one restructuring job behind the public IMoovwright interface.
//
// Threading: the setters, Start, Cancel and the getters are called by the host. A
// synchronous Start runs the job on the calling thread; an asynchronous one on a worker
// thread that this object owns and joins, so the object is never destroyed under a
// running job. The advise object is called on the worker thread after the job has ended
// (running is already false then, so the advise call may start the next job or release
// this object).

#include <moovwright/moovwright.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "file_replace.h"
#include "job_control.h"

namespace moovwright {

// Converts `source_path` into the streaming layout written to `temp_path`, validating the
// source first and verifying the output afterwards.
using Converter = std::function<uint32_t(const std::string& source_path,
                                         const std::string& temp_path, JobControl& control)>;

// Internal seams for tests; the exported objects use the defaults.
struct JobHooks {
    // Replaces the conversion (default: the real one).
    Converter convert;
    // Starts the worker thread (default: std::thread); may throw std::system_error.
    std::function<std::thread(std::function<void()>)> launch_thread;
    // Failure injection for the final replacement.
    ReplaceFaultHook replace_fault;
    // Called after every sample the writer copied.
    std::function<void(uint64_t samples_written)> on_sample_written;
    // Limits of the layout writer.
    LayoutLimits layout_limits;
    // Where jobs record their temporary files (default: DefaultJobRecordFolder()).
    std::filesystem::path job_record_folder;
};

class CMoovwright final : public IMoovwright {
public:
    explicit CMoovwright(JobHooks hooks = {});
    CMoovwright(const CMoovwright&) = delete;
    CMoovwright& operator=(const CMoovwright&) = delete;
    ~CMoovwright() override;

    uint32_t SetAdvise(IStreamAdvise* advise) override;
    uint32_t SetFile(const char* path) override;
    uint32_t SetSync(uint32_t sync) override;
    uint32_t Start() override;
    uint32_t Cancel() override;
    uint32_t GetResult() override;
    const char* GetErrorText(uint32_t result) override;
    uint32_t GetProgress() override;

    // The sink the next jobs tell the bytes of their output to (may be null). While a job
    // runs: MW_E_FAIL.
    uint32_t SetWriteSink(IStreamWriteSink* sink);
    // Returns once the files that finished jobs replaced are freed (they are freed in the
    // background, see DisplacedFileRelease). Any thread.
    void WaitForDisplacedFiles() { displaced_.Wait(); }

private:
    // The whole job: temporary name, conversion, replacement or clean-up. Returns the code.
    uint32_t run_job();
    void run_on_worker();
    void release_finished_worker();

    JobHooks hooks_;
    IStreamAdvise* advise_ = nullptr;
    std::string source_path_;
    std::string temp_path_;
    std::atomic<bool> sync_{true};  // read by Cancel on any thread
    // Guards worker_: a worker waits for it before it starts, so that it never sees worker_
    // before Start has stored it there (the advise call may release this object).
    std::mutex workerMutex_;
    std::thread worker_;
    std::atomic<bool> running_{false};
    std::atomic<uint32_t> result_{MW_OK};
    JobControl control_;
    // Outlives the worker: the destructor joins that first.
    DisplacedFileRelease displaced_;
};

}  // namespace moovwright
