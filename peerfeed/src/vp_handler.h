#pragma once
// One peer session: splits the connection's byte stream into noise-framed commands,
// answers HANDSHAKE, INTERESTED, REQUEST, CANCEL and KEEPALIVE, reads file bytes through
// the block cache and sends them back. Everything runs on the loop thread.

#include <netinet/in.h>

#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <string>

#include "block_cache_interface.h"
#include "cache/block_cache.h"
#include "peerfeed/peerfeed.h"
#include "stats_interface.h"

struct bufferevent;
struct event;

namespace peerfeed {

class p2p_cmd_tcp;
class p2p_cmd_handshake;
class p2p_cmd_request;
class upload_server;

class vp_handler final : public vp_data_handler, public vp_page_data_handler {
public:
    // The session for an accepted socket, or null when the connection cannot be set up
    // (the socket is then closed).
    static std::unique_ptr<vp_handler> create(upload_server& server, int fd,
                                              const sockaddr_in& peer);
    ~vp_handler();
    vp_handler(const vp_handler&) = delete;
    vp_handler& operator=(const vp_handler&) = delete;

    void on_read_complete(std::uint32_t request_id, bool failed, const std::uint8_t* data) override;
    // The same answer from cached pages, queued by reference instead of copied.
    void on_read_pages(std::uint32_t request_id, std::shared_ptr<read_bytes> bytes) override;

    // For the statistics: the record with its speed and duration brought up to date.
    const vp_connection& refreshed_record();
    const std::string& gcid() const { return gcid_; }
    // The peer's IPv4 address as accepted (network byte order).
    std::uint32_t peer_address() const { return record_.address.sin_addr.s_addr; }
    // Stops or resumes handing output to the socket; requests are still read and queued.
    void set_sending(bool on);

    // Where the session sits in the server's session set.
    std::list<std::unique_ptr<vp_handler>>::iterator position;

private:
    struct pending_read {
        std::uint64_t offset;
        std::uint32_t length;
    };

    vp_handler(upload_server& server, bufferevent* connection, const sockaddr_in& peer);

    static void on_read(bufferevent* connection, void* self);
    static void on_write(bufferevent* connection, void* self);
    static void on_event(bufferevent* connection, short events, void* self);
    static void on_drain_timeout(int fd, short events, void* self);

    void process_input();
    void dispatch(p2p_cmd_tcp& command);
    void handshake(const p2p_cmd_handshake& command);
    void request(const p2p_cmd_request& command);
    void require_handshake() const;
    void send(p2p_cmd_tcp& command);
    void count_drained_output();
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
    event* drain_timer_ = nullptr;
    std::uint64_t queued_bytes_ = 0;
    std::int64_t start_time_;
    std::unique_ptr<speed_meter> speed_;
    vp_connection record_{};
    std::map<std::uint32_t, pending_read> pending_;
};

}  // namespace peerfeed
