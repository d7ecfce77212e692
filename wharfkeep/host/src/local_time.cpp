#include "wharfkeep/host/local_time.h"

namespace wharfkeep::host {

std::string LocalTimeText(std::time_t when) {
    std::tm local{};
    localtime_r(&when, &local);
    char text[32];
    std::size_t length = std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    return std::string(text, length);
}

}  // namespace wharfkeep::host
