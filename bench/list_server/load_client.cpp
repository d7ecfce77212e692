#include "load_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string_view>
#include <thread>
#include <vector>

namespace bench {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kSourceAddresses = 253;  // 127.0.0.2 .. 127.0.0.254
constexpr std::size_t kMaxHeader = 4096;

// The parts of a response header that decide whether the exchange succeeded.
struct ResponseHead {
    bool ok = false;  // status 200
    std::uint64_t content_length = 0;
};

ResponseHead parse_head(std::string_view head) {
    ResponseHead parsed;
    parsed.ok = head.starts_with("HTTP/1.1 200 ") || head.starts_with("HTTP/1.0 200 ");
    std::string lower(head);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    std::size_t field = lower.find("\r\ncontent-length:");
    if (field == std::string::npos) {
        parsed.ok = false;
        return parsed;
    }
    parsed.content_length = std::strtoull(lower.c_str() + field + 17, nullptr, 10);
    return parsed;
}

// One connection's exchange.
struct Exchange {
    int fd = -1;
    bool sent = false;
    std::string head;            // response bytes until the end of the header
    std::uint64_t expected = 0;  // header + body bytes, once the header is known
    std::uint64_t received = 0;
};

class Worker {
public:
    Worker(const LoadTarget& target, int connections, int first_address)
        : target_(target),
          exchanges_(static_cast<std::size_t>(connections)),
          next_address_(first_address) {
        epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
        if (epoll_ < 0) {
            throw std::runtime_error("epoll_create1 failed");
        }
    }
    ~Worker() {
        for (Exchange& exchange : exchanges_) {
            if (exchange.fd >= 0) {
                ::close(exchange.fd);
            }
        }
        ::close(epoll_);
    }
    Worker(const Worker&) = delete;
    Worker& operator=(const Worker&) = delete;

    // Keeps every exchange busy until `end`; counts what completes before it.
    void run(Clock::time_point end) {
        for (Exchange& exchange : exchanges_) {
            open(exchange);
        }
        std::array<epoll_event, 256> events{};
        while (Clock::now() < end) {
            int ready = ::epoll_wait(epoll_, events.data(), static_cast<int>(events.size()), 50);
            for (int i = 0; i < ready; ++i) {
                advance(*static_cast<Exchange*>(events[static_cast<std::size_t>(i)].data.ptr),
                        events[static_cast<std::size_t>(i)].events);
            }
            // Exchanges whose socket could not even be opened try again here, at most once
            // per wait, so that a refusing server does not make the client spin.
            for (Exchange& exchange : exchanges_) {
                if (exchange.fd < 0) {
                    open(exchange);
                }
            }
        }
    }

    const LoadResult& result() const { return result_; }

private:
    void open(Exchange& exchange) {
        exchange = Exchange{};
        int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            ++result_.failed;
            return;
        }
        // The port is chosen at connect time, for the whole address pair: without this,
        // bind() would need a port free for every destination.
        int on = 1;
        ::setsockopt(fd, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &on, sizeof on);
        sockaddr_in source{};
        source.sin_family = AF_INET;
        source.sin_addr.s_addr = htonl(0x7F000002u + static_cast<std::uint32_t>(next_address_));
        next_address_ = (next_address_ + 1) % kSourceAddresses;
        sockaddr_in destination{};
        destination.sin_family = AF_INET;
        destination.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        destination.sin_port = htons(target_.port);
        epoll_event interest{};
        interest.events = EPOLLOUT;
        interest.data.ptr = &exchange;
        if (::bind(fd, reinterpret_cast<sockaddr*>(&source), sizeof source) != 0 ||
            (::connect(fd, reinterpret_cast<sockaddr*>(&destination), sizeof destination) != 0 &&
             errno != EINPROGRESS) ||
            ::epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &interest) != 0) {
            ::close(fd);
            ++result_.failed;
            return;
        }
        exchange.fd = fd;
    }

    void finish(Exchange& exchange, bool succeeded) {
        ::close(exchange.fd);
        exchange.fd = -1;
        if (succeeded) {
            ++result_.completed;
            result_.body_bytes += target_.expected_body;
        } else {
            ++result_.failed;
        }
        open(exchange);
    }

    void advance(Exchange& exchange, std::uint32_t events) {
        if (!exchange.sent) {
            send_request(exchange, events);
        } else {
            read_response(exchange);
        }
    }

    void send_request(Exchange& exchange, std::uint32_t events) {
        if ((events & (EPOLLERR | EPOLLHUP)) != 0) {
            finish(exchange, false);
            return;
        }
        // The request is far smaller than any send buffer: it goes in one call or fails.
        ssize_t sent =
            ::send(exchange.fd, target_.request.data(), target_.request.size(), MSG_NOSIGNAL);
        if (sent != static_cast<ssize_t>(target_.request.size())) {
            finish(exchange, false);
            return;
        }
        exchange.sent = true;
        epoll_event interest{};
        interest.events = EPOLLIN;
        interest.data.ptr = &exchange;
        ::epoll_ctl(epoll_, EPOLL_CTL_MOD, exchange.fd, &interest);
    }

    void read_response(Exchange& exchange) {
        while (true) {
            ssize_t got = ::recv(exchange.fd, scratch_.data(), scratch_.size(), 0);
            if (got < 0) {
                if (errno != EAGAIN && errno != EINTR) {
                    finish(exchange, false);
                }
                return;
            }
            if (got == 0) {
                finish(exchange, exchange.expected != 0 && exchange.received == exchange.expected);
                return;
            }
            if (!take(exchange, std::string_view(scratch_.data(), static_cast<std::size_t>(got)))) {
                finish(exchange, false);
                return;
            }
            if (exchange.received == exchange.expected && !target_.server_closes_first) {
                finish(exchange, true);
                return;
            }
        }
    }

    // Counts the bytes; false when the response is not the one expected.
    bool take(Exchange& exchange, std::string_view bytes) {
        exchange.received += bytes.size();
        if (exchange.expected == 0) {
            std::size_t before = exchange.head.size();
            exchange.head.append(bytes.substr(0, kMaxHeader + 4 - std::min(before, kMaxHeader)));
            std::size_t end = exchange.head.find("\r\n\r\n");
            if (end == std::string::npos) {
                return exchange.head.size() <= kMaxHeader;
            }
            ResponseHead head = parse_head(std::string_view(exchange.head).substr(0, end + 2));
            if (!head.ok || head.content_length != target_.expected_body) {
                return false;
            }
            exchange.expected = end + 4 + head.content_length;
        }
        return exchange.received <= exchange.expected;
    }

    const LoadTarget& target_;
    std::vector<Exchange> exchanges_;
    int next_address_;
    int epoll_ = -1;
    std::array<char, 64 * 1024> scratch_{};
    LoadResult result_;
};

}  // namespace

LoadResult run_load(const LoadTarget& target, const LoadSettings& settings) {
    const int threads = std::max(1, std::min(settings.threads, settings.connections));
    std::vector<std::unique_ptr<Worker>> workers;
    for (int i = 0; i < threads; ++i) {
        int share = settings.connections / threads + (i < settings.connections % threads ? 1 : 0);
        workers.push_back(std::make_unique<Worker>(target, share, (i * 97) % kSourceAddresses));
    }
    const Clock::time_point start = Clock::now();
    const Clock::time_point end = start + std::chrono::duration_cast<Clock::duration>(
                                              std::chrono::duration<double>(settings.seconds));
    std::vector<std::thread> running;
    for (auto& worker : workers) {
        running.emplace_back([&worker, end] { worker->run(end); });
    }
    for (std::thread& thread : running) {
        thread.join();
    }
    LoadResult total;
    total.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    for (const auto& worker : workers) {
        total.completed += worker->result().completed;
        total.failed += worker->result().failed;
        total.body_bytes += worker->result().body_bytes;
    }
    return total;
}

}  // namespace bench
