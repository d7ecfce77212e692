#include "platform/memory_info.h"

#include <fstream>
#include <sstream>
#include <string>

namespace platform {

std::uint64_t available_physical_memory() {
    std::ifstream meminfo("/proc/meminfo");
    std::string line;
    while (std::getline(meminfo, line)) {
        if (line.rfind("MemAvailable:", 0) == 0) {
            std::istringstream fields(line.substr(13));
            std::uint64_t kib = 0;
            fields >> kib;
            return kib * 1024u;
        }
    }
    return 0;
}

}  // namespace platform
