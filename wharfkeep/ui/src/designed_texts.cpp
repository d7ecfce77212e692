#include "wharfkeep/ui/designed_texts.h"

#include <QCoreApplication>

namespace wharfkeep::ui {
namespace {

QString Translated(const char* text) {
    return QCoreApplication::translate("wharfkeep::ui::DesignedTexts", text);
}

}  // namespace

QString StateText(int state) {
    switch (state) {
        case 0:
            return Translated(QT_TRANSLATE_NOOP("wharfkeep::ui::DesignedTexts", "未发布"));
        case 1:
            return Translated(QT_TRANSLATE_NOOP("wharfkeep::ui::DesignedTexts", "已发布"));
        case 2:
            return Translated(QT_TRANSLATE_NOOP("wharfkeep::ui::DesignedTexts", "正在发布"));
        case 3:
            return Translated(QT_TRANSLATE_NOOP("wharfkeep::ui::DesignedTexts", "等待发布"));
        case -1:
            return Translated(QT_TRANSLATE_NOOP("wharfkeep::ui::DesignedTexts", "发布失败"));
        case -2:
            return Translated(
                QT_TRANSLATE_NOOP("wharfkeep::ui::DesignedTexts", "只支持MP4、ZHD、GHD格式"));
        case -3:
            return Translated(QT_TRANSLATE_NOOP("wharfkeep::ui::DesignedTexts", "文件格式破坏"));
        case -4:
            return Translated(
                QT_TRANSLATE_NOOP("wharfkeep::ui::DesignedTexts", "不可发布的ZHD类型"));
        default:
            return QString::number(state);
    }
}

QString UploadModeText(schedule::UploadMode mode) {
    switch (mode) {
        case schedule::UploadMode::Normal:
            break;
        case schedule::UploadMode::Alternative:
            return Translated(QT_TRANSLATE_NOOP("wharfkeep::ui::DesignedTexts", "备用限速"));
        case schedule::UploadMode::Scheduled:
            return Translated(
                QT_TRANSLATE_NOOP("wharfkeep::ui::DesignedTexts", "备用限速（计划）"));
        case schedule::UploadMode::Paused:
            return Translated(QT_TRANSLATE_NOOP("wharfkeep::ui::DesignedTexts", "已暂停上传"));
    }
    return Translated(QT_TRANSLATE_NOOP("wharfkeep::ui::DesignedTexts", "正常限速"));
}

}  // namespace wharfkeep::ui
