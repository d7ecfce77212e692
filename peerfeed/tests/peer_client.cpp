#include "peer_client.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>

#include "loopback.h"
#include "platform/free_port.h"

namespace peerfeed::test {

peer_client::peer_client(std::uint16_t port, const char* source)
    : socket_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    if (!socket_) {
        throw std::runtime_error("socket failed");
    }
    if (source != nullptr) {
        sockaddr_in local{};
        local.sin_family = AF_INET;
        inet_pton(AF_INET, source, &local.sin_addr);
        if (::bind(socket_.get(), reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
            throw std::runtime_error("bind of the client address failed");
        }
    }
    const sockaddr_in server = platform::testing::LoopbackAddress(port);
    if (::connect(socket_.get(), reinterpret_cast<const sockaddr*>(&server), sizeof server) != 0) {
        socket_.reset();
    }
}

void peer_client::send(p2p_cmd_tcp& command) {
    send_raw(encode(command));
}

void peer_client::send_raw(const std::vector<std::uint8_t>& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t wrote =
            ::send(socket_.get(), bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (wrote <= 0) {
            return;  // the server closed: the test looks at what it received
        }
        done += static_cast<std::size_t>(wrote);
    }
}

bool peer_client::fill(std::size_t size, std::chrono::steady_clock::time_point deadline) {
    while (buffer_.size() < size) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || closed_) {
            return false;
        }
        pollfd wait{socket_.get(), POLLIN, 0};
        if (::poll(&wait, 1, static_cast<int>(left.count())) <= 0) {
            return false;
        }
        std::uint8_t chunk[65536];
        const ssize_t got = ::recv(socket_.get(), chunk, sizeof chunk, 0);
        if (got <= 0) {
            closed_ = true;
            return false;
        }
        buffer_.insert(buffer_.end(), chunk, chunk + got);
    }
    return true;
}

std::unique_ptr<p2p_cmd_tcp> peer_client::receive(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    if (!fill(noise_header_size, deadline)) {
        return nullptr;
    }
    const std::uint8_t* header = buffer_.data();
    const std::uint32_t body_length = header[17] | header[18] << 8 | header[19] << 16 |
                                      static_cast<std::uint32_t>(header[20]) << 24;
    const std::size_t total = noise_header_size + static_cast<std::size_t>(body_length);
    if (!fill(total, deadline)) {
        return nullptr;
    }
    std::unique_ptr<p2p_cmd_tcp> command;
    if (body_length > max_body_length && buffer_[noise_code_offset] == cmd_requestresp) {
        // The answer to a full 65536-byte request is longer than the codec accepts on
        // receipt; a downloading peer reads its fields directly.
        auto response = std::make_unique<p2p_cmd_requestresp>(true);
        p2p_cmd_reader reader(buffer_.data() + noise_header_size, body_length);
        std::uint32_t length = 0;
        reader.read_uint8(response->result).read_uint64(response->offset).read_uint32(length);
        response->set_data(reader.position(), length);
        response->body_length = body_length;
        command = std::move(response);
    } else {
        command = make_p2p_cmd(buffer_[noise_code_offset]);
        if (!command) {
            command = std::make_unique<p2p_cmd_tcp>();
        }
        command->decode(buffer_.data(), static_cast<std::uint32_t>(total), false, true);
    }
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(total));
    bytes_received_ += total;
    return command;
}

bool peer_client::closed_without_data(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    const std::size_t before = buffer_.size();
    while (!closed_ && std::chrono::steady_clock::now() < deadline) {
        fill(buffer_.size() + 1, deadline);
    }
    return closed_ && buffer_.size() == before;
}

bool peer_client::stays_quiet(std::chrono::milliseconds quiet) {
    const std::size_t before = buffer_.size();
    fill(buffer_.size() + 1, std::chrono::steady_clock::now() + quiet);
    return !closed_ && buffer_.size() == before;
}

std::vector<std::uint8_t> encode(p2p_cmd_tcp& command) {
    std::uint32_t length = command.encoded_size(true);
    std::vector<std::uint8_t> bytes(length);
    command.encode(bytes.data(), length, true);
    return bytes;
}

p2p_cmd_handshake make_handshake(const std::string& gcid, std::uint64_t size,
                                 const std::string& peer_id) {
    p2p_cmd_handshake handshake;
    for (std::size_t i = 0; i < cid_size && 2 * i + 1 < gcid.size(); ++i) {
        handshake.gcid[i] =
            static_cast<std::uint8_t>(std::stoi(gcid.substr(2 * i, 2), nullptr, 16));
    }
    handshake.file_size = size;
    handshake.peer_id = peer_id;
    return handshake;
}

p2p_cmd_request make_request(std::uint64_t offset, std::uint64_t length) {
    p2p_cmd_request request;
    request.offset = offset;
    request.length = length;
    request.rq_word = 1;
    return request;
}

}  // namespace peerfeed::test
