#include "core/result.h"

#include <array>

namespace moovwright {

namespace {

constexpr std::array<const char*, 28> kTexts = {
    "成功",
    "失败",
    "不支持",
    "内存不足",
    "超出数组范围",
    "需要SubIndex",
    "文件未打开",
    "变帧率",
    "空指针",
    "无效的参数",
    "未找到指定的Atom",
    "AtomSize不正常",
    "数据不足",
    "未实现",
    "大于最大允许的轨数，存在多个轨",
    "轨道数量不一致",
    "SubIndex关键帧不一致",
    "sample数量不一致",
    "sample pos不一致",
    "sample size不一致",
    "sample dts不一致",
    "sample cts不一致",
    "sample key不一致",
    "视频不是avc1",
    "音频不是aac",
    "流化过程中，用户取消",
    "不是MP4文件",
    "各轨播放时间差异过大",
};

}  // namespace

const char* ResultText(uint32_t result) {
    if (result < kTexts.size()) {
        return kTexts[result];
    }
    return "未知错误";
}

}  // namespace moovwright
