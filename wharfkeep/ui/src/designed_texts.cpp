#include "wharfkeep/ui/designed_texts.h"

namespace wharfkeep::ui {

std::string StateText(int state) {
    switch (state) {
        case 0:
            return "未发布";
        case 1:
            return "已发布";
        case 2:
            return "正在发布";
        case 3:
            return "等待发布";
        case -1:
            return "发布失败";
        case -2:
            return "只支持MP4、ZHD、GHD格式";
        case -3:
            return "文件格式破坏";
        case -4:
            return "不可发布的ZHD类型";
        default:
            return std::to_string(state);
    }
}

const char* UploadModeText(schedule::UploadMode mode) {
    switch (mode) {
        case schedule::UploadMode::Normal:
            return "正常限速";
        case schedule::UploadMode::Alternative:
            return "备用限速";
        case schedule::UploadMode::Scheduled:
            return "备用限速（计划）";
        case schedule::UploadMode::Paused:
            return "已暂停上传";
    }
    return "正常限速";
}

}  // namespace wharfkeep::ui
