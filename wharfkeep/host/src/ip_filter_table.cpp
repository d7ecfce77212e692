#include "wharfkeep/host/ip_filter_table.h"

#include <algorithm>

#include "wharfkeep/database/resource_database.h"
#include "wharfkeep/host/settings.h"

namespace wharfkeep::host {
namespace {

IpListTable ListOf(const IpFilterState& state) {
    return state.deny_list ? IpListTable::Black : IpListTable::White;
}

}  // namespace

bool IsRefused(const IpFilterState& state, std::uint32_t address) {
    if (!state.enabled) {
        return false;
    }
    bool listed = std::any_of(state.ranges.begin(), state.ranges.end(),
                              [address](const IpFilterRange& range) {
                                  return range.begin <= address && address <= range.end;
                              });
    return state.deny_list ? listed : !listed;
}

void IpFilterTable::Bind(ResourceDatabase* db) {
    std::lock_guard change(change_mutex_);
    std::lock_guard lock(mutex_);
    db_ = db;
}

void IpFilterTable::Reload() {
    std::lock_guard change(change_mutex_);
    ReloadFromDatabase();
}

const char* IpFilterTable::active_table() const {
    std::lock_guard lock(mutex_);
    return state_.deny_list ? kDenyListTable : kAllowListTable;
}

// Reads and merges the rows without the lock the refusal test takes (a list of 200,000 rows
// takes a fraction of a second), then puts them in place under it.
void IpFilterTable::ReloadFromDatabase() {
    if (db_ == nullptr) {
        return;
    }
    IpFilterState loaded;
    loaded.enabled = kUseIpFilter.Get(*db_) != 0;
    loaded.deny_list = kIpNameListType.Get(*db_) != 0;
    IpRangeList list;
    db_->LoadIpList(ListOf(loaded), list);
    loaded.ranges.reserve(list.size());
    std::vector<iprules::AddressRange> rows;
    rows.reserve(list.size());
    for (const IpRange& range : list) {
        loaded.ranges.push_back(IpFilterRange{range.id, range.begin_ip, range.end_ip});
        rows.push_back({range.begin_ip, range.end_ip});
    }
    iprules::RangeSet merged(rows);
    std::lock_guard lock(mutex_);
    state_ = std::move(loaded);
    listed_ = std::move(merged);
}

IpRefusal IpFilterTable::Check(std::uint32_t address) const {
    std::lock_guard lock(mutex_);
    if (!state_.enabled) {
        return IpRefusal::None;
    }
    const bool listed = listed_.Contains(address);
    if (state_.deny_list) {
        return listed ? IpRefusal::DenyList : IpRefusal::None;
    }
    return listed ? IpRefusal::None : IpRefusal::NotOnAllowList;
}

bool IpFilterTable::DeleteEntry(std::size_t index) {
    std::lock_guard change(change_mutex_);
    if (db_ == nullptr || index >= state_.ranges.size()) {
        return false;
    }
    db_->DeleteIpRange(ListOf(state_), state_.ranges[index].id);
    ReloadFromDatabase();
    return true;
}

bool IpFilterTable::ChangeFlag(bool IpFilterState::*flag, bool value,
                               const UnsignedSetting& setting) {
    if (state_.*flag == value) {
        return false;
    }
    {
        std::lock_guard lock(mutex_);
        state_.*flag = value;
    }
    if (db_ != nullptr) {
        setting.Set(*db_, value ? 1 : 0);
    }
    return true;
}

bool IpFilterTable::SetEnabled(bool enabled) {
    std::lock_guard change(change_mutex_);
    return ChangeFlag(&IpFilterState::enabled, enabled, kUseIpFilter);
}

bool IpFilterTable::SetDenyList(bool deny_list) {
    std::lock_guard change(change_mutex_);
    if (!ChangeFlag(&IpFilterState::deny_list, deny_list, kIpNameListType)) {
        return false;
    }
    ReloadFromDatabase();
    return true;
}

void IpFilterTable::AddRange(std::uint32_t first, std::uint32_t second) {
    std::lock_guard change(change_mutex_);
    if (db_ == nullptr) {
        return;
    }
    db_->AddIpRange(ListOf(state_), first, second);
    ReloadFromDatabase();
}

IpImportResult IpFilterTable::AddRanges(std::span<const iprules::AddressRange> ranges) {
    std::lock_guard change(change_mutex_);
    IpImportResult result;
    if (db_ == nullptr) {
        return result;
    }
    IpRangeList rows;
    for (const iprules::AddressRange& range : ranges) {
        if (listed_.Covers(range)) {
            ++result.already;
        } else {
            rows.push_back({0, range.first, range.last});
        }
    }
    result.stored = db_->AddIpRanges(ListOf(state_), rows);
    if (result.stored) {
        result.added = rows.size();
    }
    ReloadFromDatabase();
    return result;
}

std::string IpFilterTable::ExportActiveList() const {
    std::lock_guard lock(mutex_);
    std::string text;
    for (const IpFilterRange& range : state_.ranges) {
        text += iprules::FormatRange({range.begin, range.end}) + "\n";
    }
    return text;
}

IpListCounts IpFilterTable::ListCounts() const {
    std::lock_guard lock(mutex_);
    if (db_ == nullptr) {
        return {};
    }
    return {db_->CountIpRanges(IpListTable::White), db_->CountIpRanges(IpListTable::Black)};
}

std::string RefusesEveryPeerWarning(const IpFilterState& state) {
    if (!state.enabled || state.deny_list || !state.ranges.empty()) {
        return "";
    }
    return "the allow list has no ranges: every peer is refused until one is added";
}

IpFilterState IpFilterTable::Snapshot() const {
    std::lock_guard lock(mutex_);
    return state_;
}

}  // namespace wharfkeep::host
