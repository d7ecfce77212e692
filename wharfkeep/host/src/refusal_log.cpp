#include "wharfkeep/host/refusal_log.h"

#include "platform/lookup_table.h"

namespace wharfkeep::host {
namespace {

constexpr platform::LookupRow<IpRefusal, const char*> kReasonTexts[] = {
    {IpRefusal::DenyList, "deny list"}, {IpRefusal::NotOnAllowList, "not on the allow list"}};

}  // namespace

void RefusalLog::Record(std::uint32_t address, IpRefusal reason, std::time_t when) {
    if (reason == IpRefusal::None) {
        return;
    }
    std::lock_guard lock(mutex_);
    ++(reason == IpRefusal::DenyList ? counts_.deny_list : counts_.not_on_allow_list);
    recent_.push_front({address, reason, when});
    if (recent_.size() > kRecentPeers) {
        recent_.pop_back();
    }
}

RefusalCounts RefusalLog::Counts() const {
    std::lock_guard lock(mutex_);
    return counts_;
}

std::vector<RefusedPeer> RefusalLog::Recent() const {
    std::lock_guard lock(mutex_);
    return {recent_.begin(), recent_.end()};
}

const char* RefusalReasonText(IpRefusal reason) {
    return platform::look_up(kReasonTexts, reason, "");
}

}  // namespace wharfkeep::host
