#include "wharfkeep/host/ip_filter_control.h"

namespace wharfkeep::host {

void IpFilterControl::DeleteEntry(std::size_t index) {
    if (table_.DeleteEntry(index)) {
        events_.Notify(IpFilterChanged{"delete"});
    }
}

void IpFilterControl::AddRange(std::uint32_t first, std::uint32_t second) {
    table_.AddRange(first, second);
    events_.Notify(IpFilterChanged{"add"});
}

IpImportResult IpFilterControl::ImportRanges(std::span<const iprules::AddressRange> ranges) {
    IpImportResult result = table_.AddRanges(ranges);
    if (result.stored && result.added > 0) {
        events_.Notify(IpFilterChanged{"import"});
    }
    return result;
}

void IpFilterControl::SetEnabled(bool enabled) {
    if (table_.SetEnabled(enabled)) {
        events_.Notify(IpFilterChanged{enabled ? "enable" : "disable"});
    }
}

bool IpFilterControl::SetDenyList(bool deny_list) {
    if (!table_.SetDenyList(deny_list)) {
        return false;
    }
    events_.Notify(IpFilterChanged{"type"});
    return true;
}

}  // namespace wharfkeep::host
