#pragma once
// The IP filter as the front ends change it: the IP filter page, wharfkeepd's `ipfilter`
// and the control interface. Each change goes to the table (which stores it in the
// database and reloads the ranges the servers' threads test peers against) and, once
// stored, raises IpFilterChanged; what changes nothing raises nothing.
//
// Threads: the user-interface thread, as the table's own changes.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "wharfkeep/host/host_events.h"
#include "wharfkeep/host/ip_filter_table.h"

namespace wharfkeep::host {

class IpFilterControl {
public:
    // `table` and `events` outlive the part.
    IpFilterControl(IpFilterTable& table, HostEvents& events) : table_(table), events_(events) {}

    IpFilterState Rules() const { return table_.Snapshot(); }
    IpListCounts ListSizes() const { return table_.ListCounts(); }
    // The active list, one range a line in the shortest form that reads back.
    std::string ExportActiveList() const { return table_.ExportActiveList(); }

    // Deletes the range at `index` of the active list; an index beyond it is ignored.
    void DeleteEntry(std::size_t index);
    // Adds the range between two addresses (in either order) to the active list.
    void AddRange(std::uint32_t first, std::uint32_t second);
    // Adds the ranges the active list does not hold yet, in one transaction.
    IpImportResult ImportRanges(std::span<const iprules::AddressRange> ranges);
    void SetEnabled(bool enabled);
    // False, changing nothing, when that list is active already.
    bool SetDenyList(bool deny_list);

private:
    IpFilterTable& table_;
    HostEvents& events_;
};

}  // namespace wharfkeep::host
