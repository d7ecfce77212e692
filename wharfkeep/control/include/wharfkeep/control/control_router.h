#pragma once
// The resources of the control interface as a pure function from a request to an answer:
// checks the method, the path, the query and the JSON body, calls the host, and shapes the
// answer. The server adds only the transport (and the event stream, which is not a single
// answer).
//
// Every refusal is a 4xx answer with {"error": "..."} and leaves the host untouched.

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "wharfkeep/control/control_host.h"

namespace wharfkeep::control {

struct ControlRequest {
    std::string method;  // "GET", "POST", "PUT", "DELETE"
    std::string path;    // decoded, without the query
    std::map<std::string, std::string> query;
    std::string body;
};

struct ControlResponse {
    int status = 200;
    std::string content_type = "application/json";
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers{};  // besides Content-Type
};

ControlResponse HandleControlRequest(ControlHost& host, const ControlRequest& request);

// The request for `target` (a path with its query, percent-encoded as on the wire);
// nothing when it cannot be decoded. The server reads its requests by the same rules.
std::optional<ControlRequest> ControlRequestOf(std::string method, std::string_view target,
                                               std::string body);

// The answer for a refused request, with its message as JSON.
ControlResponse ErrorResponse(int status, const std::string& message);

}  // namespace wharfkeep::control
