#pragma once
// Control, menu and command ids of the publish page (dialog 310) and the add-directory
// dialog (319). Each control carries its id as its objectName.

namespace wharfkeep::ui::ids {

// Publish page (310).
inline constexpr int kButtonPublish = 1000;      // "发布"
inline constexpr int kButtonUnpublish = 1001;    // "取消发布"
inline constexpr int kButtonExportLinks = 1002;  // "导出链接"
inline constexpr int kButtonRefresh = 1003;      // "刷新"
inline constexpr int kComboStateFilter = 1004;   // after "显示："
inline constexpr int kListMedia = 1006;          // one line per media file
inline constexpr int kEditLocalPath = 1007;      // after "视频本地路径："
inline constexpr int kEditLink = 1008;           // after "视频链接路径："
inline constexpr int kButtonOpenFolder = 1009;   // "打开文件夹"
inline constexpr int kButtonCopyLink = 1010;     // "复制链接"

// Context menu of the media list (318, "RClickMedia").
inline constexpr int kMenuMedia = 318;
inline constexpr int kCmdPublishMedia = 32793;     // "发布视频"
inline constexpr int kCmdUnpublishMedia = 32794;   // "取消发布"
inline constexpr int kCmdExportMedia = 32795;      // "导出视频链接"
inline constexpr int kCmdOpenMediaFolder = 32796;  // "打开所在文件夹"

// Add-directory dialog (319).
inline constexpr int kEditNewDirectory = 1043;  // after "新目录："
inline constexpr int kButtonBrowse = 1044;      // "浏览"
inline constexpr int kRadioPublishAll = 1045;   // "发布目录下所有视频"
inline constexpr int kRadioPublishNone = 1046;  // "只发布目录"
inline constexpr int kCheckWatchFolder = 1060;  // "监视此目录，自动发布新增的视频"

}  // namespace wharfkeep::ui::ids
