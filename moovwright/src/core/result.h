#pragma once
// Result codes of the atom model and their texts. The numeric values are the public ones
// (moovwright/moovwright.h); this header adds the early-return helper used throughout.

#include <cstdint>

#include "moovwright/moovwright.h"

namespace moovwright {

// The constant UTF-8 text of a result code; "未知错误" for a code without one.
const char* ResultText(uint32_t result);

}  // namespace moovwright

// Evaluates `expr` once and returns its result code from the enclosing function unless it
// is MW_OK.
#define MW_RETURN_IF_FAILED(expr)           \
    do {                                    \
        const uint32_t mw_result_ = (expr); \
        if (mw_result_ != MW_OK) {          \
            return mw_result_;              \
        }                                   \
    } while (0)
