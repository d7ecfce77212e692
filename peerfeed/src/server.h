#pragma once
// The upload server: process-wide state, the loop thread with its event base, the call
// queue, the listener and its admission rules, and the session set.

#include <netinet/in.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <future>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "block_cache_interface.h"
#include "log.h"
#include "peerfeed/peerfeed.h"
#include "platform/accept_guard.h"
#include "stats/rate_limit.h"
#include "stats_interface.h"

struct event;
struct event_base;
struct evconnlistener;
struct bufferevent_rate_limit_group;
struct ev_token_bucket_cfg;

namespace peerfeed {

class call_queue;
class vp_handler;
class waiting_room;

using block_cache_factory = std::function<std::unique_ptr<block_cache_interface>()>;

class upload_server {
public:
    // The one server of the process.
    static upload_server& instance();
    ~upload_server();
    upload_server(const upload_server&) = delete;
    upload_server& operator=(const upload_server&) = delete;

    // --- host side (any thread) ---
    int start(std::uint16_t port);
    int stop();
    bool running() const { return running_.load(); }
    std::uint16_t listen_port() const { return listen_port_.load(); }

    void set_gcid2path_function(vp_gcid2path_function function) { gcid2path_.store(function); }
    void set_ip_filter_function(vp_ip_filter_function function) { ip_filter_.store(function); }
    void set_session_function(vp_session_function function) { session_told_.store(function); }
    unsigned int set_speed_limit(unsigned int bytes_per_second);
    unsigned int speed_limit() const { return speed_limit_.load(); }
    unsigned int set_connection_limit(unsigned int limit);
    unsigned int connection_limit() const { return connection_limit_.load(); }
    unsigned int set_address_connection_limit(unsigned int limit);
    unsigned int address_connection_limit() const { return address_limit_.load(); }
    vp_refusal_stat refusal_stat() const;
    vp_session_drop_stat session_drop_stat() const;
    // Reads section [vp] of the profile again and hands the cache what it can change while
    // running; says which changed keys wait for the next start. False when not running.
    bool reload_settings();
    // Stops or resumes sending on every session (a loop call while running).
    void set_upload_paused(bool paused);
    bool upload_paused() const { return upload_paused_.load(); }

    // Runs `work` on the loop thread and waits for it (directly when already on the loop
    // thread). False when the server is not running or stopped before the work ran.
    bool loop_call(std::function<void()> work);
    // Runs a no-op on the loop thread, waiting at most `deadline`: 0 ran, 1 not running,
    // 2 late.
    int probe_loop(std::chrono::milliseconds deadline);

    // Collectors, loop thread only (through loop_call).
    peerfeed_stat collect_server_stat();
    bool collect_cache_stat(vp_cache_stat& out);
    bool collect_cache_counters(vp_cache_counters& out);
    std::vector<resource_stat> collect_resource_stats();
    std::vector<vp_connection> collect_connections(const std::string& gcid);
    void close_file(const std::string& gcid);
    void close_all_files();

    // --- session side (loop thread) ---
    event_base* base() const { return base_; }
    bufferevent_rate_limit_group* rate_group() const {
        return rate_limit_ ? rate_limit_->get() : nullptr;
    }
    block_cache_interface& cache() const { return *cache_; }
    std::chrono::microseconds session_timeout() const { return session_timeout_.load(); }
    // Bytes a session's output has handed to the kernel.
    void count_sent(std::uint64_t bytes);
    // A session's bytes join the per-GCID total when it ends.
    void session_finished(const std::string& gcid, std::uint64_t bytes_sent);
    // Destroys a session (from its event callback or at teardown).
    void remove_session(vp_handler& session);
    // Sessions that have not shaken hands yet: counted so that they hold at most half of
    // the connection limit.
    void handshake_wait_began() { ++awaiting_handshake_; }
    void handshake_wait_ended() { --awaiting_handshake_; }
    // Sessions that are closing no longer count against the connection limit.
    void closing_began() { ++closing_sessions_; }
    void closing_ended() { --closing_sessions_; }
    std::chrono::microseconds handshake_deadline() const { return handshake_deadline_.load(); }
    std::chrono::microseconds command_deadline() const { return command_deadline_.load(); }
    // Bytes one session may hold in queued answers and pending reads: the page budget
    // divided among the sessions that hold some, within [min_session_share,
    // max_session_share]. Answers hold cache pages, so this bounds the pages one peer pins.
    std::uint64_t session_share() const;
    // Sessions that hold answers or reads, which the share is divided among.
    void holding_began() { ++holding_sessions_; }
    void holding_ended() { --holding_sessions_; }

    // --- internal hooks for the tests ---
    void set_block_cache_factory(block_cache_factory factory);
    void set_session_timeout(std::chrono::microseconds timeout) { session_timeout_.store(timeout); }
    void set_handshake_deadline(std::chrono::microseconds deadline) {
        handshake_deadline_.store(deadline);
    }
    void set_command_deadline(std::chrono::microseconds deadline) {
        command_deadline_.store(deadline);
    }
    // How long a session's output must have waited on its peer before a newcomer may take
    // its place at the connection limit.
    void set_push_out_stall(std::chrono::milliseconds stall) { push_out_stall_.store(stall); }
    // The longest any session's output has waited on its peer (loop thread).
    std::uint64_t longest_stall_ms() const;
    // Connections in the waiting room (loop thread).
    std::size_t waiting_connections() const;
    // Entries of the per-GCID totals (loop thread).
    std::size_t totals_entries() const { return finished_bytes_by_gcid_.size(); }
    // Times accepting was paused because descriptors ran short.
    std::uint64_t accept_pauses() const { return accept_guard_.pauses(); }
    // Bind 127.0.0.1 on an ephemeral port instead of INADDR_ANY on the listen port.
    void set_loopback_ephemeral(bool on) { loopback_ephemeral_.store(on); }
    // The port the listener is bound to while running, else 0.
    std::uint16_t bound_port() const { return bound_port_.load(); }
    // The write rate of the rate-limit group's current configuration.
    unsigned int configured_write_rate() const { return configured_write_rate_.load(); }

private:
    upload_server();

    void run_loop(std::uint16_t port, std::promise<int>& started);
    bool set_up_loop();
    bool bind_listener(std::uint16_t port);
    void tear_down_loop();
    void apply_speed_limit(unsigned int bytes_per_second);
    bool resolve_path(const std::string& gcid, std::string& path) const;
    bool on_loop_thread() const;
    void request_loop_stop();

    static void on_accept(evconnlistener* listener, int fd, sockaddr* address, int length,
                          void* self);
    static void on_stop_requested(int fd, short events, void* self);
    static void on_accept_error(evconnlistener* listener, void* self);
    void accept_connection(int fd, const sockaddr_in& peer);
    // A session for a connection let in (at once, or from the waiting room once it spoke).
    void open_session(int fd, const sockaddr_in& peer);
    void let_in_from_waiting_room(int fd, const sockaddr_in& peer);
    // A newcomer that speaks at a full limit with no session to push out waits here for
    // a place, oldest first, instead of being turned away at once.
    void hold_newcomer(int fd, const sockaddr_in& peer);
    void admit_held_newcomers();
    void refuse_at_limit(int fd, const sockaddr_in& peer);
    bool handshake_wait_full(unsigned int limit) const;
    bool at_connection_limit(unsigned int limit) const;
    std::size_t waiting_room_capacity(unsigned int limit) const;
    enum class first_bytes { none, some, unusable };
    static first_bytes peek_first_bytes(int fd, const sockaddr_in& peer);
    // Sessions from the address of `peer` (loop thread).
    std::size_t sessions_from(const sockaddr_in& peer) const;
    // Ends waiting connections that have sent nothing, oldest first, until those waiting
    // for a handshake fit in half the limit and, when `over_limit`, one slot is free.
    void make_room_for_handshake(unsigned int limit, const vp_handler& newest, bool over_limit);
    static void on_shortage_check(int fd, short events, void* self);
    // While reads wait for pages, ends every session whose output has waited on its peer
    // for stall_under_shortage: the pages its answers hold go to peers that read.
    void end_stalled_sessions();
    // The session whose output has waited longest on a peer that takes nothing, when that
    // has lasted at least `at_least_ms`; null otherwise.
    vp_handler* longest_stalled(std::uint64_t at_least_ms) const;
    // The oldest session still waiting for its handshake after `at_least_ms`; null if none.
    vp_handler* oldest_without_handshake(std::uint64_t at_least_ms) const;
    // True when push_out_for_newcomer would find a session to end.
    bool has_session_to_push_out() const;
    // At the connection limit: ends the longest-stalled session for a newcomer, or else the
    // one that has waited longest without a handshake. False when none has waited long
    // enough.
    bool push_out_for_newcomer();
    std::uint64_t silent_push_out_ms() const;
    std::uint64_t push_out_stall_ms() const {
        return static_cast<std::uint64_t>(push_out_stall_.load().count());
    }
    void note_session_end(const vp_handler& session, const char* reason);
    // Tells the host's session callback that a session opened or ended.
    void tell_session(const vp_handler& session, int what) const;

    // Host-side lifecycle: one start or stop at a time.
    std::mutex lifecycle_mutex_;
    std::thread loop_thread_;
    // True from a successful bind until the loop thread has torn everything down.
    std::atomic<bool> loop_alive_{false};

    // Settings written by host threads, read by the loop thread.
    std::atomic<std::uint16_t> listen_port_{8189};
    std::atomic<unsigned int> speed_limit_{0};
    std::atomic<unsigned int> connection_limit_{0};
    std::atomic<unsigned int> address_limit_{0};
    std::atomic<bool> upload_paused_{false};
    // Refused connections by reason (written by the loop thread, read by any).
    std::atomic<std::uint64_t> refused_by_filter_{0};
    std::atomic<std::uint64_t> refused_by_limit_{0};
    std::atomic<std::uint64_t> refused_by_address_limit_{0};
    // Sessions ended to make room, by reason (written by the loop thread, read by any).
    std::atomic<std::uint64_t> pushed_out_silent_{0};
    std::atomic<std::uint64_t> pushed_out_stalled_{0};
    std::atomic<std::uint64_t> ended_stalled_for_pages_{0};
    std::atomic<vp_gcid2path_function> gcid2path_{nullptr};
    std::atomic<vp_ip_filter_function> ip_filter_{nullptr};
    std::atomic<vp_session_function> session_told_{nullptr};
    std::atomic<bool> running_{false};
    std::atomic<std::thread::id> loop_thread_id_{};

    // The call queue, shared with host threads that are about to use it.
    std::mutex queue_mutex_;
    std::shared_ptr<call_queue> queue_;

    // Loop-thread state, alive while the loop thread runs.
    event_base* base_ = nullptr;
    std::mutex stop_mutex_;  // guards stop_event_ against host threads
    event* stop_event_ = nullptr;
    evconnlistener* listener_ = nullptr;
    platform::AcceptGuard accept_guard_{"peerfeed"};
    // Silent connections accepted while the handshake wait is full.
    std::unique_ptr<waiting_room> waiting_room_;
    struct held_newcomer {
        int fd;
        sockaddr_in peer;
        std::uint64_t until_ms;
    };
    std::deque<held_newcomer> held_newcomers_;  // loop thread
    std::uint64_t descriptor_limit_ = 0;        // the soft limit in force since the start
    std::size_t awaiting_handshake_ = 0;
    std::size_t closing_sessions_ = 0;
    std::size_t holding_sessions_ = 0;
    std::uint64_t page_budget_ = 0;    // the cache's, 0 when it has none to tell
    event* shortage_timer_ = nullptr;  // looks for reads waiting on pages
    std::unique_ptr<rate_limit_group> rate_limit_;
    std::unique_ptr<block_cache_interface> cache_;
    cache_settings started_settings_;  // what the cache started with, retuned since
    std::list<std::unique_ptr<vp_handler>> sessions_;
    peer_event_log refusals_{"refused connections"};  // loop thread
    peer_event_log session_ends_{"ended sessions"};   // loop thread

    // Process-wide counters (loop thread), kept across restarts.
    std::unique_ptr<speed_meter> upload_speed_;
    std::uint64_t total_bytes_sent_ = 0;
    std::map<std::string, std::uint64_t> finished_bytes_by_gcid_;

    // Test hooks.
    std::mutex factory_mutex_;
    block_cache_factory cache_factory_;
    std::atomic<std::chrono::microseconds> session_timeout_{std::chrono::seconds(60)};
    std::atomic<std::chrono::microseconds> handshake_deadline_{std::chrono::seconds(10)};
    std::atomic<std::chrono::microseconds> command_deadline_{std::chrono::seconds(10)};
    std::atomic<std::chrono::milliseconds> push_out_stall_{std::chrono::seconds(3)};
    std::atomic<bool> loopback_ephemeral_{false};
    std::atomic<std::uint16_t> bound_port_{0};
    std::atomic<unsigned int> configured_write_rate_{0};
};

}  // namespace peerfeed
