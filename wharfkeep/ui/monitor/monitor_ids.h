#pragma once
// Control, menu, command and timer ids of the status page (312) and the connection monitor
// page (311). Each control carries its id as its objectName.

namespace wharfkeep::ui::ids {

// Status page (312).
inline constexpr int kButtonServices = 1010;
inline constexpr int kEditServiceState = 1011;
inline constexpr int kEditServiceAddress = 1012;
inline constexpr int kEditUploadSpeed = 1013;
inline constexpr int kEditTotalUploaded = 1014;
inline constexpr int kEditPeerConnections = 1015;
inline constexpr int kEditUploadingMedia = 1016;
inline constexpr int kEditSpeedLimitShown = 1017;
inline constexpr int kEditConnectionLimitShown = 1018;
inline constexpr int kEditPublishedMedia = 1019;
inline constexpr int kEditAllMedia = 1020;
inline constexpr int kEditFreeSpace = 1021;
inline constexpr int kEditTotalSpace = 1022;
inline constexpr int kEditDiskReadSpeed = 1023;
inline constexpr int kEditDiskBytesRead = 1024;
inline constexpr int kEditCacheHitRate = 1025;
// Beside the designed fields: the upload mode in force and the refused connections.
inline constexpr int kEditUploadMode = 1170;
inline constexpr int kEditRefusedCounts = 1171;
inline constexpr int kEditRecentlyRefused = 1172;
inline constexpr int kTimerStateInfo = 1001;  // 1000 ms while the page is shown

// Connection monitor page (311).
inline constexpr int kListResources = 1012;
inline constexpr int kListConnections = 1013;
inline constexpr int kTimerConnMonitor = 1002;      // 5000 ms while the page is shown
inline constexpr int kMenuResource = 311;           // "RtClick"
inline constexpr int kCmdWithdrawResource = 32771;  // "取消发布"

}  // namespace wharfkeep::ui::ids
