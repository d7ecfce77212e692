#include "stream_job.h"

#include <sys/stat.h>

#include <chrono>
#include <climits>
#include <cstdlib>
#include <memory>
#include <system_error>

#include "convert.h"
#include "core/result.h"
#include "job_record.h"

namespace moovwright {

namespace {

std::thread launch_std_thread(std::function<void()> body) {
    return std::thread(std::move(body));
}

// A symbolic link is followed so that the temporary file lies beside the real file and the
// link itself survives the replacement.
std::string resolve_source(const std::string& path) {
    struct stat status {};
    if (::lstat(path.c_str(), &status) != 0 || !S_ISLNK(status.st_mode))
        return path;
    std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(path.c_str(), nullptr),
                                                         &std::free);
    return resolved ? std::string(resolved.get()) : path;
}

}  // namespace

CMoovwright::CMoovwright(JobHooks hooks) : hooks_(std::move(hooks)) {
    if (!hooks_.convert)
        hooks_.convert = convert_to_streaming_layout;
    if (!hooks_.launch_thread)
        hooks_.launch_thread = launch_std_thread;
    if (hooks_.job_record_folder.empty())
        hooks_.job_record_folder = DefaultJobRecordFolder();
    control_.on_sample_written = hooks_.on_sample_written;
    control_.layout_limits = hooks_.layout_limits;
}

CMoovwright::~CMoovwright() {
    if (running_.load() && !sync_)
        control_.request_cancel();
    // A synchronous job runs on some other thread of the caller's: wait for it to end.
    while (running_.load())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::lock_guard lock(workerMutex_);
    if (worker_.joinable()) {
        // Released from inside the advise call: the worker touches nothing of this object
        // after that call returns.
        if (worker_.get_id() == std::this_thread::get_id()) {
            worker_.detach();
        } else {
            worker_.join();
        }
    }
}

uint32_t CMoovwright::SetAdvise(IStreamAdvise* advise) {
    if (running_.load())
        return MW_E_FAIL;
    advise_ = advise;
    return MW_OK;
}

uint32_t CMoovwright::SetFile(const char* path) {
    if (running_.load())
        return MW_E_FAIL;
    if (path == nullptr)
        return MW_E_POINTER;
    source_path_ = path;
    return MW_OK;
}

uint32_t CMoovwright::SetWriteSink(IStreamWriteSink* sink) {
    if (running_.load())
        return MW_E_FAIL;
    control_.write_sink = sink;
    return MW_OK;
}

uint32_t CMoovwright::SetSync(uint32_t sync) {
    if (running_.load())
        return MW_E_FAIL;
    sync_ = sync != 0;
    return MW_OK;
}

uint32_t CMoovwright::Start() {
    // Claimed here rather than by the job itself, so that neither a second Start nor the
    // destructor can slip in before a new worker has begun.
    bool expected = false;
    if (!running_.compare_exchange_strong(expected, true))
        return MW_E_FAIL;
    control_.reset();
    result_.store(MW_OK);

    if (sync_) {
        result_.store(run_job());
        running_.store(false);
        return MW_OK;
    }

    {
        std::lock_guard lock(workerMutex_);
        release_finished_worker();
        try {
            worker_ = hooks_.launch_thread([this] {
                { std::lock_guard started(workerMutex_); }
                run_on_worker();
            });
            return MW_OK;
        } catch (const std::system_error&) {
            result_.store(MW_FAIL);
        }
    }
    // No worker: the failure is reported here, outside the lock, as the worker would have.
    IStreamAdvise* const advise = advise_;
    running_.store(false);
    if (advise != nullptr)
        advise->OnStreamError(MW_FAIL);
    return MW_OK;
}

uint32_t CMoovwright::Cancel() {
    if (sync_)
        return MW_E_FAIL;
    if (running_.load())
        control_.request_cancel();
    return MW_OK;
}

uint32_t CMoovwright::GetResult() {
    return result_.load();
}

const char* CMoovwright::GetErrorText(uint32_t result) {
    return ResultText(result);
}

uint32_t CMoovwright::GetProgress() {
    return control_.progress();
}

void CMoovwright::release_finished_worker() {
    if (!worker_.joinable())
        return;
    // Started again from inside the previous job's advise call.
    if (worker_.get_id() == std::this_thread::get_id()) {
        worker_.detach();
    } else {
        worker_.join();
    }
}

void CMoovwright::run_on_worker() {
    const uint32_t result = run_job();
    IStreamAdvise* const advise = advise_;
    result_.store(result);
    running_.store(false);
    // Nothing of this object is used past this point: the advise call may release it.
    if (advise == nullptr)
        return;
    if (result == MW_OK) {
        advise->OnStreamDone();
    } else {
        advise->OnStreamError(result);
    }
}

uint32_t CMoovwright::run_job() {
    const std::string source = resolve_source(source_path_);
    if (source.empty() || source.size() + 1 > kMaxPathBytes)
        return MW_FAIL;
    // What a killed job left behind goes before this job adds its own temporary file.
    RemoveLeftoversOfDeadJobs(hooks_.job_record_folder);
    const std::optional<SourceIdentity> read_source = platform::identify_file(source);
    if (!read_source)
        return MW_FAIL;
    JobRecord record(hooks_.job_record_folder);
    temp_path_.clear();
    if (claim_temporary_file(source, temp_path_, &record) != MW_OK)
        return MW_FAIL;

    uint32_t result = hooks_.convert(source, temp_path_, control_);
    if (result == MW_OK) {
        FileDescriptor displaced;
        result = replace_with_temporary(source, temp_path_, *read_source, hooks_.replace_fault,
                                        &displaced);
        if (displaced.valid())
            displaced_.Release(std::move(displaced));
    }
    if (result != MW_OK) {
        if (remove_temporary(temp_path_) != MW_OK)
            result = MW_FAIL;
    }
    return result;
}

}  // namespace moovwright
