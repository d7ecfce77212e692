#pragma once
// Publish states as the integers the State column holds.

#include "wharfkeep/database/resource_database.h"

namespace wharfkeep::host {

inline constexpr int kNotPublished = static_cast<int>(MediaState::NotPublished);
inline constexpr int kPublished = static_cast<int>(MediaState::Published);
inline constexpr int kPublishing = static_cast<int>(MediaState::Publishing);
inline constexpr int kWaiting = static_cast<int>(MediaState::Waiting);
inline constexpr int kFailed = static_cast<int>(MediaState::Failed);
inline constexpr int kNotStreamable = static_cast<int>(MediaState::NotStreamable);
inline constexpr int kHeaderRejected = static_cast<int>(MediaState::HeaderRejected);

}  // namespace wharfkeep::host
