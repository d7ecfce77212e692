#include "wharfkeep/iprules/range_set.h"

#include <algorithm>

namespace wharfkeep::iprules {

std::vector<AddressRange> MergeRanges(std::vector<AddressRange> ranges) {
    std::erase_if(ranges, [](const AddressRange& range) { return range.first > range.last; });
    std::sort(ranges.begin(), ranges.end(),
              [](const AddressRange& a, const AddressRange& b) { return a.first < b.first; });
    std::vector<AddressRange> merged;
    for (const AddressRange& range : ranges) {
        // Adjacent counts as touching; the last address of the space touches nothing after.
        const bool touches = !merged.empty() && (merged.back().last == 0xFFFFFFFFu ||
                                                 range.first <= merged.back().last + 1);
        if (touches) {
            merged.back().last = std::max(merged.back().last, range.last);
        } else {
            merged.push_back(range);
        }
    }
    return merged;
}

RangeSet::RangeSet(std::span<const AddressRange> ranges) {
    const std::vector<AddressRange> merged =
        MergeRanges(std::vector<AddressRange>(ranges.begin(), ranges.end()));
    firsts_.reserve(merged.size());
    lasts_.reserve(merged.size());
    for (const AddressRange& range : merged) {
        firsts_.push_back(range.first);
        lasts_.push_back(range.last);
    }
}

std::size_t RangeSet::Candidate(std::uint32_t address) const {
    const auto after = std::upper_bound(firsts_.begin(), firsts_.end(), address);
    if (after == firsts_.begin()) {
        return firsts_.size();
    }
    return static_cast<std::size_t>(after - firsts_.begin()) - 1;
}

bool RangeSet::Contains(std::uint32_t address) const {
    const std::size_t index = Candidate(address);
    return index < lasts_.size() && address <= lasts_[index];
}

bool RangeSet::Covers(const AddressRange& range) const {
    const std::size_t index = Candidate(range.first);
    return index < lasts_.size() && range.last <= lasts_[index];
}

std::vector<AddressRange> RangeSet::Ranges() const {
    std::vector<AddressRange> ranges;
    ranges.reserve(firsts_.size());
    for (std::size_t i = 0; i < firsts_.size(); ++i) {
        ranges.push_back({firsts_[i], lasts_[i]});
    }
    return ranges;
}

}  // namespace wharfkeep::iprules
