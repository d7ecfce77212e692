// Requests from any client of the control socket: method, path, query and body bytes through
// the router to a host that accepts everything. Nothing may crash or throw.

#include <cstddef>
#include <cstdint>
#include <string>

#include "fake_control_host.h"
#include "wharfkeep/control/control_router.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace wharfkeep::control;
    static const char* const kMethods[] = {"GET", "POST", "PUT", "DELETE"};
    if (size < 2) {
        return 0;
    }
    std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
    std::size_t split = text.find('\n');
    ControlRequest request;
    request.method = kMethods[data[0] % 4];
    request.path = text.substr(0, split);
    if (split != std::string::npos) {
        request.body = text.substr(split + 1);
    }
    if (data[0] & 0x10) {
        request.query["state"] = request.body.substr(0, 4);
    }
    FakeControlHost host;
    HandleControlRequest(host, request);
    return 0;
}
