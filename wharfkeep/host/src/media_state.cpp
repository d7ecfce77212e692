#include "wharfkeep/host/media_state.h"

#include <algorithm>
#include <array>
#include <utility>

namespace wharfkeep::host {
namespace {

constexpr std::array<std::pair<int, const char*>, 8> kStateNames{{
    {kNotPublished, "not_published"},
    {kPublished, "published"},
    {kPublishing, "publishing"},
    {kWaiting, "queued"},
    {kFailed, "failed"},
    {kNotStreamable, "not_streamable"},
    {-3, "damaged"},  // the file's format is broken (stored by earlier versions)
    {kHeaderRejected, "header_rejected"},
}};

}  // namespace

std::string StateName(int state) {
    for (const auto& [known, name] : kStateNames) {
        if (known == state) {
            return name;
        }
    }
    return "state_" + std::to_string(state);
}

std::string StateText(int state) {
    std::string text = StateName(state);
    std::replace(text.begin(), text.end(), '_', ' ');
    return text;
}

}  // namespace wharfkeep::host
