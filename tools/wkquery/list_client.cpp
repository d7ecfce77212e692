#include "list_client.h"

#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <stdexcept>

#include "platform/hex.h"
#include "platform/unique_fd.h"

namespace wkquery {
namespace {

constexpr std::size_t kMaxResponseHeader = 16 * 1024;
// Lists of many published files are large, but not this large.
constexpr std::size_t kMaxResponseBody = std::size_t{1} << 30;

using Clock = std::chrono::steady_clock;

int milliseconds_left(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

void wait_for(int fd, short events, Clock::time_point deadline, const char* what) {
    for (;;) {
        pollfd waiting{fd, events, 0};
        int ready = ::poll(&waiting, 1, milliseconds_left(deadline));
        if (ready > 0) {
            return;
        }
        if (ready == 0) {
            throw std::runtime_error(std::string("timed out ") + what);
        }
        if (errno != EINTR) {
            throw std::runtime_error(std::string("poll failed: ") + std::strerror(errno));
        }
    }
}

int connect_to(const Endpoint& endpoint, Clock::time_point deadline) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    int status = ::getaddrinfo(endpoint.host.c_str(), endpoint.port.c_str(), &hints, &found);
    if (status != 0) {
        throw std::runtime_error("cannot resolve " + endpoint.host + ": " + gai_strerror(status));
    }
    std::string last_error = "no address";
    for (addrinfo* address = found; address != nullptr; address = address->ai_next) {
        int fd = ::socket(address->ai_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (fd < 0) {
            last_error = std::strerror(errno);
            continue;
        }
        if (::connect(fd, address->ai_addr, address->ai_addrlen) == 0 || errno == EINPROGRESS) {
            try {
                wait_for(fd, POLLOUT, deadline, "connecting");
            } catch (const std::exception&) {
                ::close(fd);
                ::freeaddrinfo(found);
                throw;
            }
            int error = 0;
            socklen_t length = sizeof error;
            ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length);
            if (error == 0) {
                ::freeaddrinfo(found);
                return fd;
            }
            last_error = std::strerror(error);
        } else {
            last_error = std::strerror(errno);
        }
        ::close(fd);
    }
    ::freeaddrinfo(found);
    throw std::runtime_error("cannot connect to " + endpoint.host + ":" + endpoint.port + ": " +
                             last_error);
}

void send_all(int fd, std::string_view bytes, Clock::time_point deadline) {
    while (!bytes.empty()) {
        ssize_t sent = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (sent > 0) {
            bytes.remove_prefix(static_cast<std::size_t>(sent));
        } else if (errno == EAGAIN || errno == EINTR) {
            wait_for(fd, POLLOUT, deadline, "sending the request");
        } else {
            throw std::runtime_error(std::string("sending failed: ") + std::strerror(errno));
        }
    }
}

// Appends what arrives; false at the end of the stream.
bool receive_some(int fd, std::string& into, Clock::time_point deadline) {
    char chunk[16 * 1024];
    for (;;) {
        ssize_t got = ::recv(fd, chunk, sizeof chunk, 0);
        if (got > 0) {
            into.append(chunk, static_cast<std::size_t>(got));
            return true;
        }
        if (got == 0 || errno == ECONNRESET) {
            return false;
        }
        if (errno == EAGAIN || errno == EINTR) {
            wait_for(fd, POLLIN, deadline, "waiting for the response");
            continue;
        }
        throw std::runtime_error(std::string("receiving failed: ") + std::strerror(errno));
    }
}

std::optional<std::size_t> header_value_number(std::string_view headers, std::string_view name) {
    std::size_t at = 0;
    while ((at = headers.find("\r\n", at)) != std::string_view::npos) {
        at += 2;
        std::string_view line = headers.substr(at, headers.find("\r\n", at) - at);
        if (line.size() > name.size() && line[name.size()] == ':' &&
            strncasecmp(line.data(), name.data(), name.size()) == 0) {
            std::string_view value = line.substr(name.size() + 1);
            while (!value.empty() && value.front() == ' ') {
                value.remove_prefix(1);
            }
            std::size_t number = 0;
            auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), number);
            if (error != std::errc() || end == value.data()) {
                return std::nullopt;
            }
            return number;
        }
    }
    return std::nullopt;
}

HttpReply parse_head(std::string_view head) {
    HttpReply reply;
    std::string_view status_line = head.substr(0, head.find("\r\n"));
    if (status_line.rfind("HTTP/1.", 0) != 0 || status_line.size() < 12) {
        throw std::runtime_error("the answer is not an HTTP response");
    }
    reply.status = std::string(status_line.substr(9));
    auto [end, error] =
        std::from_chars(status_line.data() + 9, status_line.data() + 12, reply.status_code);
    if (error != std::errc() || end != status_line.data() + 12) {
        throw std::runtime_error("the answer has no status code");
    }
    return reply;
}

std::string identifier_text(const catalogd::described_identifier& identifier) {
    std::size_t size = std::min<std::size_t>(identifier.length, identifier.bytes.size());
    return size == 0 ? std::string("(none)") : platform::upper_hex({identifier.bytes.data(), size});
}

// Texts come from the network: print them quoted, with anything unprintable escaped.
std::string quoted(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out.push_back('\\');
            out.push_back(static_cast<char>(c));
        } else if (c < 0x20 || c == 0x7F) {
            out += "\\x" + platform::upper_hex({&c, 1});
        } else {
            out.push_back(static_cast<char>(c));
        }
    }
    return out + "\"";
}

std::string host_field(const Endpoint& endpoint) {
    bool v6 = endpoint.host.find(':') != std::string::npos;
    return (v6 ? "[" + endpoint.host + "]" : endpoint.host) + ":" + endpoint.port;
}

}  // namespace

std::optional<Endpoint> parse_endpoint(std::string_view text) {
    Endpoint endpoint;
    std::size_t colon;
    if (!text.empty() && text.front() == '[') {
        std::size_t close = text.find(']');
        if (close == std::string_view::npos || close + 1 >= text.size() || text[close + 1] != ':') {
            return std::nullopt;
        }
        endpoint.host = std::string(text.substr(1, close - 1));
        colon = close + 1;
    } else {
        colon = text.rfind(':');
        if (colon == std::string_view::npos) {
            return std::nullopt;
        }
        endpoint.host = std::string(text.substr(0, colon));
    }
    std::string_view port = text.substr(colon + 1);
    unsigned number = 0;
    auto [end, error] = std::from_chars(port.data(), port.data() + port.size(), number);
    if (endpoint.host.empty() || error != std::errc() || end != port.data() + port.size() ||
        number == 0 || number > 65535) {
        return std::nullopt;
    }
    endpoint.port = std::string(port);
    return endpoint;
}

std::optional<peerfeed::cid_bytes> parse_gcid(std::string_view text) {
    if (text.size() != 2 * peerfeed::cid_size) {
        return std::nullopt;
    }
    peerfeed::cid_bytes gcid{};
    for (std::size_t i = 0; i < gcid.size(); ++i) {
        unsigned value = 0;
        auto [end, error] =
            std::from_chars(text.data() + 2 * i, text.data() + 2 * i + 2, value, 16);
        if (error != std::errc() || end != text.data() + 2 * i + 2) {
            return std::nullopt;
        }
        gcid[i] = static_cast<std::uint8_t>(value);
    }
    return gcid;
}

HttpReply exchange(const Endpoint& endpoint, const std::string& request,
                   std::chrono::milliseconds timeout) {
    Clock::time_point deadline = Clock::now() + timeout;
    platform::UniqueFd socket(connect_to(endpoint, deadline));
    send_all(socket.get(), request, deadline);

    std::string received;
    std::size_t head_end;
    while ((head_end = received.find("\r\n\r\n")) == std::string::npos) {
        if (received.size() > kMaxResponseHeader) {
            throw std::runtime_error("the response header is too long");
        }
        if (!receive_some(socket.get(), received, deadline)) {
            throw std::runtime_error(received.empty()
                                         ? "the server closed the connection without a response"
                                         : "the server closed the connection inside the header");
        }
    }
    std::string_view head(received.data(), head_end + 2);
    HttpReply reply = parse_head(head);
    std::optional<std::size_t> length = header_value_number(head, "Content-Length");
    if (!length || *length > kMaxResponseBody) {
        throw std::runtime_error("the response has no usable Content-Length");
    }
    std::size_t body_start = head_end + 4;
    while (received.size() - body_start < *length) {
        if (!receive_some(socket.get(), received, deadline)) {
            throw std::runtime_error("the server closed the connection after " +
                                     std::to_string(received.size() - body_start) + " of " +
                                     std::to_string(*length) + " body bytes");
        }
    }
    reply.body = received.substr(body_start, *length);
    return reply;
}

std::string query_request(const Endpoint& endpoint, std::span<const std::uint8_t> body) {
    std::string request = "POST / HTTP/1.1\r\nHost: " + host_field(endpoint) +
                          "\r\nContent-Length: " + std::to_string(body.size()) +
                          "\r\nConnection: close\r\n\r\n";
    request.append(body.begin(), body.end());
    return request;
}

std::string list_request(const Endpoint& endpoint) {
    return "GET /urls HTTP/1.1\r\nHost: " + host_field(endpoint) + "\r\nConnection: close\r\n\r\n";
}

std::string describe(const catalogd::cmd_stream_query_movie_info_resp& response) {
    std::string text;
    text += "gcid:         " + identifier_text(response.gcid) + "\n";
    text += "check digest: " + identifier_text(response.check_id) + "\n";
    text += "total size:   " + std::to_string(response.total_size) + "\n";
    text += "first text:   " + quoted(response.first_text) + "\n";
    text += "second text:  " + quoted(response.second_text) + "\n";
    text += "pieces:       " + std::to_string(response.piece_count) + "\n";
    std::uint64_t offset = 0;
    for (std::size_t i = 0; i < response.pieces.size(); ++i) {
        const catalogd::described_piece& piece = response.pieces[i];
        text += "  " + std::to_string(i) + "  offset " + std::to_string(offset) + "  size " +
                std::to_string(piece.size) + "  digest " + identifier_text(piece.digest) + "\n";
        offset += piece.size;
    }
    return text;
}

}  // namespace wkquery
