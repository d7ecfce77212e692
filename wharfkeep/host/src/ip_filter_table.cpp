#include "wharfkeep/host/ip_filter_table.h"

#include <algorithm>

#include "wharfkeep/database/resource_database.h"
#include "wharfkeep/host/settings.h"

namespace wharfkeep::host {

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
    std::lock_guard lock(mutex_);
    db_ = db;
}

void IpFilterTable::Reload() {
    std::lock_guard lock(mutex_);
    ReloadLocked();
}

const char* IpFilterTable::active_table() const {
    std::lock_guard lock(mutex_);
    return state_.deny_list ? kDenyListTable : kAllowListTable;
}

void IpFilterTable::ReloadLocked() {
    if (db_ == nullptr) {
        return;
    }
    state_.enabled = kUseIpFilter.Get(*db_) != 0;
    state_.deny_list = kIpNameListType.Get(*db_) != 0;
    IpRangeList list;
    db_->LoadIpList(state_.deny_list ? IpListTable::Black : IpListTable::White, list);
    state_.ranges.clear();
    state_.ranges.reserve(list.size());
    std::vector<iprules::AddressRange> rows;
    rows.reserve(list.size());
    for (const IpRange& range : list) {
        state_.ranges.push_back(IpFilterRange{range.id, range.begin_ip, range.end_ip});
        rows.push_back({range.begin_ip, range.end_ip});
    }
    listed_ = iprules::RangeSet(rows);
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
    std::lock_guard lock(mutex_);
    if (db_ == nullptr || index >= state_.ranges.size()) {
        return false;
    }
    db_->DeleteIpRange(state_.deny_list ? IpListTable::Black : IpListTable::White,
                       state_.ranges[index].id);
    ReloadLocked();
    return true;
}

bool IpFilterTable::SetEnabled(bool enabled) {
    std::lock_guard lock(mutex_);
    if (state_.enabled == enabled) {
        return false;
    }
    state_.enabled = enabled;
    if (db_ != nullptr) {
        kUseIpFilter.Set(*db_, enabled ? 1 : 0);
    }
    return true;
}

bool IpFilterTable::SetDenyList(bool deny_list) {
    std::lock_guard lock(mutex_);
    if (state_.deny_list == deny_list) {
        return false;
    }
    state_.deny_list = deny_list;
    if (db_ != nullptr) {
        kIpNameListType.Set(*db_, deny_list ? 1 : 0);
    }
    ReloadLocked();
    return true;
}

void IpFilterTable::AddRange(std::uint32_t first, std::uint32_t second) {
    std::lock_guard lock(mutex_);
    if (db_ == nullptr) {
        return;
    }
    db_->AddIpRange(state_.deny_list ? IpListTable::Black : IpListTable::White, first, second);
    ReloadLocked();
}

IpImportResult IpFilterTable::AddRanges(std::span<const iprules::AddressRange> ranges) {
    std::lock_guard lock(mutex_);
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
    result.stored =
        db_->AddIpRanges(state_.deny_list ? IpListTable::Black : IpListTable::White, rows);
    if (result.stored) {
        result.added = rows.size();
    }
    ReloadLocked();
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
