#pragma once
// The in-memory copy of the active IP list, asked for every accepted peer connection by both
// servers' network threads, and maintained from the user-interface thread.
//
// Safe from any thread. Changes (reloads, additions, deletions, settings) run one at a time,
// each holding a lock of their own throughout; they take the lock the refusal test takes only
// to put new fields in place, never while they read or write the database, so that peers are
// not kept waiting while a block list of 200,000 ranges is stored. The refusal test takes no
// other lock.

#include <cstdint>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "wharfkeep/iprules/range_set.h"

namespace wharfkeep {
class ResourceDatabase;
}

namespace wharfkeep::host {

class UnsignedSetting;

inline constexpr const char* kAllowListTable = "pwt_whitNameList";
inline constexpr const char* kDenyListTable = "pwt_blackNameList";

struct IpFilterRange {
    std::int64_t id = 0;
    std::uint32_t begin = 0;  // first address, first octet most significant
    std::uint32_t end = 0;    // last address, inclusive
};

struct IpFilterState {
    bool enabled = false;
    bool deny_list = false;
    std::vector<IpFilterRange> ranges;
};

// The refusal rule: filtering off serves everybody; the allow list serves only the
// addresses some range holds (nobody when it is empty); the deny list refuses exactly those.
// This walks the rows one by one; the table answers the same from its merged range set.
bool IsRefused(const IpFilterState& state, std::uint32_t address);

// What to tell an operator when the rules refuse every peer (the filter on with an empty
// allow list); empty otherwise.
std::string RefusesEveryPeerWarning(const IpFilterState& state);

// Why a peer was refused by the filter.
enum class IpRefusal { None, DenyList, NotOnAllowList };

// Rows of each list, so that a front end can say what a switch of the list type hides.
struct IpListCounts {
    std::int64_t allow = 0;
    std::int64_t deny = 0;
};

// What an import stored.
struct IpImportResult {
    bool stored = false;      // false: the database refused, nothing was stored
    std::size_t added = 0;    // rows added to the active list
    std::size_t already = 0;  // ranges the active list held already, not added again
};

class IpFilterTable {
public:
    // Binds the database; nothing is loaded before. The database outlives the table.
    void Bind(ResourceDatabase* db);
    // Reads UseIPFilter and IP_NameListType and loads the active list. Nothing happens while
    // no database is bound.
    void Reload();
    // True when a peer at `address` (host order, first octet most significant) is refused.
    // One binary search over the merged ranges, rebuilt at every reload.
    bool Refuses(std::uint32_t address) const { return Check(address) != IpRefusal::None; }
    IpRefusal Check(std::uint32_t address) const;
    // Deletes the range at `index` of the active list from its table and reloads; an index
    // at or beyond the count is ignored (false).
    bool DeleteEntry(std::size_t index);

    // The operations of the IP filter page.
    // Switches filtering on or off and stores UseIPFilter; the ranges are not reloaded.
    // False when it was so already.
    bool SetEnabled(bool enabled);
    // Makes the deny list (true) or the allow list active, stores IP_NameListType and
    // reloads. Returns false and changes nothing when that list is active already.
    bool SetDenyList(bool deny_list);
    // Adds the range between two addresses (in either order) to the active list, reloads.
    void AddRange(std::uint32_t first, std::uint32_t second);

    // Adds ranges (from a block list or typed as CIDR) to the active list in one
    // transaction, leaving out those it holds already, then reloads.
    IpImportResult AddRanges(std::span<const iprules::AddressRange> ranges);
    // The active list's rows in table order, one per line in the shortest form that reads
    // back ("10.0.0.0/8", "10.0.0.1-10.0.0.9", "10.0.0.7").
    std::string ExportActiveList() const;
    IpListCounts ListCounts() const;

    IpFilterState Snapshot() const;
    const char* active_table() const;

private:
    // With change_mutex_ held.
    void ReloadFromDatabase();
    // With change_mutex_ held: sets one flag of the state and stores it as `setting`;
    // false when the flag already had that value.
    bool ChangeFlag(bool IpFilterState::*flag, bool value, const UnsignedSetting& setting);

    std::mutex change_mutex_;   // held by every change throughout
    mutable std::mutex mutex_;  // held to read the fields, and by a change to write them
    ResourceDatabase* db_ = nullptr;
    IpFilterState state_;
    iprules::RangeSet listed_;  // the rows of state_.ranges, merged
};

}  // namespace wharfkeep::host
