#pragma once
// The listening TCP sockets of the control interface's remote door on one HTTP server. A
// reload changes the set in place: an address listed before and after keeps its socket, and
// no connection is touched, whichever socket it came in by.
//
// Server thread only (or its owner's before the thread starts).

#include <string>
#include <vector>

#include "wharfkeep/control/listen_address.h"

struct evhttp;
struct evhttp_bound_socket;

namespace wharfkeep::control {

class RemoteListeners {
public:
    // Listens on exactly `wanted` on `server`: the new addresses are bound first and the ones
    // no longer wanted let go only when all of them could be, so that a failure changes
    // nothing. False with `error` naming [control] listen and the address.
    bool Apply(evhttp* server, const std::vector<ListenAddress>& wanted, std::string& error);

    // The addresses listened on, as bound (the port filled in where 0 was asked for).
    std::vector<ListenAddress> bound() const;
    bool empty() const { return listeners_.empty(); }

private:
    struct Listener {
        std::string key;  // the address as configured, in a canonical spelling
        ListenAddress bound;
        evhttp_bound_socket* handle = nullptr;
    };
    std::vector<Listener> listeners_;
};

// A listening TCP socket for `address`; an IPv6 one takes IPv6 only, so that "0.0.0.0" and
// "[::]" can both be listed. -1 with `error` set when it cannot be had; `address.port` is
// the bound port.
int BindTcp(ListenAddress& address, std::string& error);

}  // namespace wharfkeep::control
