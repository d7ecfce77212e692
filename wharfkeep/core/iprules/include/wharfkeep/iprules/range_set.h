#pragma once
// A set of IPv4 addresses kept as sorted, disjoint, non-adjacent ranges, so that asking
// whether it holds an address is one binary search: O(log n) for n ranges, where testing a
// list of rows one by one costs O(n) for every accepted connection.
//
// Built once from any list of ranges (overlapping, duplicated, unsorted); immutable after.
// Not synchronised: the owner guards it like any other value.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "wharfkeep/iprules/address_range.h"

namespace wharfkeep::iprules {

class RangeSet {
public:
    RangeSet() = default;
    // Ranges whose first address lies above their last hold no address and are left out,
    // exactly as a row-by-row test "first <= address <= last" never matches them.
    explicit RangeSet(std::span<const AddressRange> ranges);

    bool Contains(std::uint32_t address) const;
    // True when one range of the set holds every address of `range`.
    bool Covers(const AddressRange& range) const;

    // The merged ranges, ascending.
    std::vector<AddressRange> Ranges() const;
    std::size_t size() const { return firsts_.size(); }
    bool empty() const { return firsts_.empty(); }

private:
    // Index of the range that could hold `address` (the last one starting at or below it),
    // or size() when none starts that low.
    std::size_t Candidate(std::uint32_t address) const;

    // Two arrays rather than one of pairs: the search touches only the first addresses.
    std::vector<std::uint32_t> firsts_;
    std::vector<std::uint32_t> lasts_;
};

// Sorts and joins overlapping and adjacent ranges (10.0.0.0-10.0.0.9 and 10.0.0.10-10.0.0.20
// become one); reversed ranges are dropped. The result is ascending and disjoint.
std::vector<AddressRange> MergeRanges(std::vector<AddressRange> ranges);

}  // namespace wharfkeep::iprules
