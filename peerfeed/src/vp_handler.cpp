#include "vp_handler.h"

#include <event2/buffer.h>
#include <event2/bufferevent.h>
#include <event2/event.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "cache/page_response.h"
#include "log.h"
#include "peerfeed/codec/commands.h"
#include "platform/clock.h"
#include "server.h"
#include "stats/histogram.h"

namespace peerfeed {
namespace {

// More than this many reads already pending refuses the next request, so a session has
// at most 257 reads pending.
constexpr std::size_t max_pending_before_request = 256;
constexpr std::uint64_t max_request_length = 65536;
// Input beyond any legitimate backlog: only a peer that floods frames the server skips
// (codes without a class) gets here, and it is dropped instead of buffered without end.
constexpr std::size_t max_buffered_input = 1 << 20;
// The output watermark makes the write callback run after practically every write.
constexpr std::size_t write_low_watermark = 104857600;
// libevent writes at most 16 KiB per write event by default: a quarter of one answer.
// A window of answers per write keeps the loop from waking four times per answer.
constexpr std::size_t max_single_write = 1 << 20;
// How long a refused handshake's answer may take to reach a peer that does not read.
constexpr std::chrono::microseconds max_drain_time = std::chrono::seconds(5);
// Up to a whole window of pipelined requests (257 of 68 bytes) is taken in one read.
constexpr std::size_t max_single_read = 1 << 16;

timeval to_timeval(std::chrono::microseconds duration) {
    timeval value{};
    value.tv_sec = static_cast<time_t>(duration.count() / 1000000);
    value.tv_usec = static_cast<suseconds_t>(duration.count() % 1000000);
    return value;
}

void set_timeouts(bufferevent* connection, std::chrono::microseconds duration) {
    const timeval value = to_timeval(duration);
    bufferevent_set_timeouts(connection, &value, &value);
}

}  // namespace

std::unique_ptr<vp_handler> vp_handler::create(upload_server& server, int fd,
                                               const sockaddr_in& peer) {
    bufferevent* connection = bufferevent_socket_new(server.base(), fd, BEV_OPT_CLOSE_ON_FREE);
    if (connection == nullptr) {
        ::close(fd);
        return nullptr;
    }
    return std::unique_ptr<vp_handler>(new vp_handler(server, connection, peer));
}

vp_handler::vp_handler(upload_server& server, bufferevent* connection, const sockaddr_in& peer)
    : server_(server),
      connection_(connection),
      start_time_(platform::unix_time()),
      accepted_ms_(platform::monotonic_ms()),
      speed_(make_speed_meter()) {
    server_.handshake_wait_began();
    record_.address = peer;
    if (server_.rate_group() != nullptr) {
        bufferevent_add_to_rate_limit_group(connection_, server_.rate_group());
    }
    set_timeouts(connection_, server_.session_timeout());
    bufferevent_setcb(connection_, &vp_handler::on_read, &vp_handler::on_write,
                      &vp_handler::on_event, this);
    bufferevent_setwatermark(connection_, EV_WRITE, write_low_watermark, 0);
    bufferevent_set_max_single_write(connection_, max_single_write);
    bufferevent_set_max_single_read(connection_, max_single_read);
    handshake_timer_ = evtimer_new(server_.base(), &vp_handler::on_deadline, this);
    command_timer_ = evtimer_new(server_.base(), &vp_handler::on_deadline, this);
    stall_timer_ = evtimer_new(server_.base(), &vp_handler::on_deadline, this);
    resume_event_ = event_new(server_.base(), -1, 0, &vp_handler::on_resume, this);
    bufferevent_enable(connection_, EV_READ | EV_WRITE);
    if (handshake_timer_ == nullptr || command_timer_ == nullptr || stall_timer_ == nullptr ||
        resume_event_ == nullptr) {
        close_soon();
        return;
    }
    const timeval deadline = to_timeval(server_.handshake_deadline());
    evtimer_add(handshake_timer_, &deadline);
}

vp_handler::~vp_handler() {
    pending_.clear();
    refreshed_record();
    // Only a session that had its file open joins the totals: a handshake refused for an
    // unknown GCID leaves nothing behind.
    if (link_ != nullptr) {
        server_.session_finished(gcid_, record_.bytes_sent);
    }
    if (server_.rate_group() != nullptr) {
        bufferevent_remove_from_rate_limit_group(connection_);
    }
    bufferevent_free(connection_);
    for (event* owned :
         {drain_timer_, handshake_timer_, command_timer_, stall_timer_, resume_event_}) {
        if (owned != nullptr) {
            event_free(owned);
        }
    }
    leave_handshake_wait();
    if (holding_) {
        server_.holding_ended();
    }
    if (counted_closing_) {
        server_.closing_ended();
    }
    if (link_ != nullptr) {
        server_.cache().release(link_);
    }
}

// While sending is stopped the peer waits on us, so neither its silence nor output that
// does not move is held against it; both clocks start afresh when sending resumes. The
// handshake and command deadlines still run: they measure what the peer itself sends.
void vp_handler::set_sending(bool on) {
    sending_ = on;
    if (on) {
        bufferevent_enable(connection_, EV_WRITE);
    } else {
        bufferevent_disable(connection_, EV_WRITE);
    }
    if (closing_) {
        return;  // the session ends on the next pass whatever its clocks say
    }
    if (on) {
        set_timeouts(connection_, server_.session_timeout());
        watch_output_progress(queued_bytes_, true);
    } else {
        bufferevent_set_timeouts(connection_, nullptr, nullptr);
        if (stall_timer_ != nullptr) {
            evtimer_del(stall_timer_);
        }
    }
}

const vp_connection& vp_handler::refreshed_record() {
    record_.speed = speed_->speed();
    const std::int64_t elapsed = platform::unix_time() - start_time_;
    record_.duration = elapsed > 0 ? static_cast<std::uint64_t>(elapsed) : 0;
    return record_;
}

// --- libevent callbacks ---

void vp_handler::on_read(bufferevent*, void* self) {
    static_cast<vp_handler*>(self)->process_input();
}

void vp_handler::on_write(bufferevent*, void* self) {
    auto* session = static_cast<vp_handler*>(self);
    session->count_drained_output();
    session->resume_input_if_drained();
    if (session->draining_ &&
        evbuffer_get_length(bufferevent_get_output(session->connection_)) == 0) {
        // The refused handshake's answer has left: end the session on the next pass.
        session->draining_ = false;
        bufferevent_enable(session->connection_, EV_READ);
        set_timeouts(session->connection_, std::chrono::microseconds(1));
    }
}

void vp_handler::on_event(bufferevent*, short events, void* self) {
    if ((events & BEV_EVENT_CONNECTED) == 0 &&
        (events & (BEV_EVENT_EOF | BEV_EVENT_ERROR | BEV_EVENT_TIMEOUT)) != 0) {
        auto* session = static_cast<vp_handler*>(self);
        session->server_.remove_session(*session);  // destroys the session
    }
}

// --- input ---

// A peer sends its HANDSHAKE right after connecting, so when a busy server gets to accept
// the connection the bytes are usually there already. Taking them at once moves the peer
// out of the handshake wait before newer connections push the oldest waiting ones out,
// and ends a connection that opens with garbage before anything else is spent on it.
void vp_handler::take_waiting_input() {
    evbuffer* input = bufferevent_get_input(connection_);
    // The connection keeps its input's end frozen except while it reads itself.
    evbuffer_unfreeze(input, 0);
    const int got =
        evbuffer_read(input, bufferevent_getfd(connection_), static_cast<int>(max_single_read));
    evbuffer_freeze(input, 0);
    if (got > 0) {
        process_input();
    } else if (got == 0) {
        close_soon();  // the peer has already hung up
    }
}

void vp_handler::process_input() {
    evbuffer* input = bufferevent_get_input(connection_);
    if (closing_) {
        // Nothing more is processed; what still arrives is discarded, not buffered.
        evbuffer_drain(input, evbuffer_get_length(input));
        return;
    }
    try {
        take_commands(input);
        watch_partial_command(input);
    } catch (const std::exception& error) {
        log_line(VP_LOG_DEBUG, "peer server: session with " +
                                   address_text(record_.address.sin_addr) +
                                   " closed: " + error.what());
        close_soon();
    }
}

void vp_handler::take_commands(evbuffer* input) {
    while (!closing_) {
        if (over_output_bound()) {
            pause_input();
            return;
        }
        const std::size_t available = evbuffer_get_length(input);
        if (available > max_buffered_input) {
            throw std::runtime_error("too much input!");
        }
        std::uint8_t header[noise_header_size];
        if (available < noise_header_size || evbuffer_copyout(input, header, noise_header_size) !=
                                                 static_cast<ev_ssize_t>(noise_header_size)) {
            return;
        }
        const frame_scan scan = scan_noise_frame(header, noise_header_size);
        if (scan.status == frame_status::invalid) {
            throw p2p_cmd_exception("p2p_cmd_tcp::decode bodylen is invalid.");
        }
        if (available < scan.total_size) {
            return;
        }
        std::vector<std::uint8_t> frame(scan.total_size);
        bufferevent_read(connection_, frame.data(), frame.size());
        // A whole command arrived: the deadline starts again with the next one.
        evtimer_del(command_timer_);
        std::unique_ptr<p2p_cmd_tcp> command = make_p2p_cmd(scan.code);
        if (!command) {
            // No class for this code: the frame is dropped and this pass ends.
            return;
        }
        command->decode(frame.data(), scan.total_size, false, true);
        dispatch(*command);
    }
}

// A command that has begun must be complete within the deadline, however slowly its
// bytes trickle in: each byte would otherwise renew the idle time-out for ever.
void vp_handler::watch_partial_command(evbuffer* input) {
    if (closing_ || input_paused_ || evbuffer_get_length(input) == 0) {
        evtimer_del(command_timer_);
        return;
    }
    if (evtimer_pending(command_timer_, nullptr) == 0) {
        const timeval deadline = to_timeval(server_.command_deadline());
        evtimer_add(command_timer_, &deadline);
    }
}

std::uint64_t vp_handler::held_bytes() const {
    return evbuffer_get_length(bufferevent_get_output(connection_)) + pending_bytes_;
}

// What one peer may make the server hold is its share of the page budget (answers queued
// in the output plus reads still pending). Beyond it the session takes no more commands
// until the output drains below half.
bool vp_handler::over_output_bound() const {
    return held_bytes() >= server_.session_share();
}

void vp_handler::update_holding() {
    const bool holds = held_bytes() > 0;
    if (holds == holding_) {
        return;
    }
    holding_ = holds;
    if (holds) {
        server_.holding_began();
    } else {
        server_.holding_ended();
    }
}

std::uint64_t vp_handler::stalled_ms(std::uint64_t now_ms, std::uint64_t at_least_ms) const {
    const std::uint64_t still = now_ms > output_moved_ms_ ? now_ms - output_moved_ms_ : 0;
    if (closing_ || !sending_ || still == 0 || still < at_least_ms ||
        evbuffer_get_length(bufferevent_get_output(connection_)) == 0) {
        return 0;
    }
    // Asked only of sessions that have waited long enough: one system call each.
    int unsent = 0;
    if (::ioctl(bufferevent_getfd(connection_), SIOCOUTQ, &unsent) != 0 || unsent <= 0) {
        return 0;
    }
    return still;
}

void vp_handler::pause_input() {
    if (input_paused_) {
        return;
    }
    // The socket is not read either, so the peer's own sending stalls in TCP.
    input_paused_ = true;
    bufferevent_disable(connection_, EV_READ);
    evtimer_del(command_timer_);
}

void vp_handler::resume_input_if_drained() {
    if (!input_paused_ || closing_ || held_bytes() >= server_.session_share() / 2) {
        return;
    }
    input_paused_ = false;
    bufferevent_enable(connection_, EV_READ);
    // Commands already buffered are taken on the next pass, not from inside this callback.
    event_active(resume_event_, 0, 0);
}

void vp_handler::on_resume(int, short, void* self) {
    static_cast<vp_handler*>(self)->process_input();
}

void vp_handler::on_deadline(int, short, void* self) {
    static_cast<vp_handler*>(self)->close_soon();
}

void vp_handler::mark_closing() {
    closing_ = true;
    leave_handshake_wait();
    if (!counted_closing_) {
        counted_closing_ = true;
        server_.closing_began();
    }
}

void vp_handler::leave_handshake_wait() {
    if (awaiting_handshake_) {
        awaiting_handshake_ = false;
        server_.handshake_wait_ended();
    }
}

void vp_handler::require_handshake() const {
    if (gcid_.empty()) {
        throw std::runtime_error("not handshake!");
    }
}

void vp_handler::dispatch(p2p_cmd_tcp& command) {
    switch (command.code) {
        case cmd_handshake:
        case cmd_cdn_handshake:
            handshake(static_cast<const p2p_cmd_handshake&>(command));
            break;
        case cmd_interested: {
            require_handshake();
            p2p_cmd_interestedresp answer;
            answer.completion = 100;
            answer.ranges.push_back({0, file_size_});
            send(answer);
            break;
        }
        case cmd_keepalive:
            require_handshake();
            break;
        case cmd_request:
            request(static_cast<const p2p_cmd_request&>(command));
            break;
        case cmd_cancel: {
            require_handshake();
            pending_.clear();
            pending_bytes_ = 0;
            p2p_cmd_cancelresp answer;
            send(answer);  // updates what the session holds
            break;
        }
        default:
            // Answers a downloading peer might echo back: nothing to do.
            break;
    }
}

void vp_handler::handshake(const p2p_cmd_handshake& command) {
    if (!gcid_.empty()) {
        throw std::runtime_error("handshake twice!");
    }
    gcid_ = cid_to_hex(command.gcid);
    file_size_ = command.file_size;
    std::memcpy(record_.gcid, gcid_.data(), std::min(sizeof record_.gcid, gcid_.size()));
    std::memcpy(record_.peer_id, command.peer_id.data(),
                std::min(sizeof record_.peer_id, command.peer_id.size()));

    link_ = server_.cache().open(*this, gcid_, file_size_);
    p2p_cmd_handshakeresp answer;
    answer.result = link_ != nullptr ? p2p_cmd_handshakeresp::result_available
                                     : p2p_cmd_handshakeresp::result_unavailable;
    send(answer);
    if (link_ == nullptr) {
        close_after_drain();
        return;
    }
    evtimer_del(handshake_timer_);
    leave_handshake_wait();
}

void vp_handler::request(const p2p_cmd_request& command) {
    require_handshake();
    // Pending means accepted and not yet answered: reads that have finished and only wait
    // for the cache to hand them over do not count.
    if (pending_.size() > max_pending_before_request &&
        pending_.size() - server_.cache().undelivered(*this) > max_pending_before_request) {
        throw std::runtime_error("too much request!");
    }
    // The first two tests keep the sum below from wrapping.
    if (command.length > max_request_length || command.offset >= file_size_ ||
        command.offset + command.length > file_size_) {
        throw std::runtime_error("invalid request");
    }
    const auto length = static_cast<std::uint32_t>(command.length);
    const std::uint32_t id = server_.cache().submit(*this, *link_, command.offset, length);
    pending_[id] = pending_read{command.offset, length, monotonic_us()};
    pending_bytes_ += length;
    update_holding();
}

// --- reads and output ---

void vp_handler::on_read_complete(std::uint32_t request_id,
                                  std::shared_ptr<const read_bytes> bytes) {
    auto found = pending_.find(request_id);
    if (found == pending_.end()) {
        return;  // cancelled
    }
    const pending_read read = found->second;
    pending_.erase(found);
    pending_bytes_ -= read.length;
    update_holding();
    if (closing_) {
        return;
    }
    if (!bytes || bytes->size() != read.length) {
        close_soon();
        return;
    }
    const std::uint32_t queued =
        append_page_response(bufferevent_get_output(connection_), read.offset, std::move(bytes));
    if (queued == 0) {
        close_soon();
        return;
    }
    const std::uint64_t now_us = monotonic_us();
    request_histograms& histograms = process_wide_histograms();
    histograms.disk_wait_us.observe(now_us - read.submitted_us);
    histograms.answer_bytes.observe(queued);
    ever_queued_bytes_ += queued;
    answers_in_output_.push_back({ever_queued_bytes_, now_us});
    queued_bytes_ += queued;
    watch_output_progress(queued_bytes_, false);
    update_holding();
}

void vp_handler::send(p2p_cmd_tcp& command) {
    std::uint32_t length = command.encoded_size(true);
    std::vector<std::uint8_t> bytes(length);
    command.encode(bytes.data(), length, true);
    if (bufferevent_write(connection_, bytes.data(), length) != 0) {
        throw std::runtime_error("cannot queue output");
    }
    queued_bytes_ += length;
    ever_queued_bytes_ += length;
    watch_output_progress(queued_bytes_, false);
    update_holding();
}

void vp_handler::count_drained_output() {
    const std::uint64_t still_queued = evbuffer_get_length(bufferevent_get_output(connection_));
    const std::uint64_t sent = queued_bytes_ > still_queued ? queued_bytes_ - still_queued : 0;
    if (sent > 0) {
        speed_->add(sent);
        server_.count_sent(sent);
        record_.bytes_sent += sent;
        note_answers_sent(sent);
    }
    queued_bytes_ = still_queued;
    watch_output_progress(still_queued, sent > 0);
    update_holding();
}

// Answers whose last byte the kernel has taken: how long each waited in the output.
void vp_handler::note_answers_sent(std::uint64_t sent) {
    ever_drained_bytes_ += sent;
    if (answers_in_output_.empty() || answers_in_output_.front().end > ever_drained_bytes_) {
        return;
    }
    const std::uint64_t now_us = monotonic_us();
    histogram& waits = process_wide_histograms().send_wait_us;
    while (!answers_in_output_.empty() && answers_in_output_.front().end <= ever_drained_bytes_) {
        waits.observe(now_us - answers_in_output_.front().queued_us);
        answers_in_output_.pop_front();
    }
}

// The connection's write time-out does not run while the rate limit holds the output
// back, so stalled output has a timer of its own: output that has not moved for the
// session time-out ends the session, and with it the pages its answers hold.
void vp_handler::watch_output_progress(std::uint64_t still_queued, bool moved) {
    if (stall_timer_ == nullptr) {
        return;
    }
    if (still_queued == 0 || !sending_) {
        evtimer_del(stall_timer_);
        return;
    }
    if (moved || evtimer_pending(stall_timer_, nullptr) == 0) {
        const timeval bound = to_timeval(server_.session_timeout());
        evtimer_add(stall_timer_, &bound);
        output_moved_ms_ = platform::monotonic_ms();
    }
}

void vp_handler::close_soon() {
    mark_closing();
    draining_ = false;
    bufferevent_enable(connection_, EV_READ);
    set_timeouts(connection_, std::chrono::microseconds(1));
}

void vp_handler::close_after_drain() {
    mark_closing();
    if (evbuffer_get_length(bufferevent_get_output(connection_)) == 0) {
        close_soon();
        return;
    }
    // Stop reading (nothing more is processed) and give the answer a bounded time to
    // leave: the write callback ends the session once it has, the drain timer if not. A
    // timer of its own, because the connection's write time-out does not run while the
    // rate limit holds the output back.
    draining_ = true;
    bufferevent_disable(connection_, EV_READ);
    drain_timer_ = evtimer_new(server_.base(), &vp_handler::on_drain_timeout, this);
    if (drain_timer_ == nullptr) {
        close_soon();
        return;
    }
    const timeval bound = to_timeval(std::min(max_drain_time, server_.session_timeout()));
    evtimer_add(drain_timer_, &bound);
}

void vp_handler::on_drain_timeout(int, short, void* self) {
    static_cast<vp_handler*>(self)->close_soon();
}

}  // namespace peerfeed
