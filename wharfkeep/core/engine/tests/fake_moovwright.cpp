// A stand-in for libMoovwright.so whose job does not touch the file. What the job reports
// is read from WK_FAKE_MOOVWRIGHT when Start is called:
//   "done"          OnStreamDone
//   "error:N"       OnStreamError(N)
//   "wait-cancel"   waits for Cancel, then OnStreamError(25); after 5 s without one,
//                   OnStreamError(99)
//   "refuse-start"  Start returns E_FAIL
// Like the real job, a job clears the cancel flag when it begins.
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "moovwright/moovwright.h"

namespace {

class FakeJob : public IMoovwright {
public:
    ~FakeJob() override {
        cancel_ = true;
        if (worker_.joinable()) {
            worker_.join();
        }
    }
    uint32_t SetAdvise(IStreamAdvise* advise) override {
        advise_ = advise;
        return 0;
    }
    uint32_t SetFile(const char* path) override {
        return path ? uint32_t{0} : uint32_t{MW_E_POINTER};
    }
    uint32_t SetSync(uint32_t) override { return 0; }
    uint32_t Start() override {
        const char* script = std::getenv("WK_FAKE_MOOVWRIGHT");
        const std::string what = script ? script : "done";
        if (what == "refuse-start") {
            return MW_E_FAIL;
        }
        if (worker_.joinable()) {
            worker_.join();
        }
        worker_ = std::thread([this, what] { run(what); });
        return 0;
    }
    uint32_t Cancel() override {
        cancel_ = true;
        return 0;
    }
    uint32_t GetResult() override { return result_; }
    const char* GetErrorText(uint32_t result) override {
        switch (result) {
            case 7:
                return "变帧率";
            case 25:
                return "流化过程中，用户取消";
            default:
                return "未知错误";
        }
    }
    uint32_t GetProgress() override { return 0; }

private:
    void run(const std::string& what) {
        // Give a caller's early Cancel the chance to be lost, as with the real job.
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        cancel_ = false;
        if (what == "wait-cancel") {
            const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(5);
            while (!cancel_ && std::chrono::steady_clock::now() < give_up) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            result_ = cancel_ ? uint32_t{MW_CANCELLED} : 99u;
        } else if (what.rfind("error:", 0) == 0) {
            result_ = uint32_t(std::stoul(what.substr(6)));
        } else {
            result_ = MW_OK;
        }
        if (advise_) {
            result_ == MW_OK ? advise_->OnStreamDone() : advise_->OnStreamError(result_);
        }
    }

    IStreamAdvise* advise_ = nullptr;
    std::atomic<bool> cancel_{false};
    std::atomic<uint32_t> result_{0};
    std::thread worker_;
};

}  // namespace

extern "C" {
MOOVWRIGHT_EXPORT uint32_t CreateStreamCtrl(IMoovwright** out) {
    if (out) {
        *out = new FakeJob;
    }
    return 0;
}
MOOVWRIGHT_EXPORT uint32_t ReleaseStreamCtrl(IMoovwright* job) {
    delete job;
    return 0;
}
}
