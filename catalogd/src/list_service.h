#pragma once
// The list server's service thread: an event loop with the listener, every connection, the
// host callbacks and the response cache.
//
// Threading contract: start() and stop() are called by one controlling thread. Everything
// else a ListService does runs on its service thread; other threads reach it only through
// run_on_service_thread(), which goes through the task queue. The response cache and the
// connections are touched by the service thread alone and need no lock.

#include <sys/time.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "catalogd/catalogd.h"
#include "platform/accept_guard.h"
#include "platform/loop_call_queue.h"
#include "platform/manual_reset_event.h"
#include "wire_response.h"

struct event;
struct event_base;
struct evconnlistener;
struct sockaddr;

namespace catalogd {

// How long each stage of a connection may take. Tests shorten them.
struct ServiceTimeouts {
    timeval io{60, 0};  // silence while reading a request; writing a response
    // The whole request, however slowly it trickles in: each byte renews the silence
    // time-out above, so without this bound a client sending a byte now and then would
    // hold its connection for ever.
    timeval request{10, 0};
    timeval list_export{300, 0};  // writing the list of published files
    timeval grace{5, 0};          // after the response drained, for the client to close first
    timeval drop{0, 1};           // closing a connection that is dropped
};

// What the service lets its clients hold.
struct ServiceLimits {
    // Connections open at once; a connection beyond them is closed at once and counted.
    std::size_t max_connections = 1024;
    // How long one list export answers the "/urls" requests that follow it.
    std::uint64_t list_export_shared_ms = 1000;
};

// The host's functions, installed at any time from the host's thread.
struct HostCallbacks {
    std::atomic<sts_gcid2path_function> gcid_to_path{nullptr};
    std::atomic<sts_ip_filter_function> ip_filter{nullptr};
    std::atomic<sts_export_lists_function> export_lists{nullptr};
};

// Prepared query responses by identifier text, and the prepared not-found response, each
// framed once as it goes on the wire. It outlives the service: entries stay across stop and
// start until the host drops them.
struct ResponseCache {
    std::map<std::string, SharedResponse, std::less<>> responses;
    SharedResponse not_found;  // null when it could not be encoded

    // The last list export, shared by the "/urls" requests that follow it closely: when
    // it was made and by which host function. Dropped whenever the host closes files.
    struct SharedList {
        SharedResponse response;
        std::uint64_t made_ms = 0;
        sts_export_lists_function made_by = nullptr;
    };
    SharedList list;
};

// Requests answered, by answer: process-wide, kept across stop and start.
struct QueryCounts {
    std::atomic<std::uint64_t> lists{0};
    std::atomic<std::uint64_t> found{0};
    std::atomic<std::uint64_t> not_found{0};
    std::atomic<std::uint64_t> malformed{0};
    std::atomic<std::uint64_t> list_failed{0};
};
QueryCounts& query_counts();

// Stream-description files above this size are not served (they are written from a buffer
// of about 1 MB, so anything this large is not one).
inline constexpr std::size_t kMaxDescriptionFile = 16 * 1024 * 1024;

class ListService {
    struct Passkey {};

public:
    // Starts the service thread and waits until it has tried to listen on `port` (0: any
    // free port). Null when it could not listen; its thread has ended by then.
    static std::shared_ptr<ListService> start(std::uint16_t port, const HostCallbacks& callbacks,
                                              ResponseCache& cache, const ServiceTimeouts& timeouts,
                                              const ServiceLimits& limits = {});

    ListService(Passkey, const HostCallbacks& callbacks, ResponseCache& cache,
                const ServiceTimeouts& timeouts, const ServiceLimits& limits);
    ~ListService();
    ListService(const ListService&) = delete;
    ListService& operator=(const ListService&) = delete;

    // Ends the event loop after the handler that is running and waits for the thread.
    // False, with nothing changed, when called on the service thread itself.
    bool stop();
    bool running() const { return running_.load(); }
    // The port the listener is bound to.
    std::uint16_t port() const { return bound_port_; }

    bool on_service_thread() const {
        return std::this_thread::get_id() == service_thread_id_.load();
    }

    // Runs `task` on the service thread and waits for it; at once when called there. False
    // when the loop ended before the task could run.
    bool run_on_service_thread(const std::function<void()>& task);
    // Runs a no-op on the service thread, waiting at most `deadline`: 0 ran, 1 the loop
    // has ended, 2 late.
    int probe_loop(std::chrono::milliseconds deadline);

    // Connections currently open; service thread only.
    std::size_t connection_count() const { return connections_.size(); }
    // Connections closed at once because max_connections were open.
    std::uint64_t refused_connections() const { return refused_connections_.load(); }
    // Times the host was asked to export the list.
    std::uint64_t list_exports() const { return list_exports_.load(); }

private:
    struct Connection;

    void thread_main(std::uint16_t port);
    bool open_loop(std::uint16_t port);
    void close_loop();

    static void on_accept(evconnlistener* listener, int fd, sockaddr* address, int length,
                          void* self);
    static void on_accept_error(evconnlistener* listener, void* self);
    static void on_tasks(int, short, void* self);
    static void on_stop(int, short, void* self);
    static void on_readable(int, short events, void* connection);
    static void on_writable(int, short events, void* connection);
    static void on_close_timer(int, short, void* connection);

    void accept_connection(int fd, const sockaddr* address);
    void read_request(Connection& connection);
    void discard_input(Connection& connection);
    void serve_list(Connection& connection);
    SharedResponse current_list();
    void serve_query(Connection& connection, std::span<const std::uint8_t> body);
    std::optional<std::vector<std::uint8_t>> prepare_answer(const char* gcid_text);
    void respond(Connection& connection, SharedResponse response);
    void continue_response(Connection& connection);
    void await_client_close(Connection& connection);
    void drop(Connection& connection);
    void free_connection(Connection& connection);

    const HostCallbacks& callbacks_;
    ResponseCache& cache_;
    const ServiceTimeouts timeouts_;
    const ServiceLimits limits_;
    std::atomic<std::uint64_t> refused_connections_{0};
    std::atomic<std::uint64_t> list_exports_{0};
    std::uint64_t descriptor_limit_ = 0;  // the soft limit in force since the start
    platform::AcceptGuard accept_guard_{"catalogd"};

    std::thread thread_;
    std::atomic<std::thread::id> service_thread_id_{};
    platform::ManualResetEvent tried_to_listen_;
    std::atomic<bool> running_{false};
    bool listen_failed_ = false;
    std::uint16_t bound_port_ = 0;

    // Guards the loop's lifetime against stop() from the controlling thread.
    std::mutex loop_mutex_;
    bool loop_alive_ = false;

    event_base* base_ = nullptr;
    evconnlistener* listener_ = nullptr;
    event* tasks_event_ = nullptr;
    event* stop_event_ = nullptr;
    const timeval* io_timeout_ = nullptr;  // shared time-out queues of the event base
    const timeval* grace_timeout_ = nullptr;
    const timeval* request_timeout_ = nullptr;
    platform::LoopCallQueue tasks_;
    std::vector<std::unique_ptr<Connection>> connections_;  // in no particular order
};

}  // namespace catalogd
