#include "http_response.h"

namespace catalogd {

std::string response_header(std::string_view status, std::size_t body_length) {
    std::string header;
    header.reserve(64 + status.size());
    header.append("HTTP/1.1 ").append(status).append("\r\n");
    header.append("Content-Length: ").append(std::to_string(body_length)).append("\r\n");
    header.append("Connection: close\r\n\r\n");
    return header;
}

}  // namespace catalogd
