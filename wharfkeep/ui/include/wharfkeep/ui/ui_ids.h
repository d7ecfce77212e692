#pragma once
// Dialog, control, menu and command ids of the window program. Every control carries its id
// as its objectName (ObjectId), so that tests and the screenshot tour find it by id.

#include <QString>

namespace wharfkeep::ui {

inline QString ObjectId(int id) {
    return QString::number(id);
}

namespace ids {

// Dialogs and pages.
inline constexpr int kPublishPage = 310;
inline constexpr int kConnectionMonitorPage = 311;
inline constexpr int kStateInfoPage = 312;
inline constexpr int kConfigSettingPage = 314;
inline constexpr int kIpFilterPage = 315;
inline constexpr int kAddDirectoryDialog = 319;
inline constexpr int kChangeMasterIdDialog = 323;

// Menus.
inline constexpr int kMenuTreeNode = 316;    // "RClickTreeNode"
inline constexpr int kMenuTreeSpace = 317;   // "RClickTreeNodeSpace"
inline constexpr int kMenuNotifyIcon = 320;  // "System_NotifyIcon"

// Tray menu commands.
inline constexpr int kCmdExit = 32800;           // "退出"
inline constexpr int kCmdStartServices = 32801;  // "启动服务"
inline constexpr int kCmdStopServices = 32802;   // "停止服务"

// Navigation tree commands.
inline constexpr int kCmdPublishDirectory = 32775;    // "发布此目录"
inline constexpr int kCmdUnpublishDirectory = 32776;  // "取消发布此目录"
inline constexpr int kCmdExportDirectory = 32778;     // "导出链接"
inline constexpr int kCmdOpenDirectory = 32780;       // "打开所在文件夹"
inline constexpr int kCmdRemoveDirectory = 32782;     // "移除目录"
inline constexpr int kCmdExportAll = 32785;           // "导出所有视频链接"
inline constexpr int kCmdAddDirectory = 32787;        // "添加新的目录"
inline constexpr int kCmdWatchDirectory = 32790;  // "监视此目录" (check mark while watched)

// Settings page (314).
inline constexpr int kRadioAccessByIp = 1014;
inline constexpr int kRadioAccessByDomain = 1015;
inline constexpr int kEditAccessIp = 1019;
inline constexpr int kEditAccessDomain = 1030;
inline constexpr int kButtonLocalIp = 1031;
inline constexpr int kButtonSaveAccess = 1032;
inline constexpr int kEditSpeedLimit = 1017;
inline constexpr int kEditConnectionLimit = 1033;
inline constexpr int kButtonRestoreLimits = 1026;
inline constexpr int kButtonSaveLimits = 1027;
inline constexpr int kEditTransferPort = 1047;
inline constexpr int kEditProtocolPort = 1024;
inline constexpr int kButtonDefaultPorts = 1048;
inline constexpr int kButtonSavePorts = 1049;
inline constexpr int kEditMasterId = 1053;
inline constexpr int kButtonChangeMasterId = 1054;

// Master ID dialog (323).
inline constexpr int kEditCurrentId = 1055;
inline constexpr int kEditNewId = 1031;
inline constexpr int kLabelIdError = 1056;

// IP filter page (315).
inline constexpr int kCheckUseFilter = 1035;
inline constexpr int kRadioAllowList = 1036;
inline constexpr int kRadioDenyList = 1037;
inline constexpr int kEditBeginIp = 1039;
inline constexpr int kEditEndIp = 1038;
inline constexpr int kButtonAddRange = 1040;
inline constexpr int kButtonDeleteRange = 1041;
inline constexpr int kListRanges = 1042;
// Beside the designed controls: a range typed as text, block-list import and export, and
// the row counts of both lists.
inline constexpr int kEditRangeText = 1160;
inline constexpr int kButtonAddRangeText = 1161;
inline constexpr int kButtonImportList = 1162;
inline constexpr int kButtonExportList = 1163;
inline constexpr int kLabelListCounts = 1164;

}  // namespace ids
}  // namespace wharfkeep::ui
