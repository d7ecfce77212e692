#pragma once
// Moovwright: rewrites an MP4 file in place into the streaming layout (movie box first,
// samples interleaved in key-frame segments, a private segment index).
//
// The host loads libMoovwright.so with dlopen, binds CreateStreamCtrl and ReleaseStreamCtrl
// with dlsym (and SetStreamWriteSink when it wants the new file's bytes as they are
// written) and drives one IMoovwright object per job:
//
//   CreateStreamCtrl(&job);
//   job->SetAdvise(&advise);      // asynchronous use: told on the worker thread when done
//   job->SetFile("/media/clip.mp4");
//   job->SetSync(0);              // 0: Start runs the job on a new thread
//   job->Start();
//   ...                           // GetProgress() / Cancel() while it runs
//   ReleaseStreamCtrl(job);       // cancels a running asynchronous job and waits for it
//
// Paths and texts are UTF-8. Every operation returns an unsigned 32-bit result code; 0 is
// success, the other values are listed below and GetErrorText turns each into its text.
// No exception leaves the library.

#include <stddef.h>
#include <stdint.h>

// Result codes of every Moovwright operation.
enum MoovwrightResult : uint32_t {
    MW_OK = 0,                       // "成功"
    MW_FAIL = 1,                     // "失败": missing atom or track, I/O failure, no samples
    MW_UNSUPPORTED = 2,              // "不支持"
    MW_OUT_OF_MEMORY = 3,            // "内存不足"
    MW_OUT_OF_RANGE = 4,             // "超出数组范围"
    MW_NEED_SUBINDEX = 5,            // "需要SubIndex"
    MW_FILE_NOT_OPEN = 6,            // "文件未打开"
    MW_VARIABLE_FRAME_RATE = 7,      // "变帧率"
    MW_NULL_POINTER = 8,             // "空指针"
    MW_INVALID_ARGUMENT = 9,         // "无效的参数"
    MW_ATOM_NOT_FOUND = 10,          // "未找到指定的Atom"
    MW_BAD_ATOM_SIZE = 11,           // "AtomSize不正常"
    MW_NOT_ENOUGH_DATA = 12,         // "数据不足"
    MW_NOT_IMPLEMENTED = 13,         // "未实现"
    MW_TOO_MANY_TRACKS = 14,         // "大于最大允许的轨数，存在多个轨"
    MW_TRACK_COUNT_MISMATCH = 15,    // "轨道数量不一致"
    MW_SEGMENT_COUNT_MISMATCH = 16,  // "SubIndex关键帧不一致"
    MW_SAMPLE_COUNT_MISMATCH = 17,   // "sample数量不一致"
    MW_SAMPLE_POS_MISMATCH = 18,     // "sample pos不一致"
    MW_SAMPLE_SIZE_MISMATCH = 19,    // "sample size不一致"
    MW_SAMPLE_DTS_MISMATCH = 20,     // "sample dts不一致"
    MW_SAMPLE_CTS_MISMATCH = 21,     // "sample cts不一致"
    MW_SAMPLE_KEY_MISMATCH = 22,     // "sample key不一致"
    MW_VIDEO_NOT_AVC1 = 23,          // "视频不是avc1"
    MW_AUDIO_NOT_AAC = 24,           // "音频不是aac"
    MW_CANCELLED = 25,               // "流化过程中，用户取消"
    MW_NOT_MP4 = 26,                 // "不是MP4文件"
    MW_DURATION_MISMATCH = 27,       // "各轨播放时间差异过大"
    MW_E_POINTER = 0x80004003u,      // a required pointer argument is null
    MW_E_FAIL = 0x80004005u,         // the call is not allowed now (for example while running)
};

// Implemented by the host; called on the worker thread when an asynchronous job ends.
class IStreamAdvise {
public:
    virtual ~IStreamAdvise() = default;
    // The job succeeded: the source file now holds the streaming layout.
    virtual uint32_t OnStreamDone() = 0;
    // The job failed with `result`; the source file is unchanged.
    virtual uint32_t OnStreamError(uint32_t result) = 0;
};

// Implemented by the host that wants the restructured file's bytes as they are written,
// for example to compute its digests without reading the file again. Called on the thread
// running the job: OnOutputStart once before the first byte, then OnOutputBytes with every
// byte of the new file exactly once, front to back. A job that fails or is cancelled stops
// calling; the host learns of the end through the advise object or GetResult. A non-zero
// return means the host wants no more bytes of this output; the job itself goes on.
class IStreamWriteSink {
public:
    virtual ~IStreamWriteSink() = default;
    // The new file will have `file_size` bytes.
    virtual uint32_t OnOutputStart(uint64_t file_size) = 0;
    // The next `length` bytes of the new file; `bytes` is valid only during the call.
    virtual uint32_t OnOutputBytes(const uint8_t* bytes, size_t length) = 0;
};

// One restructuring job. Setters refuse with MW_E_FAIL while a job runs; a finished job
// keeps its result and progress and may be started again with the same settings.
class IMoovwright {
public:
    // Destroyed through ReleaseStreamCtrl only: cancels a running asynchronous job and
    // waits until it has ended.
    virtual ~IMoovwright() = default;
    // The object told when an asynchronous job ends (not owned; may be null).
    virtual uint32_t SetAdvise(IStreamAdvise* advise) = 0;
    // The MP4 file to restructure in place (UTF-8, copied). Null: MW_E_POINTER.
    virtual uint32_t SetFile(const char* path) = 0;
    // Non-zero (the default): Start runs the job on the calling thread; 0: on a new thread.
    virtual uint32_t SetSync(uint32_t sync) = 0;
    // Runs the job (synchronous mode: returns when it has ended, the outcome is in
    // GetResult) or starts it on a worker thread (asynchronous mode).
    virtual uint32_t Start() = 0;
    // Asks a running asynchronous job to stop; it then ends with MW_CANCELLED. Synchronous
    // mode: MW_E_FAIL.
    virtual uint32_t Cancel() = 0;
    // The result code of the last job.
    virtual uint32_t GetResult() = 0;
    // The constant UTF-8 text of a result code ("未知错误" for an unknown one); owned by the
    // library, never freed by the caller.
    virtual const char* GetErrorText(uint32_t result) = 0;
    // Progress of the running or last job, 0 to 100.
    virtual uint32_t GetProgress() = 0;
};

#define MOOVWRIGHT_EXPORT __attribute__((visibility("default")))

extern "C" {
// Creates a job object into *out (null when it cannot be allocated); a null out does
// nothing. Returns 0.
MOOVWRIGHT_EXPORT uint32_t CreateStreamCtrl(IMoovwright** out);
// Destroys a job object made by CreateStreamCtrl (null is ignored). Returns 0.
MOOVWRIGHT_EXPORT uint32_t ReleaseStreamCtrl(IMoovwright* job);
// Gives a job made by CreateStreamCtrl the sink its next outputs are told to (not owned;
// null: none). A null job: MW_E_POINTER; while the job runs: MW_E_FAIL.
MOOVWRIGHT_EXPORT uint32_t SetStreamWriteSink(IMoovwright* job, IStreamWriteSink* sink);
// A job frees the file it replaced in the background, so that its caller goes on while the
// system drops the old file's pages and blocks. Returns once the files of the job's
// finished runs are freed, for a caller about to count free space (null job: MW_E_POINTER).
MOOVWRIGHT_EXPORT uint32_t WaitForDisplacedFiles(IMoovwright* job);
}

// The signatures to cast dlsym's results to, and the library's file name.
using CreateStreamCtrlFunc = uint32_t (*)(IMoovwright** out);
using ReleaseStreamCtrlFunc = uint32_t (*)(IMoovwright* job);
using SetStreamWriteSinkFunc = uint32_t (*)(IMoovwright* job, IStreamWriteSink* sink);
using WaitForDisplacedFilesFunc = uint32_t (*)(IMoovwright* job);
inline constexpr const char kMoovwrightLibraryName[] = "libMoovwright.so";
