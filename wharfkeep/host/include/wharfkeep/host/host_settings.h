#pragma once
// The operator's settings as the host applies them: the access address and Master ID (which
// the links carry), the ports, the upload and connection limits with the upload schedule,
// and the reload of all of them (SIGHUP, the window's reload). Each change is stored in the
// database, handed to the part it concerns (the publish engine's link settings, the
// services' limits, the IP filter table) and told to the listeners as SettingsChanged.
//
// Threads: the user-interface thread; the upload limit's timer applies its decisions to
// the services on a thread of its own.

#include <cstdint>
#include <memory>
#include <string>

#include "wharfkeep/database/resource_database.h"
#include "wharfkeep/host/host_core.h"
#include "wharfkeep/host/ip_filter_table.h"
#include "wharfkeep/host/services.h"
#include "wharfkeep/host/settings.h"
#include "wharfkeep/host/upload_limit_controller.h"
#include "wharfkeep/host/window_text.h"
#include "wharfkeep/settings/setting_table.h"

namespace wharfkeep::host {

// Cap of peer connections from one address (0 = off), beside the designed limits.
inline constexpr UnsignedSetting kVpAddrConnLimit{"VP_AddrConnLimit"};

// How peers would fare with the access address.
enum class AccessAddressVerdict {
    kGood,
    kSiteOnly,  // private or link-local: only peers of this site reach it
    kWrong,     // empty, unspecified or loopback: no peer reaches it
};

inline constexpr const char* kAccessAddressQuestion =
    WK_WINDOW_TEXT("HostQuestion", "当前IP地址(%s)有误，无法正常提供服务，您需要修改IP地址吗？");

class HostSettings {
public:
    // Changes reach the publisher's engine (link settings), `services` (limits) and
    // `ip_filter`; all outlive the part.
    HostSettings(const HostCore& core, Services& services, IpFilterTable& ip_filter);
    ~HostSettings();
    HostSettings(const HostSettings&) = delete;
    HostSettings& operator=(const HostSettings&) = delete;

    // After the database opened with `access`: hands the engine its link settings and
    // report identity and the services their limits, and starts the upload schedule.
    void Start(const ServerAccessSettings& access);

    void SetAccess(int way, const std::string& ip, const std::string& domain);
    void SetMasterId(const std::string& id);
    void SetUploadSpeedLimit(std::uint32_t bytes_per_second);
    void SetConnectionLimit(std::uint32_t count);
    void SetAddressConnectionLimit(std::uint32_t count);
    void SetTransferPort(std::uint32_t port);
    void SetProtocolPort(std::uint32_t port);
    // Changes one setting of the settings table, to a value that passed the table's rule,
    // through the operation the settings page uses. False when that changes nothing (the
    // stored Master ID typed in another letter case).
    bool ChangeSetting(const settings::SettingEntry& entry, const settings::CheckedValue& value);

    AccessAddressVerdict JudgeAccessAddress() const;
    // The start-up question about a wrong access address (Yes goes to the IP field); a
    // private one only gets a warning in the log.
    void CheckAccessAddress();
    // Reads the limits and the IP filter from the database, and the peer server's cache
    // tuning and the publish-report endpoint from Wharfkeep.ini, again and applies them to
    // the running servers; nothing is restarted and no peer is dropped.
    void ReloadSettings();

    const ServerAccessSettings& Access() const { return access_; }
    std::string MasterId();
    std::uint32_t Setting(const UnsignedSetting& setting);
    // A setting of the settings table as `wharfkeepd config` prints it.
    std::string SettingText(const std::string& key);
    // The upload mode and limit in force (normal, alternative by schedule or switch, paused).
    schedule::UploadDecision UploadDecision() const { return upload_limits_.Current(); }

private:
    void ApplyLinkSettings(std::uint32_t peer_port, std::uint32_t list_port);
    void RelinkPublishedFiles();
    // ChangeSetting for the keys of the upload schedule; false for any other key.
    bool ChangeUploadSchedule(const settings::SettingEntry& entry,
                              const settings::CheckedValue& value);

    HostCore core_;
    Services& services_;
    IpFilterTable& ip_filter_;
    ServerAccessSettings access_;
    UploadLimitController upload_limits_;
};

}  // namespace wharfkeep::host
