// Reads arbitrary bytes as a block-list file and checks what the reader promises: every line
// is counted once, the ranges come out sorted, disjoint and non-adjacent, each range can be
// written and read back, and the range set built from them agrees with the ranges.

#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "wharfkeep/iprules/block_list.h"
#include "wharfkeep/iprules/range_set.h"

using namespace wharfkeep::iprules;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const BlockList list = ParseBlockList(bytes);
    const BlockListReport& report = list.report;
    if (report.skipped + report.taken + report.refused != report.lines ||
        report.taken - report.merged != list.ranges.size() ||
        report.refusals.size() > kListedRefusals) {
        std::abort();
    }
    const RangeSet set(list.ranges);
    for (std::size_t i = 0; i < list.ranges.size(); ++i) {
        const AddressRange& range = list.ranges[i];
        if (range.first > range.last ||
            (i > 0 && range.first <= list.ranges[i - 1].last + std::uint64_t{1})) {
            std::abort();
        }
        const RangeParse again = ParseRange(FormatRange(range));
        if (!again.range || *again.range != range) {
            std::abort();
        }
        if (!set.Contains(range.first) || !set.Contains(range.last) ||
            (range.first > 0 && set.Contains(range.first - 1))) {
            std::abort();
        }
    }
    return 0;
}
