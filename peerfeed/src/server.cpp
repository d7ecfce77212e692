#include "server.h"

#include <event2/bufferevent.h>
#include <event2/event.h>
#include <event2/listener.h>
#include <event2/thread.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <future>
#include <vector>

#include "call_queue.h"
#include "peerfeed/codec/commands.h"
#include "platform/accept_guard.h"
#include "platform/clock.h"
#include "platform/descriptor_limit.h"
#include "stats/rate_limit.h"
#include "vp_handler.h"
#include "waiting_room.h"

namespace peerfeed {
namespace {

// What one session may hold (see session_share): a fast peer keeps 2 MiB of answers
// queued, as much again sits in the kernel's socket buffer; when many peers share a small
// budget, four answers of 64 KiB each still keep a reading peer busy.
constexpr std::uint64_t max_session_share = 2u << 20;
constexpr std::uint64_t min_session_share = 256u << 10;
// While reads wait for pages, output that has not moved for this long, with the kernel's
// send queue full, is a peer that does not read: its pages go to the waiting reads. A
// peer that reads takes bytes at least every round trip, and one that the rate limit
// holds back has an empty send queue. Checked this often, so a read waits well under 1 s.
constexpr std::uint64_t stall_under_shortage_ms = 500;
constexpr timeval shortage_check_interval{0, 100 * 1000};

void use_threads_once() {
    static std::once_flag once;
    std::call_once(once, [] { evthread_use_pthreads(); });
}

}  // namespace

upload_server& upload_server::instance() {
    static upload_server server;
    return server;
}

upload_server::upload_server() : upload_speed_(make_speed_meter()) {}

upload_server::~upload_server() {
    stop();
}

// --- lifecycle ---

int upload_server::start(std::uint16_t port) {
    std::lock_guard lifecycle(lifecycle_mutex_);
    if (loop_alive_.load()) {
        return 0;
    }
    if (port != 0) {
        listen_port_.store(port);
    }
    if (loop_thread_.joinable()) {
        loop_thread_.join();  // a loop that was stopped from its own thread
    }
    std::promise<int> started;
    std::future<int> result = started.get_future();
    loop_thread_ = std::thread(
        [this, bind_port = listen_port_.load(), &started] { run_loop(bind_port, started); });
    if (result.get() != 0) {
        loop_thread_.join();
        return 1;
    }
    return 0;
}

int upload_server::stop() {
    if (on_loop_thread()) {
        // A host callback asked: the loop ends after this pass; the thread is joined by
        // the next start or stop.
        request_loop_stop();
        return 0;
    }
    std::lock_guard lifecycle(lifecycle_mutex_);
    request_loop_stop();
    if (loop_thread_.joinable()) {
        loop_thread_.join();
    }
    return 0;
}

void upload_server::request_loop_stop() {
    std::lock_guard lock(stop_mutex_);
    if (stop_event_ != nullptr) {
        event_active(stop_event_, 0, 0);
    }
}

bool upload_server::on_loop_thread() const {
    return loop_thread_id_.load() == std::this_thread::get_id();
}

void upload_server::run_loop(std::uint16_t port, std::promise<int>& started) {
    // A peer that hangs up makes the next write raise SIGPIPE, which would end the host
    // process; blocked on this thread, the write fails with EPIPE and the session ends.
    sigset_t pipe_signal;
    sigemptyset(&pipe_signal);
    sigaddset(&pipe_signal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe_signal, nullptr);
    loop_thread_id_.store(std::this_thread::get_id());
    const bool ready = set_up_loop() && bind_listener(port);
    if (!ready) {
        tear_down_loop();
        loop_thread_id_.store(std::thread::id());
        started.set_value(1);
        return;
    }
    // Running before the starter returns, so vp_run_stat right after vp_start reads 1.
    loop_alive_.store(true);
    running_.store(true);
    started.set_value(0);
    event_base_dispatch(base_);
    running_.store(false);
    tear_down_loop();
    loop_thread_id_.store(std::thread::id());
    loop_alive_.store(false);
}

bool upload_server::set_up_loop() {
    use_threads_once();
    descriptor_limit_ = platform::raise_descriptor_limit();
    platform::warn_if_descriptors_short("peerfeed", connection_limit_.load(), descriptor_limit_);
    event_config* config = event_config_new();
    base_ = event_base_new_with_config(config);
    event_config_free(config);
    if (base_ == nullptr) {
        return false;
    }
    // A stop request is an event rather than a direct loop break: a break issued before
    // the loop dispatches would be forgotten when it starts.
    {
        std::lock_guard lock(stop_mutex_);
        stop_event_ = event_new(base_, -1, 0, &upload_server::on_stop_requested, base_);
        if (stop_event_ == nullptr) {
            return false;
        }
    }
    try {
        block_cache_factory factory;
        {
            std::lock_guard lock(factory_mutex_);
            factory = cache_factory_;
        }
        cache_ = factory ? factory() : make_block_cache();
        started_settings_ = cache_settings::from_app_profile();
        cache_->start(base_, started_settings_, [this](const std::string& gcid, std::string& path) {
            return resolve_path(gcid, path);
        });
        auto queue = std::make_shared<call_queue>(base_);
        std::lock_guard lock(queue_mutex_);
        queue_ = std::move(queue);
    } catch (const std::exception&) {
        return false;
    }
    try {
        rate_limit_ = std::make_unique<rate_limit_group>(base_, speed_limit_.load());
    } catch (const std::exception&) {
        return false;
    }
    configured_write_rate_.store(peerfeed::configured_write_rate(speed_limit_.load()));
    page_budget_ = cache_->statistics().budget_bytes;
    shortage_timer_ = event_new(base_, -1, EV_PERSIST, &upload_server::on_shortage_check, this);
    return shortage_timer_ != nullptr &&
           evtimer_add(shortage_timer_, &shortage_check_interval) == 0;
}

bool upload_server::bind_listener(std::uint16_t port) {
    // Each run logs its own first refusals and ended sessions.
    refusals_ = peer_event_log{"refused connections"};
    session_ends_ = peer_event_log{"ended sessions"};
    sockaddr_in address{};
    address.sin_family = AF_INET;
    if (loopback_ephemeral_.load()) {
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = 0;
    } else {
        address.sin_addr.s_addr = htonl(INADDR_ANY);
        address.sin_port = htons(port);
    }
    listener_ = evconnlistener_new_bind(base_, &upload_server::on_accept, this,
                                        LEV_OPT_CLOSE_ON_FREE | LEV_OPT_REUSEABLE, -1,
                                        reinterpret_cast<sockaddr*>(&address), sizeof address);
    if (listener_ == nullptr) {
        log_line(VP_LOG_ERROR, "peer server: cannot listen on port " + std::to_string(port) + ": " +
                                   std::strerror(errno));
        return false;
    }
    if (!accept_guard_.attach(base_, listener_, descriptor_limit_)) {
        return false;
    }
    waiting_room_ = std::make_unique<waiting_room>(
        base_, [this](int fd, const sockaddr_in& peer) { let_in_from_waiting_room(fd, peer); });
    evconnlistener_set_error_cb(listener_, &upload_server::on_accept_error);
    sockaddr_in bound{};
    socklen_t length = sizeof bound;
    if (getsockname(evconnlistener_get_fd(listener_), reinterpret_cast<sockaddr*>(&bound),
                    &length) == 0) {
        bound_port_.store(ntohs(bound.sin_port));
    }
    return true;
}

void upload_server::tear_down_loop() {
    if (shortage_timer_ != nullptr) {
        event_free(shortage_timer_);
        shortage_timer_ = nullptr;
    }
    accept_guard_.detach();
    waiting_room_.reset();  // closes the connections still waiting
    for (const held_newcomer& held : held_newcomers_) {
        ::close(held.fd);
    }
    held_newcomers_.clear();
    if (listener_ != nullptr) {
        evconnlistener_free(listener_);  // closes the listening socket
        listener_ = nullptr;
    }
    bound_port_.store(0);
    for (const auto& session : sessions_) {
        tell_session(*session, VP_SESSION_ENDED);
    }
    sessions_.clear();  // each session ends as when its connection closes
    rate_limit_.reset();
    std::shared_ptr<call_queue> queue;
    {
        std::lock_guard lock(queue_mutex_);
        queue = std::move(queue_);
    }
    if (queue) {
        queue->close();  // drops what is left and releases its waiters
    }
    if (cache_) {
        cache_->stop();
        cache_.reset();
    }
    {
        std::lock_guard lock(stop_mutex_);
        if (stop_event_ != nullptr) {
            event_free(stop_event_);
            stop_event_ = nullptr;
        }
    }
    if (base_ != nullptr) {
        event_base_free(base_);
        base_ = nullptr;
    }
}

bool upload_server::loop_call(std::function<void()> work) {
    if (on_loop_thread()) {
        // Waiting for ourselves would never end.
        work();
        return true;
    }
    std::shared_ptr<call_queue> queue;
    {
        std::lock_guard lock(queue_mutex_);
        queue = queue_;
    }
    return queue && queue->run(std::move(work));
}

int upload_server::probe_loop(std::chrono::milliseconds deadline) {
    if (on_loop_thread()) {
        return 0;
    }
    std::shared_ptr<call_queue> queue;
    {
        std::lock_guard lock(queue_mutex_);
        queue = queue_;
    }
    if (!queue || !running_.load()) {
        return 1;
    }
    return queue->probe(deadline);
}

// --- settings ---

unsigned int upload_server::set_speed_limit(unsigned int bytes_per_second) {
    speed_limit_.store(bytes_per_second);
    if (!running_.load()) {
        return 0;
    }
    const bool applied =
        loop_call([this, bytes_per_second] { apply_speed_limit(bytes_per_second); });
    return applied ? bytes_per_second : 0;
}

void upload_server::apply_speed_limit(unsigned int bytes_per_second) {
    if (!rate_limit_) {
        return;
    }
    rate_limit_->set_limit(bytes_per_second);
    configured_write_rate_.store(peerfeed::configured_write_rate(rate_limit_->limit()));
}

unsigned int upload_server::set_connection_limit(unsigned int limit) {
    connection_limit_.store(limit);
    return limit;
}

unsigned int upload_server::set_address_connection_limit(unsigned int limit) {
    address_limit_.store(limit);
    return limit;
}

vp_refusal_stat upload_server::refusal_stat() const {
    return {refused_by_filter_.load(), refused_by_limit_.load(), refused_by_address_limit_.load()};
}

vp_session_drop_stat upload_server::session_drop_stat() const {
    return {pushed_out_silent_.load(), pushed_out_stalled_.load(), ended_stalled_for_pages_.load()};
}

bool upload_server::reload_settings() {
    const cache_settings fresh = cache_settings::from_app_profile();
    if (!running_.load()) {
        return false;
    }
    return loop_call([this, &fresh] {
        if (!cache_) {
            return;
        }
        for (const std::string& key : keys_needing_restart(started_settings_, fresh)) {
            log_line(VP_LOG_WARNING,
                     "peer server: [vp] " + key + " changed; it takes effect at the next start");
        }
        started_settings_ = with_live_keys(started_settings_, fresh);
        cache_->retune(fresh);
    });
}

void upload_server::set_upload_paused(bool paused) {
    upload_paused_.store(paused);
    if (running_.load()) {
        loop_call([this, paused] {
            for (const auto& session : sessions_) {
                session->set_sending(!paused);
            }
        });
    }
}

void upload_server::set_block_cache_factory(block_cache_factory factory) {
    std::lock_guard lock(factory_mutex_);
    cache_factory_ = std::move(factory);
}

void upload_server::on_stop_requested(int, short, void* base) {
    event_base_loopbreak(static_cast<event_base*>(base));
}

// --- accepting ---

void upload_server::on_accept_error(evconnlistener*, void* self) {
    static_cast<upload_server*>(self)->accept_guard_.accept_failed(EVUTIL_SOCKET_ERROR());
}

void upload_server::on_accept(evconnlistener*, int fd, sockaddr* address, int length, void* self) {
    sockaddr_in peer{};
    if (address != nullptr && length >= static_cast<int>(sizeof peer) &&
        address->sa_family == AF_INET) {
        std::memcpy(&peer, address, sizeof peer);
    }
    static_cast<upload_server*>(self)->accept_connection(fd, peer);
}

void upload_server::accept_connection(int fd, const sockaddr_in& peer) {
    accept_guard_.accepted(fd);
    const unsigned int limit = connection_limit_.load();
    const bool at_limit = at_connection_limit(limit);
    bool refused = false;
    // The filter hears of every connection, also those the limit turns away.
    if (vp_ip_filter_function filter = ip_filter_.load()) {
        in_addr address = peer.sin_addr;
        refused = filter(&address);
    }
    const unsigned int address_limit = address_limit_.load();
    const bool address_full = address_limit != 0 && sessions_from(peer) >= address_limit;
    // A full limit still lets in a newcomer when a session has stopped reading or still
    // owes its handshake.
    const bool limit_blocks = at_limit && !has_session_to_push_out();
    if (limit_blocks && !refused && !address_full) {
        // A newcomer that has already spoken waits for a place; a silent one is turned
        // away, as it would only take the place of another silent one.
        const first_bytes sent = peek_first_bytes(fd, peer);
        if (sent == first_bytes::unusable) {
            ::close(fd);
            return;
        }
        if (sent == first_bytes::some) {
            hold_newcomer(fd, peer);
            return;
        }
    }
    if (refused || limit_blocks || address_full) {
        (refused        ? refused_by_filter_
         : limit_blocks ? refused_by_limit_
                        : refused_by_address_limit_)
            .fetch_add(1);
        ::close(fd);
        refusals_.note("refused " + address_text(peer.sin_addr) + ": " +
                           (refused        ? "IP filter"
                            : limit_blocks ? "connection limit reached"
                                           : "address holds its cap of connections"),
                       platform::monotonic_ms());
        return;
    }
    const first_bytes sent = peek_first_bytes(fd, peer);
    if (sent == first_bytes::unusable) {
        ::close(fd);
        return;
    }
    if (at_limit) {
        // Only a newcomer that speaks takes the stalled or silent session's place; a silent
        // one waits in the room and is let in (making the room then) once it speaks.
        if (sent == first_bytes::none) {
            const auto deadline =
                std::chrono::duration_cast<std::chrono::milliseconds>(handshake_deadline());
            waiting_room_->admit(fd, peer, waiting_room_capacity(limit), deadline);
            return;
        }
        push_out_for_newcomer();
        open_session(fd, peer);
        return;
    }
    if (sent == first_bytes::none && handshake_wait_full(limit)) {
        const auto deadline =
            std::chrono::duration_cast<std::chrono::milliseconds>(handshake_deadline());
        waiting_room_->admit(fd, peer, waiting_room_capacity(limit), deadline);
        return;
    }
    open_session(fd, peer);
}

// The limit is checked again: sessions may have filled it while the connection waited.
void upload_server::let_in_from_waiting_room(int fd, const sockaddr_in& peer) {
    if (peek_first_bytes(fd, peer) == first_bytes::unusable) {
        ::close(fd);
        return;
    }
    if (at_connection_limit(connection_limit_.load()) && !push_out_for_newcomer()) {
        hold_newcomer(fd, peer);
        return;
    }
    open_session(fd, peer);
}

// Sessions that look like real peers for their first seconds (a handshake, then requests
// whose answers are not read yet) can fill the limit with nothing to push out; by the
// stall time after their first answer they either read or can be pushed out. Holding a
// newcomer for twice the stall time lets it in instead of turning it away. The hold is bounded by
// the limit, so it costs at most as many descriptors as the sessions themselves.
void upload_server::hold_newcomer(int fd, const sockaddr_in& peer) {
    const std::size_t capacity = std::max<std::size_t>(16, connection_limit_.load());
    if (held_newcomers_.size() >= capacity) {
        refuse_at_limit(fd, peer);
        return;
    }
    held_newcomers_.push_back({fd, peer, platform::monotonic_ms() + 2 * push_out_stall_ms()});
}

// Called every shortage check: the oldest held newcomers take the places that have come
// free or can be made; those held past their time are turned away.
void upload_server::admit_held_newcomers() {
    while (!held_newcomers_.empty()) {
        const held_newcomer next = held_newcomers_.front();
        const bool place =
            !at_connection_limit(connection_limit_.load()) || push_out_for_newcomer();
        if (!place && platform::monotonic_ms() < next.until_ms) {
            return;
        }
        held_newcomers_.pop_front();
        const unsigned int address_limit = address_limit_.load();
        if (address_limit != 0 && sessions_from(next.peer) >= address_limit) {
            refused_by_address_limit_.fetch_add(1);
            ::close(next.fd);
        } else if (place) {
            open_session(next.fd, next.peer);
        } else {
            refuse_at_limit(next.fd, next.peer);
        }
    }
}

void upload_server::refuse_at_limit(int fd, const sockaddr_in& peer) {
    refused_by_limit_.fetch_add(1);
    ::close(fd);
    refusals_.note("refused " + address_text(peer.sin_addr) + ": connection limit reached",
                   platform::monotonic_ms());
}

// At the limit with half of it held by connections still waiting for a handshake, the
// oldest of those makes room instead of the newcomer being turned away.
bool upload_server::at_connection_limit(unsigned int limit) const {
    const std::size_t open_sessions = sessions_.size() - closing_sessions_;
    const bool squatters_hold_half = limit / 2 > 0 && awaiting_handshake_ >= limit / 2;
    return limit != 0 && open_sessions >= limit && !squatters_hold_half;
}

bool upload_server::handshake_wait_full(unsigned int limit) const {
    return limit != 0 && awaiting_handshake_ >= std::max(1u, limit / 2);
}

// Silent connections beyond the handshake wait cost a descriptor each: a few times the
// limit keeps a crowd of them from taking the descriptors sessions need.
std::size_t upload_server::waiting_room_capacity(unsigned int limit) const {
    return static_cast<std::size_t>(
        std::min<std::uint64_t>(std::uint64_t{8} * limit, descriptor_limit_ / 2));
}

// A frame header that announces an impossible length, or a hang-up, ends the connection
// before anything is spent on it: garbage floods cost a peek and a close each.
upload_server::first_bytes upload_server::peek_first_bytes(int fd, const sockaddr_in& peer) {
    std::uint8_t header[noise_header_size];
    const ssize_t got = ::recv(fd, header, sizeof header, MSG_PEEK | MSG_DONTWAIT);
    if (got < 0) {
        return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? first_bytes::none
                                                                         : first_bytes::unusable;
    }
    if (got == 0) {
        return first_bytes::unusable;
    }
    if (static_cast<std::size_t>(got) == sizeof header &&
        scan_noise_frame(header, sizeof header).status == frame_status::invalid) {
        log_line(VP_LOG_DEBUG, "peer server: session with " + address_text(peer.sin_addr) +
                                   " closed: invalid frame header");
        return first_bytes::unusable;
    }
    return first_bytes::some;
}

void upload_server::open_session(int fd, const sockaddr_in& peer) {
    const unsigned int limit = connection_limit_.load();
    const std::size_t open_sessions = sessions_.size() - closing_sessions_;
    std::unique_ptr<vp_handler> session = vp_handler::create(*this, fd, peer);
    if (!session) {
        return;
    }
    if (upload_paused_.load()) {
        session->set_sending(false);
    }
    sessions_.push_back(std::move(session));
    vp_handler& newest = *sessions_.back();
    newest.position = std::prev(sessions_.end());
    tell_session(newest, VP_SESSION_OPENED);
    newest.take_waiting_input();
    // Let in past the limit because squatters held half of it: one of them goes, unless
    // the newcomer itself ended at once.
    const bool over_limit = limit != 0 && open_sessions >= limit && !newest.closing();
    make_room_for_handshake(limit, newest, over_limit);
}

std::size_t upload_server::sessions_from(const sockaddr_in& peer) const {
    return static_cast<std::size_t>(std::count_if(
        sessions_.begin(), sessions_.end(),
        [&peer](const auto& session) { return session->peer_address() == peer.sin_addr.s_addr; }));
}

// Connections without a handshake may hold half the limit. A new one past that ends the
// oldest of them, which has had the longest to shake hands: peers that shake hands
// promptly get in while connections that squat keep being pushed out. A HANDSHAKE that
// has arrived but not been read yet moves its session out of the wait first (and garbage
// ends its session), so only a connection that has still sent nothing is pushed out.
void upload_server::make_room_for_handshake(unsigned int limit, const vp_handler& newest,
                                            bool over_limit) {
    if (limit == 0) {
        return;
    }
    const std::size_t room = std::max(1u, limit / 2);
    for (auto it = sessions_.begin();
         it != sessions_.end() && (over_limit || awaiting_handshake_ > room); ++it) {
        vp_handler& session = **it;
        if (&session == &newest || !session.awaiting_handshake()) {
            continue;
        }
        session.take_waiting_input();
        if (session.awaiting_handshake()) {
            pushed_out_silent_.fetch_add(1);
            session.drop();
        }
        over_limit = over_limit && !session.closing();
    }
}

// --- fair shares of the page budget ---

std::uint64_t upload_server::session_share() const {
    if (page_budget_ == 0) {
        return max_session_share;
    }
    const std::uint64_t share = page_budget_ / std::max<std::size_t>(1, holding_sessions_);
    return std::clamp(share, min_session_share, max_session_share);
}

void upload_server::on_shortage_check(int, short, void* self) {
    auto& server = *static_cast<upload_server*>(self);
    server.end_stalled_sessions();
    server.admit_held_newcomers();
}

void upload_server::end_stalled_sessions() {
    if (!cache_ || !cache_->waiting_for_pages()) {
        return;
    }
    const std::uint64_t now = platform::monotonic_ms();
    for (const auto& session : sessions_) {
        if (session->stalled_ms(now, stall_under_shortage_ms) != 0) {
            ended_stalled_for_pages_.fetch_add(1);
            note_session_end(*session, "stopped reading while others waited for pages");
            session->drop();
        }
    }
}

vp_handler* upload_server::longest_stalled(std::uint64_t at_least_ms) const {
    const std::uint64_t now = platform::monotonic_ms();
    vp_handler* longest = nullptr;
    std::uint64_t longest_ms = 0;
    for (const auto& session : sessions_) {
        const std::uint64_t stalled = session->stalled_ms(now, at_least_ms);
        if (stalled != 0 && stalled > longest_ms) {
            longest = session.get();
            longest_ms = stalled;
        }
    }
    return longest;
}

std::uint64_t upload_server::longest_stall_ms() const {
    const vp_handler* longest = longest_stalled(1);
    return longest != nullptr ? longest->stalled_ms(platform::monotonic_ms(), 1) : 0;
}

// Sessions sit in accept order, so the first one still waiting is the oldest.
vp_handler* upload_server::oldest_without_handshake(std::uint64_t at_least_ms) const {
    const std::uint64_t now = platform::monotonic_ms();
    for (const auto& session : sessions_) {
        if (session->handshake_wait_ms(now) >= std::max<std::uint64_t>(at_least_ms, 1)) {
            return session.get();
        }
    }
    return nullptr;
}

bool upload_server::has_session_to_push_out() const {
    return longest_stalled(push_out_stall_ms()) != nullptr ||
           oldest_without_handshake(silent_push_out_ms()) != nullptr;
}

// A real peer is silent for one round trip, so a few silent sessions are handshakes on
// their way and get the stall time to arrive. A crowd of them is squatting: reconnecting
// squatters would otherwise keep every one of them younger than the stall time and hold
// their places for good.
std::uint64_t upload_server::silent_push_out_ms() const {
    const unsigned int crowd = connection_limit_.load() / 4;
    return crowd > 0 && awaiting_handshake_ > crowd ? 0 : push_out_stall_ms();
}

// A peer that stopped reading goes first: it holds pages. Then the connection that has
// owed its handshake longest; a real peer sends its handshake within a round trip, so a
// connection still without one after the stall time is trickling or squatting.
bool upload_server::push_out_for_newcomer() {
    if (vp_handler* stalled = longest_stalled(push_out_stall_ms())) {
        pushed_out_stalled_.fetch_add(1);
        note_session_end(*stalled, "stopped reading; its place went to a new peer");
        stalled->drop();
        return true;
    }
    if (vp_handler* silent = oldest_without_handshake(silent_push_out_ms())) {
        silent->take_waiting_input();
        if (silent->awaiting_handshake()) {
            pushed_out_silent_.fetch_add(1);
            note_session_end(*silent, "sent no handshake; its place went to a new peer");
            silent->drop();
            return true;
        }
        // Its handshake had just arrived; whatever it did, this pass frees no place.
        return silent->closing();
    }
    return false;
}

void upload_server::note_session_end(const vp_handler& session, const char* reason) {
    session_ends_.note(
        "ended session with " + address_text(in_addr{session.peer_address()}) + ": " + reason,
        platform::monotonic_ms());
}

std::size_t upload_server::waiting_connections() const {
    return waiting_room_ ? waiting_room_->size() : 0;
}

void upload_server::remove_session(vp_handler& session) {
    tell_session(session, VP_SESSION_ENDED);
    sessions_.erase(session.position);
}

void upload_server::tell_session(const vp_handler& session, int what) const {
    if (vp_session_function told = session_told_.load()) {
        told(&session.peer(), what);
    }
}

bool upload_server::resolve_path(const std::string& gcid, std::string& path) const {
    vp_gcid2path_function lookup = gcid2path_.load();
    if (lookup == nullptr) {
        return false;
    }
    std::vector<char> buffer(VP_PATH_BUFFER_SIZE, '\0');
    if (!lookup(gcid.c_str(), buffer.data(), VP_PATH_BUFFER_SIZE)) {
        return false;
    }
    // A path without its terminator inside the buffer did not fit: refused, not cut.
    const void* end = std::memchr(buffer.data(), '\0', buffer.size());
    if (end == nullptr) {
        return false;
    }
    path.assign(buffer.data(), static_cast<const char*>(end) - buffer.data());
    return !path.empty();
}

// --- counters and statistics (loop thread) ---

void upload_server::count_sent(std::uint64_t bytes) {
    upload_speed_->add(bytes);
    total_bytes_sent_ += bytes;
}

void upload_server::session_finished(const std::string& gcid, std::uint64_t bytes_sent) {
    // Only files that were served keep a total: a peer cycling through made-up GCIDs must
    // not grow the map.
    if (bytes_sent == 0) {
        return;
    }
    finished_bytes_by_gcid_[gcid] += bytes_sent;
}

peerfeed_stat upload_server::collect_server_stat() {
    peerfeed_stat stat{};
    stat.upload_speed = upload_speed_->speed();
    stat.total_bytes_sent = total_bytes_sent_;
    stat.live_sessions = static_cast<std::uint32_t>(sessions_.size());
    stat.resource_count = static_cast<std::uint32_t>(collect_resource_stats().size());
    return stat;
}

bool upload_server::collect_cache_stat(vp_cache_stat& out) {
    if (!cache_) {
        return false;
    }
    const block_cache_statistics stats = cache_->statistics();
    const std::uint64_t lookups = stats.page_hits + stats.page_misses;
    out = vp_cache_stat{};
    out.hit_ratio = static_cast<std::uint16_t>(lookups == 0 ? 0 : stats.page_hits * 100 / lookups);
    out.disk_bytes_read = stats.disk_bytes_read;
    out.disk_read_speed = stats.disk_read_speed;
    return true;
}

bool upload_server::collect_cache_counters(vp_cache_counters& out) {
    if (!cache_) {
        return false;
    }
    const block_cache_statistics stats = cache_->statistics();
    out = vp_cache_counters{stats.page_hits, stats.page_misses, stats.cached_bytes,
                            stats.budget_bytes};
    return true;
}

std::vector<resource_stat> upload_server::collect_resource_stats() {
    std::map<std::string, resource_stat> by_gcid;
    for (const auto& session : sessions_) {
        if (session->gcid().empty()) {
            continue;
        }
        auto [entry, created] = by_gcid.try_emplace(session->gcid());
        if (created) {
            entry->second = resource_stat{};
            std::memcpy(entry->second.gcid, entry->first.data(),
                        std::min(sizeof entry->second.gcid, entry->first.size()));
            auto total = finished_bytes_by_gcid_.find(entry->first);
            entry->second.bytes_sent = total != finished_bytes_by_gcid_.end() ? total->second : 0;
        }
        const vp_connection& record = session->refreshed_record();
        entry->second.sessions += 1;
        entry->second.speed += record.speed;
        entry->second.bytes_sent += record.bytes_sent;
    }
    std::vector<resource_stat> list;
    list.reserve(by_gcid.size());
    for (const auto& [gcid, entry] : by_gcid) {
        list.push_back(entry);
    }
    return list;
}

std::vector<vp_connection> upload_server::collect_connections(const std::string& gcid) {
    std::vector<vp_connection> list;
    for (const auto& session : sessions_) {
        if (session->gcid() == gcid) {
            list.push_back(session->refreshed_record());
        }
    }
    return list;
}

void upload_server::close_file(const std::string& gcid) {
    if (cache_) {
        cache_->close_file(gcid);
    }
}

void upload_server::close_all_files() {
    if (cache_) {
        cache_->close_all_files();
    }
}

}  // namespace peerfeed
