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

// The name of a state ("published", "not_streamable"): the one spelling of the command line,
// the control interface's JSON, the logs and the metrics. An unknown state is "state_N".
// The window shows its own designed labels instead.
std::string StateName(int state);

}  // namespace wharfkeep::host
