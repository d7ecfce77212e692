#include "http_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "loopback.h"
#include "platform/free_port.h"

namespace catalogd::test {
Client::Client(std::uint16_t port) : socket_(platform::testing::ConnectLoopback(port)) {}

void Client::close() {
    socket_.reset();
}

void Client::finish_sending() {
    if (socket_.valid()) {
        ::shutdown(socket_.get(), SHUT_WR);
    }
}

bool Client::send(std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t sent = ::send(socket_.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) {
            continue;
        }
        if (sent <= 0) {
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(sent));
    }
    return true;
}

Reply Client::read_until_closed(std::chrono::milliseconds limit) {
    Reply reply;
    auto deadline = std::chrono::steady_clock::now() + limit;
    char chunk[4096];
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            reply.timed_out = true;
            return reply;
        }
        pollfd waiting{socket_.get(), POLLIN, 0};
        int ready = ::poll(&waiting, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            reply.timed_out = true;
            return reply;
        }
        ssize_t got = ::recv(socket_.get(), chunk, sizeof chunk, 0);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            reply.closed = true;
            reply.reset = got < 0 && errno == ECONNRESET;
            return reply;
        }
        reply.bytes.append(chunk, static_cast<std::size_t>(got));
    }
}

std::string Client::read_at_least(std::size_t size, std::chrono::milliseconds limit) {
    std::string bytes;
    auto deadline = std::chrono::steady_clock::now() + limit;
    char chunk[4096];
    while (bytes.size() < size) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd waiting{socket_.get(), POLLIN, 0};
        if (left.count() <= 0 || ::poll(&waiting, 1, static_cast<int>(left.count())) <= 0) {
            break;
        }
        ssize_t got = ::recv(socket_.get(), chunk, sizeof chunk, 0);
        if (got <= 0) {
            break;
        }
        bytes.append(chunk, static_cast<std::size_t>(got));
    }
    return bytes;
}

Reply send_request(std::uint16_t port, std::string_view request) {
    Client client(port);
    if (!client.connected()) {
        return Reply{{}, true, false};
    }
    client.send(request);
    return client.read_until_closed();
}

std::optional<HttpResponse> parse_response(const std::string& bytes) {
    const std::string prefix = "HTTP/1.1 ";
    std::size_t line_end = bytes.find("\r\n");
    std::size_t header_end = bytes.find("\r\n\r\n");
    if (bytes.rfind(prefix, 0) != 0 || line_end == std::string::npos ||
        header_end == std::string::npos) {
        return std::nullopt;
    }
    HttpResponse response;
    response.status = bytes.substr(prefix.size(), line_end - prefix.size());
    response.headers = bytes.substr(line_end + 2, header_end + 2 - (line_end + 2));
    const std::string field = "Content-Length: ";
    std::size_t length_at = response.headers.find(field);
    if (length_at == std::string::npos) {
        return std::nullopt;
    }
    response.content_length = std::stoul(response.headers.substr(length_at + field.size()));
    response.body = bytes.substr(header_end + 4);
    if (response.body.size() != response.content_length) {
        return std::nullopt;
    }
    return response;
}

std::string query_request(std::string_view body) {
    std::string request = "POST /movie HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: ";
    request.append(std::to_string(body.size())).append("\r\n\r\n").append(body);
    return request;
}

}  // namespace catalogd::test
