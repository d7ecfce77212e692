// The functions libMoovwright.so exports; everything else in it is hidden.

#include <moovwright/moovwright.h>

#include <memory>
#include <new>

#include "stream_job.h"

extern "C" {

MOOVWRIGHT_EXPORT uint32_t CreateStreamCtrl(IMoovwright** out) {
    if (out == nullptr)
        return MW_OK;
    *out = new (std::nothrow) moovwright::CMoovwright();
    return MW_OK;
}

MOOVWRIGHT_EXPORT uint32_t ReleaseStreamCtrl(IMoovwright* job) {
    // Owned by the caller since CreateStreamCtrl; destroyed through the virtual destructor.
    std::unique_ptr<IMoovwright> owned(job);
    return MW_OK;
}

MOOVWRIGHT_EXPORT uint32_t SetStreamWriteSink(IMoovwright* job, IStreamWriteSink* sink) {
    auto* ours = dynamic_cast<moovwright::CMoovwright*>(job);
    return ours != nullptr ? ours->SetWriteSink(sink) : MW_E_POINTER;
}

MOOVWRIGHT_EXPORT uint32_t WaitForDisplacedFiles(IMoovwright* job) {
    auto* ours = dynamic_cast<moovwright::CMoovwright*>(job);
    if (ours == nullptr)
        return MW_E_POINTER;
    ours->WaitForDisplacedFiles();
    return MW_OK;
}

}  // extern "C"
