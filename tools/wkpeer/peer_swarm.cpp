#include "peer_swarm.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <random>
#include <unordered_map>

#include "peer_protocol.h"
#include "platform/unique_fd.h"

namespace wkpeer {
namespace {

using clock_type = std::chrono::steady_clock;

constexpr std::size_t receive_chunk = 256 * 1024;

struct pending_request {
    std::uint32_t length;
    clock_type::time_point sent;
};

struct peer {
    enum class state { connecting, awaiting_handshake, transferring, finished, failed };

    platform::UniqueFd socket;
    state phase = state::connecting;
    std::vector<std::uint8_t> in;
    std::size_t in_used = 0;
    std::vector<std::uint8_t> out;
    std::size_t out_sent = 0;
    std::unordered_map<std::uint64_t, pending_request> pending;
    std::uint64_t next_offset = 0;
    std::uint64_t received = 0;
    clock_type::time_point last_progress;
    std::mt19937_64 random;
};

class swarm {
public:
    explicit swarm(const swarm_options& options) : options_(options) {}

    swarm_report run();

private:
    bool resolve(sockaddr_in& address);
    void connect_peer(peer& p, const sockaddr_in& address);
    void fail(peer& p, const std::string& why);
    void on_readable(peer& p);
    void on_writable(peer& p);
    void handle_frame(peer& p, const frame& f);
    void fill_window(peer& p);
    void flush(peer& p);
    void update_interest(peer& p);
    bool active(const peer& p) const {
        return p.phase != peer::state::finished && p.phase != peer::state::failed;
    }

    const swarm_options& options_;
    platform::UniqueFd epoll_;
    std::vector<std::unique_ptr<peer>> peers_;
    swarm_report report_;
    bool stopping_ = false;
};

bool swarm::resolve(sockaddr_in& address) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(options_.host.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) {
        return false;
    }
    address = *reinterpret_cast<sockaddr_in*>(found->ai_addr);
    address.sin_port = htons(options_.port);
    ::freeaddrinfo(found);
    return true;
}

void swarm::fail(peer& p, const std::string& why) {
    if (!active(p)) {
        return;
    }
    p.phase = peer::state::failed;
    ++report_.peers_failed;
    if (report_.ok) {
        report_.ok = false;
        report_.error = why;
    }
    if (p.socket) {
        ::epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, p.socket.get(), nullptr);
        p.socket.reset();
    }
}

void swarm::connect_peer(peer& p, const sockaddr_in& address) {
    p.socket.reset(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!p.socket) {
        fail(p, std::string("socket: ") + std::strerror(errno));
        return;
    }
    const int one = 1;
    ::setsockopt(p.socket.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (::connect(p.socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) !=
            0 &&
        errno != EINPROGRESS) {
        fail(p, std::string("connect: ") + std::strerror(errno));
        return;
    }
    epoll_event event{};
    event.events = EPOLLIN | EPOLLOUT;
    event.data.ptr = &p;
    ::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, p.socket.get(), &event);
    // A peer id of 16 bytes, as the server keeps.
    std::string peer_id = "wkpeer-";
    while (peer_id.size() < 16) {
        peer_id.push_back(static_cast<char>('a' + p.random() % 26));
    }
    p.out = encode_handshake(options_.gcid, options_.size, peer_id);
    p.phase = peer::state::awaiting_handshake;
    p.last_progress = clock_type::now();
}

void swarm::update_interest(peer& p) {
    if (!p.socket) {
        return;
    }
    epoll_event event{};
    event.events = EPOLLIN | (p.out_sent < p.out.size() ? EPOLLOUT : 0u);
    event.data.ptr = &p;
    ::epoll_ctl(epoll_.get(), EPOLL_CTL_MOD, p.socket.get(), &event);
}

void swarm::flush(peer& p) {
    while (p.out_sent < p.out.size()) {
        const ssize_t sent = ::send(p.socket.get(), p.out.data() + p.out_sent,
                                    p.out.size() - p.out_sent, MSG_NOSIGNAL);
        if (sent > 0) {
            p.out_sent += static_cast<std::size_t>(sent);
            continue;
        }
        if (sent < 0 && (errno == EAGAIN || errno == EINTR)) {
            break;
        }
        fail(p, std::string("send: ") + std::strerror(errno));
        return;
    }
    if (p.out_sent == p.out.size()) {
        p.out.clear();
        p.out_sent = 0;
    }
    update_interest(p);
}

void swarm::fill_window(peer& p) {
    if (stopping_ || p.phase != peer::state::transferring) {
        return;
    }
    const std::uint64_t size = options_.size;
    const std::uint64_t step = options_.request_size;
    while (p.pending.size() < options_.window) {
        std::uint64_t offset;
        if (options_.download) {
            if (p.next_offset >= size) {
                break;
            }
            offset = p.next_offset;
            p.next_offset += step;
        } else {
            const std::uint64_t slots = (size + step - 1) / step;
            offset = (p.random() % slots) * step;
            if (p.pending.count(offset) != 0) {
                if (p.pending.size() >= slots) {
                    break;
                }
                continue;
            }
        }
        const auto length =
            static_cast<std::uint32_t>(std::min<std::uint64_t>(step, size - offset));
        append_request(p.out, offset, length);
        p.pending.emplace(offset, pending_request{length, clock_type::now()});
    }
    flush(p);
}

void swarm::handle_frame(peer& p, const frame& f) {
    switch (f.code) {
        case peerfeed::cmd_handshakeresp: {
            peerfeed::p2p_cmd_handshakeresp answer;
            try {
                answer.decode(f.command, f.total, false, true);
            } catch (const std::exception& error) {
                fail(p, std::string("bad HANDSHAKERESP: ") + error.what());
                return;
            }
            if (answer.result != 0) {
                fail(p, "refused: HANDSHAKERESP result " + std::to_string(answer.result));
                return;
            }
            p.phase = peer::state::transferring;
            const auto interested = encode_interested();
            p.out.insert(p.out.end(), interested.begin(), interested.end());
            fill_window(p);
            return;
        }
        case peerfeed::cmd_requestresp: {
            request_response answer;
            const std::string error = decode_requestresp(f.command, f.total, answer);
            if (!error.empty()) {
                fail(p, "bad REQUESTRESP: " + error);
                return;
            }
            auto found = p.pending.find(answer.offset);
            if (found == p.pending.end()) {
                fail(p, "REQUESTRESP for an offset never asked: " + std::to_string(answer.offset));
                return;
            }
            if (answer.result != 0) {
                fail(p, "request at " + std::to_string(answer.offset) + " failed: result " +
                            std::to_string(answer.result));
                return;
            }
            if (answer.data_length != found->second.length) {
                fail(p, "short data at " + std::to_string(answer.offset) + ": " +
                            std::to_string(answer.data_length) + " of " +
                            std::to_string(found->second.length) + " bytes");
                return;
            }
            const auto now = clock_type::now();
            report_.latencies_us.push_back(static_cast<std::uint32_t>(
                std::chrono::duration_cast<std::chrono::microseconds>(now - found->second.sent)
                    .count()));
            p.pending.erase(found);
            if (options_.output_fd >= 0) {
                const ssize_t written =
                    ::pwrite(options_.output_fd, answer.data, answer.data_length,
                             static_cast<off_t>(answer.offset));
                if (written != static_cast<ssize_t>(answer.data_length)) {
                    fail(p, std::string("writing the output: ") + std::strerror(errno));
                    return;
                }
            }
            p.received += answer.data_length;
            p.last_progress = now;
            if (!stopping_) {
                report_.payload_bytes += answer.data_length;
                ++report_.responses;
            }
            if (options_.download && p.received == options_.size && p.pending.empty()) {
                p.phase = peer::state::finished;
                ::epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, p.socket.get(), nullptr);
                p.socket.reset();
                return;
            }
            fill_window(p);
            return;
        }
        default:
            // INTERESTEDRESP, CANCELRESP, KEEPALIVE and anything else carry nothing we need.
            return;
    }
}

void swarm::on_readable(peer& p) {
    for (;;) {
        if (p.in.size() < p.in_used + receive_chunk) {
            p.in.resize(p.in_used + receive_chunk);
        }
        const ssize_t got =
            ::recv(p.socket.get(), p.in.data() + p.in_used, p.in.size() - p.in_used, 0);
        if (got == 0) {
            fail(p, options_.download ? "connection closed after " + std::to_string(p.received) +
                                            " of " + std::to_string(options_.size) + " bytes"
                                      : "connection closed by the server");
            return;
        }
        if (got < 0) {
            if (errno == EAGAIN || errno == EINTR) {
                break;
            }
            fail(p, std::string("recv: ") + std::strerror(errno));
            return;
        }
        p.in_used += static_cast<std::size_t>(got);
        report_.wire_bytes += static_cast<std::uint64_t>(got);
        std::size_t consumed = 0;
        frame f;
        for (;;) {
            const frame_status status = next_frame(p.in.data() + consumed, p.in_used - consumed, f);
            if (status == frame_status::incomplete) {
                break;
            }
            if (status == frame_status::invalid) {
                fail(p, "malformed command from the server");
                return;
            }
            handle_frame(p, f);
            consumed += f.total;
            if (!active(p)) {
                return;
            }
        }
        if (consumed > 0) {
            std::memmove(p.in.data(), p.in.data() + consumed, p.in_used - consumed);
            p.in_used -= consumed;
        }
    }
}

void swarm::on_writable(peer& p) {
    if (p.phase == peer::state::awaiting_handshake && p.out_sent == 0) {
        int error = 0;
        socklen_t length = sizeof error;
        ::getsockopt(p.socket.get(), SOL_SOCKET, SO_ERROR, &error, &length);
        if (error != 0) {
            fail(p, std::string("connect: ") + std::strerror(error));
            return;
        }
    }
    flush(p);
}

swarm_report swarm::run() {
    sockaddr_in address{};
    if (!resolve(address)) {
        report_.ok = false;
        report_.error = "cannot resolve " + options_.host;
        return report_;
    }
    epoll_.reset(::epoll_create1(EPOLL_CLOEXEC));
    std::seed_seq seed{options_.seed};
    std::mt19937_64 seeds(seed);
    for (std::uint32_t i = 0; i < options_.peers; ++i) {
        auto p = std::make_unique<peer>();
        p->random.seed(seeds());
        connect_peer(*p, address);
        peers_.push_back(std::move(p));
    }
    const auto started = clock_type::now();
    const auto deadline =
        started + std::chrono::microseconds(static_cast<std::int64_t>(options_.seconds * 1e6));
    std::vector<epoll_event> events(256);
    for (;;) {
        const bool any_active =
            std::any_of(peers_.begin(), peers_.end(), [this](const auto& p) { return active(*p); });
        if (!any_active) {
            break;
        }
        const auto now = clock_type::now();
        if (!options_.download && now >= deadline) {
            break;
        }
        for (auto& p : peers_) {
            if (active(*p) &&
                now - p->last_progress > std::chrono::milliseconds(options_.stall_timeout_ms)) {
                fail(*p, "no answer for " + std::to_string(options_.stall_timeout_ms) + " ms");
            }
        }
        const int ready =
            ::epoll_wait(epoll_.get(), events.data(), static_cast<int>(events.size()), 50);
        for (int i = 0; i < ready; ++i) {
            peer& p = *static_cast<peer*>(events[i].data.ptr);
            if (!active(p)) {
                continue;
            }
            if (events[i].events & (EPOLLIN | EPOLLERR | EPOLLHUP)) {
                on_readable(p);
            }
            if (active(p) && (events[i].events & EPOLLOUT)) {
                on_writable(p);
            }
        }
    }
    report_.elapsed_seconds = std::chrono::duration<double>(clock_type::now() - started).count();
    stopping_ = true;
    return report_;
}

}  // namespace

swarm_report run_swarm(const swarm_options& options) {
    return swarm(options).run();
}

swarm_report merge_reports(std::vector<swarm_report> reports) {
    swarm_report merged;
    for (swarm_report& r : reports) {
        if (!r.ok && merged.ok) {
            merged.ok = false;
            merged.error = r.error;
        }
        merged.peers_failed += r.peers_failed;
        merged.payload_bytes += r.payload_bytes;
        merged.wire_bytes += r.wire_bytes;
        merged.responses += r.responses;
        merged.elapsed_seconds = std::max(merged.elapsed_seconds, r.elapsed_seconds);
        merged.latencies_us.insert(merged.latencies_us.end(), r.latencies_us.begin(),
                                   r.latencies_us.end());
    }
    return merged;
}

std::uint32_t percentile(std::vector<std::uint32_t>& samples, double fraction) {
    if (samples.empty()) {
        return 0;
    }
    const auto rank = static_cast<std::size_t>(fraction * static_cast<double>(samples.size() - 1));
    std::nth_element(samples.begin(), samples.begin() + static_cast<std::ptrdiff_t>(rank),
                     samples.end());
    return samples[rank];
}

}  // namespace wkpeer
