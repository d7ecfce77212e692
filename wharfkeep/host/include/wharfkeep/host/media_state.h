#pragma once
// Publish states as the integers the State column holds, and their one English name.

#include <string>

#include "wharfkeep/database/resource_database.h"

namespace wharfkeep::host {

inline constexpr int kNotPublished = static_cast<int>(MediaState::NotPublished);
inline constexpr int kPublished = static_cast<int>(MediaState::Published);
inline constexpr int kPublishing = static_cast<int>(MediaState::Publishing);
inline constexpr int kWaiting = static_cast<int>(MediaState::Waiting);
inline constexpr int kFailed = static_cast<int>(MediaState::Failed);
inline constexpr int kNotStreamable = static_cast<int>(MediaState::NotStreamable);
inline constexpr int kHeaderRejected = static_cast<int>(MediaState::HeaderRejected);

// A state's identifier ("published", "not_streamable"; an unknown state is "state_N"): the
// values scripts match on, stable from release to release: the JSON field `state_name` and
// the metrics' `outcome` label.
std::string StateName(int state);
// The same name in words for people ("published", "not streamable", "state -7"): what the
// command line prints, the JSON field `state_text`, the logs and the control interface's
// messages. The window shows its own designed labels instead (ui/designed_texts.h).
std::string StateText(int state);

}  // namespace wharfkeep::host
