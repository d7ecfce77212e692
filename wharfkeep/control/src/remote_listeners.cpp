#include "remote_listeners.h"

#include <arpa/inet.h>
#include <event2/http.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace wharfkeep::control {
namespace {

// "::1" and "0:0::1" are one address: the key spells it as inet_ntop does.
std::string CanonicalKey(const ListenAddress& address) {
    unsigned char bytes[16] = {};
    char text[INET6_ADDRSTRLEN] = {};
    const int family = address.ipv6 ? AF_INET6 : AF_INET;
    if (inet_pton(family, address.host.c_str(), bytes) != 1 ||
        inet_ntop(family, bytes, text, sizeof(text)) == nullptr) {
        return address.Text();
    }
    ListenAddress canonical = address;
    canonical.host = text;
    return canonical.Text();
}

}  // namespace

int BindTcp(ListenAddress& address, std::string& error) {
    sockaddr_storage storage{};
    socklen_t size = 0;
    if (address.ipv6) {
        auto* ip6 = reinterpret_cast<sockaddr_in6*>(&storage);
        ip6->sin6_family = AF_INET6;
        ip6->sin6_port = htons(address.port);
        inet_pton(AF_INET6, address.host.c_str(), &ip6->sin6_addr);
        size = sizeof(*ip6);
    } else {
        auto* ip4 = reinterpret_cast<sockaddr_in*>(&storage);
        ip4->sin_family = AF_INET;
        ip4->sin_port = htons(address.port);
        inet_pton(AF_INET, address.host.c_str(), &ip4->sin_addr);
        size = sizeof(*ip4);
    }
    int fd = ::socket(storage.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    int on = 1;
    if (fd < 0 || ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)) != 0 ||
        (address.ipv6 && ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof(on)) != 0) ||
        ::bind(fd, reinterpret_cast<sockaddr*>(&storage), size) != 0 || ::listen(fd, 128) != 0) {
        error =
            "[control] listen: cannot listen on " + address.Text() + ": " + std::strerror(errno);
        if (fd >= 0) {
            ::close(fd);
        }
        return -1;
    }
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&storage), &size) == 0) {
        address.port = ntohs(address.ipv6 ? reinterpret_cast<sockaddr_in6*>(&storage)->sin6_port
                                          : reinterpret_cast<sockaddr_in*>(&storage)->sin_port);
    }
    return fd;
}

bool RemoteListeners::Apply(evhttp* server, const std::vector<ListenAddress>& wanted,
                            std::string& error) {
    std::vector<Listener> next;
    std::vector<Listener> added;
    auto release_added = [&] {
        for (const Listener& listener : added) {
            evhttp_del_accept_socket(server, listener.handle);
        }
    };
    for (const ListenAddress& address : wanted) {
        const std::string key = CanonicalKey(address);
        auto same_key = [&](const Listener& listener) { return listener.key == key; };
        if (std::any_of(next.begin(), next.end(), same_key)) {
            release_added();
            error = "[control] listen: " + address.Text() + " is listed twice";
            return false;
        }
        auto kept = std::find_if(listeners_.begin(), listeners_.end(), same_key);
        if (kept != listeners_.end()) {
            next.push_back(*kept);
            continue;
        }
        ListenAddress bound = address;
        int fd = BindTcp(bound, error);
        evhttp_bound_socket* handle =
            fd < 0 ? nullptr : evhttp_accept_socket_with_handle(server, fd);
        if (handle == nullptr) {
            if (fd >= 0) {
                ::close(fd);
                error = "[control] listen: cannot accept on " + address.Text();
            }
            release_added();
            return false;
        }
        added.push_back({key, bound, handle});
        next.push_back(added.back());
    }
    for (const Listener& listener : listeners_) {
        if (std::none_of(next.begin(), next.end(),
                         [&](const Listener& kept) { return kept.key == listener.key; })) {
            // Closes the listening socket only; its clients stay connected.
            evhttp_del_accept_socket(server, listener.handle);
        }
    }
    listeners_ = std::move(next);
    return true;
}

std::vector<ListenAddress> RemoteListeners::bound() const {
    std::vector<ListenAddress> addresses;
    for (const Listener& listener : listeners_) {
        addresses.push_back(listener.bound);
    }
    return addresses;
}

}  // namespace wharfkeep::control
