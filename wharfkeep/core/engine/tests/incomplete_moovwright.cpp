// A library that offers CreateStreamCtrl but no ReleaseStreamCtrl.
#include "moovwright/moovwright.h"

extern "C" MOOVWRIGHT_EXPORT uint32_t CreateStreamCtrl(IMoovwright** out) {
    if (out) {
        *out = nullptr;
    }
    return 0;
}
