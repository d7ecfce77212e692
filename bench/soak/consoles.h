#pragma once
// Open web consoles against the TLS control listener, as browsers left open by operators:
// each logs in, loads the console's files as a browser does (the page, then its style
// sheet, icon and every module they import), keeps the event stream open (with the
// once-a-second stats event) and switches to another page every 2 s, asking what that page
// asks the server.

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace wharfkeep::bench {

struct ConsoleLoad {
    std::uint16_t port = 0;
    std::string user;
    std::string password;
    int consoles = 20;
};

// Runs the consoles until `stop`, then prints what they did on one line; false when a
// console could not log in, load its files or keep its stream.
bool RunConsoles(const ConsoleLoad& load, const std::atomic<bool>& stop);

// Reads the event stream at `url` over TLS (the bench's own server: no certificate check),
// sending `header` ("Cookie: ..." or "Authorization: ..."), and hands each piece read to
// `on_bytes`, until the server closes the stream or `stop` is set.
void ReadEventStream(const std::string& url, const std::string& header,
                     const std::function<void(std::string_view)>& on_bytes,
                     const std::atomic<bool>& stop);

}  // namespace wharfkeep::bench
