#pragma once
// One thing that happened in the host, as the event stream of the control interface carries
// it: a publication queued, started, progressing or finished (with its state and reason),
// services started or stopped, settings changed, a peer refused, folders, tokens and users
// changed.

#include <cstdint>
#include <optional>
#include <string>

namespace wharfkeep::control {

inline constexpr const char* kEventPublishQueued = "publish-queued";
inline constexpr const char* kEventPublishStarted = "publish-started";
inline constexpr const char* kEventPublishProgress = "publish-progress";
inline constexpr const char* kEventPublishFinished = "publish-finished";
inline constexpr const char* kEventMediaWithdrawn = "media-withdrawn";
inline constexpr const char* kEventFolderAdded = "folder-added";
inline constexpr const char* kEventFolderRemoved = "folder-removed";
// An added folder's watch was switched on or off ("watched" says which).
inline constexpr const char* kEventFolderWatchChanged = "folder-watch-changed";
inline constexpr const char* kEventServicesStarted = "services-started";
inline constexpr const char* kEventServicesStopped = "services-stopped";
inline constexpr const char* kEventSettingsChanged = "settings-changed";
inline constexpr const char* kEventPeerRefused = "peer-refused";
// A peer session opened or ended ("address" is ADDRESS:PORT). Under load only the first
// few of each second are sent one by one; the rest are counted in one peers-summary event
// a second ("connected", "left").
inline constexpr const char* kEventPeerConnected = "peer-connected";
inline constexpr const char* kEventPeerLeft = "peer-left";
inline constexpr const char* kEventPeersSummary = "peers-summary";
// The IP filter's rules changed; the reason names how: "type", "add", "delete", "import",
// "enable" or "disable".
inline constexpr const char* kEventIpFilterChanged = "ipfilter-changed";
// API tokens and console users that came or went, by name and scope; never a token's
// text, hash or a password.
inline constexpr const char* kEventTokenCreated = "token-created";
inline constexpr const char* kEventTokenRevoked = "token-revoked";
inline constexpr const char* kEventUserAdded = "user-added";
inline constexpr const char* kEventUserRemoved = "user-removed";
// An address banned from the TCP control listener for failing to authenticate.
inline constexpr const char* kEventControlBanned = "control-banned";

struct ControlEvent {
    std::string type{};                     // one of the kEvent* names
    std::string path{};                     // media file, when the event is about one
    std::optional<int> state{};             // publish state after the event
    std::optional<int> percent{};           // restructuring progress
    std::string reason{};                   // why a publication failed, why services stopped, ...
    std::string address{};                  // refused peer
    std::string link{};                     // link of a published file
    std::optional<std::uint64_t> speed{};   // restructuring speed, bytes per second
    std::optional<std::uint64_t> queued{};  // files queued by an added folder
    std::optional<bool> watched{};          // whether a folder is watched now
    std::string name{};                     // token or user
    std::string scope{};                    // of that token or user
    std::optional<std::uint64_t> size{};    // media file, bytes
    std::optional<std::uint64_t> connected{};  // peers-summary: sessions opened in the interval
    std::optional<std::uint64_t> left{};       // peers-summary: sessions ended in the interval
};

}  // namespace wharfkeep::control
