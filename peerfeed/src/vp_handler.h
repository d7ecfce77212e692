#pragma once
// One peer session: splits the connection's byte stream into noise-framed commands,
// answers HANDSHAKE, INTERESTED, REQUEST, CANCEL and KEEPALIVE, reads file bytes through
// the block cache and sends them back. Everything runs on the loop thread.

#include <netinet/in.h>

#include <cstdint>
#include <deque>
#include <list>
#include <map>
#include <memory>
#include <string>

#include "block_cache_interface.h"
#include "peerfeed/peerfeed.h"
#include "stats_interface.h"

struct bufferevent;
struct evbuffer;
struct event;

namespace peerfeed {

class p2p_cmd_tcp;
class p2p_cmd_handshake;
class p2p_cmd_request;
class upload_server;

class vp_handler final : public vp_data_handler {
public:
    // The session for an accepted socket, or null when the connection cannot be set up
    // (the socket is then closed).
    static std::unique_ptr<vp_handler> create(upload_server& server, int fd,
                                              const sockaddr_in& peer);
    ~vp_handler();
    vp_handler(const vp_handler&) = delete;
    vp_handler& operator=(const vp_handler&) = delete;

    // Answers from the cache's shared bytes, queued into the output by reference.
    void on_read_complete(std::uint32_t request_id,
                          std::shared_ptr<const read_bytes> bytes) override;

    // For the statistics: the record with its speed and duration brought up to date.
    const vp_connection& refreshed_record();
    const std::string& gcid() const { return gcid_; }
    // The peer's IPv4 address as accepted (network byte order).
    std::uint32_t peer_address() const { return record_.address.sin_addr.s_addr; }
    // The peer's address and port as accepted (network byte order).
    const sockaddr_in& peer() const { return record_.address; }
    // Stops or resumes handing output to the socket; requests are still read and queued.
    void set_sending(bool on);
    // True until a handshake has succeeded, while the session is not yet closing: such
    // sessions may hold only part of the connection limit.
    bool awaiting_handshake() const { return awaiting_handshake_; }
    // How long a session still open has waited for its peer's handshake; 0 once it has one.
    std::uint64_t handshake_wait_ms(std::uint64_t now_ms) const {
        return awaiting_handshake_ && !closing_ && now_ms > accepted_ms_ ? now_ms - accepted_ms_
                                                                         : 0;
    }
    // True once the session ends on the next loop pass or after draining its answer.
    bool closing() const { return closing_; }
    // Takes what the peer has already sent, right after the connection is accepted.
    void take_waiting_input();
    // Ends the session on the next loop pass (the server makes room with it).
    void drop() { close_soon(); }
    // How long the output has waited on a peer that takes nothing, when at least
    // `at_least_ms`: answers are queued, the kernel still holds unsent bytes of ours, and
    // nothing has moved since. 0 otherwise: while the output moves or is empty, and while it
    // waits on our own pause or the rate limit (the kernel's send queue has emptied then).
    std::uint64_t stalled_ms(std::uint64_t now_ms, std::uint64_t at_least_ms) const;

    // Where the session sits in the server's session set.
    std::list<std::unique_ptr<vp_handler>>::iterator position;

private:
    struct pending_read {
        std::uint64_t offset;
        std::uint32_t length;
        std::uint64_t submitted_us;  // monotonic, for the disk-wait histogram
    };
    // An answer with file data in the output: where it ends among all bytes ever queued,
    // and when it was queued (for the send-wait histogram).
    struct answer_in_output {
        std::uint64_t end;
        std::uint64_t queued_us;
    };

    vp_handler(upload_server& server, bufferevent* connection, const sockaddr_in& peer);

    static void on_read(bufferevent* connection, void* self);
    static void on_write(bufferevent* connection, void* self);
    static void on_event(bufferevent* connection, short events, void* self);
    static void on_drain_timeout(int fd, short events, void* self);
    static void on_deadline(int fd, short events, void* self);
    static void on_resume(int fd, short events, void* self);

    void process_input();
    void take_commands(evbuffer* input);
    // Output queued plus reads still to be answered: what the peer has made us hold.
    std::uint64_t held_bytes() const;
    bool over_output_bound() const;
    // Tells the server whether the session holds answers or reads: the sessions that do
    // share the page budget.
    void update_holding();
    void pause_input();
    void resume_input_if_drained();
    void watch_partial_command(evbuffer* input);
    void watch_output_progress(std::uint64_t still_queued, bool moved);
    void leave_handshake_wait();
    // Once the session is closing: it no longer waits for a handshake nor counts as open.
    void mark_closing();
    void dispatch(p2p_cmd_tcp& command);
    void handshake(const p2p_cmd_handshake& command);
    void request(const p2p_cmd_request& command);
    void require_handshake() const;
    void send(p2p_cmd_tcp& command);
    void count_drained_output();
    void note_answers_sent(std::uint64_t sent);
    // Tears the session down on the next loop pass, dropping unsent output.
    void close_soon();
    // Tears the session down once its output has reached the peer, or after a short
    // bound when the peer does not read.
    void close_after_drain();

    upload_server& server_;
    bufferevent* connection_;
    std::string gcid_;
    std::uint64_t file_size_ = 0;
    file_link* link_ = nullptr;
    bool closing_ = false;
    bool draining_ = false;
    bool awaiting_handshake_ = true;
    bool counted_closing_ = false;
    bool input_paused_ = false;
    bool sending_ = true;  // false while the server's uploads are paused
    bool holding_ = false;
    event* drain_timer_ = nullptr;
    event* handshake_timer_ = nullptr;  // the handshake must be done by then
    event* command_timer_ = nullptr;    // a command begun must be complete by then
    event* stall_timer_ = nullptr;      // output that has not moved for this long ends it
    event* resume_event_ = nullptr;     // takes buffered commands again after a pause
    std::uint64_t pending_bytes_ = 0;
    std::uint64_t queued_bytes_ = 0;
    std::uint64_t output_moved_ms_ = 0;  // when queued output last moved or began
    std::int64_t start_time_;
    std::uint64_t accepted_ms_;  // monotonic
    std::unique_ptr<speed_meter> speed_;
    vp_connection record_{};
    std::map<std::uint32_t, pending_read> pending_;
    std::deque<answer_in_output> answers_in_output_;
    std::uint64_t ever_queued_bytes_ = 0;
    std::uint64_t ever_drained_bytes_ = 0;
};

}  // namespace peerfeed
