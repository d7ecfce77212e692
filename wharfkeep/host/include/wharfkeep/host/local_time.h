#pragma once
// Dates as the database stores them: local time, "%Y-%m-%d %H:%M:%S".

#include <ctime>
#include <string>

namespace wharfkeep::host {

std::string LocalTimeText(std::time_t when);

}  // namespace wharfkeep::host
