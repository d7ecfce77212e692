#pragma once
// The two services as the host drives them: the peer upload server (peerfeed) and the list
// server (catalogd). This is the only part of the program that calls their exported
// functions; everything else asks it for plain records.
//
// The servers call back into the host on their own network threads with plain function
// pointers and no context argument, so the one process-wide pointer to the answering
// ServerQueries lives here, set by Attach and cleared by Detach.
//
// Threads: Start, Stop, the limits and Attach/Detach run on the owner's thread (the window
// thread, wharfkeepd's main thread). The queries (Running, Status, Resources, Connections)
// may run on any thread: each is one call into the server, which serialises it. The
// callbacks run on the servers' network threads and reach only the attached ServerQueries.

#include <netinet/in.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "wharfkeep/schedule/upload_schedule.h"

namespace wharfkeep::host {

// What the servers ask the host. Called on their network threads, concurrently with the
// owner's thread.
class ServerQueries {
public:
    virtual ~ServerQueries() = default;
    // The published media file (or its stream-description file) of a GCID; empty for none.
    virtual std::string PublishedPath(const std::string& gcid, bool descriptor) = 0;
    // True when the peer at `address` (first octet most significant) must be refused.
    virtual bool RefusePeer(std::uint32_t address) = 0;
    // Writes "GCID size" lines of the published files into `path`; false on failure.
    virtual bool ExportPublishedList(const std::string& path) = 0;
    // A peer session opened or ended (`address` host order, `port` as a number). Called for
    // every session, so it must be cheap.
    virtual void PeerSessionChanged(std::uint32_t /*address*/, std::uint16_t /*port*/,
                                    bool /*opened*/) {}
};

// One published file being served, as the connection monitor lists it.
struct ResourceActivity {
    std::string gcid;  // upper-case hexadecimal
    std::uint32_t sessions = 0;
    std::uint64_t speed = 0;       // bytes per second, all sessions together
    std::uint64_t bytes_sent = 0;  // finished and live sessions
};

// One live peer session.
struct PeerConnection {
    std::string gcid;  // empty before the handshake
    std::uint8_t peer_id[16] = {};
    sockaddr_in address{};  // as accepted, network byte order
    std::uint64_t speed = 0;
    std::uint64_t bytes_sent = 0;
    std::uint64_t duration = 0;  // seconds since the connection was accepted
};

// The peer server's traffic.
struct PeerTraffic {
    std::uint64_t upload_speed = 0;      // bytes per second, all sessions together
    std::uint64_t total_bytes_sent = 0;  // since the process started
    std::uint32_t live_sessions = 0;
    std::uint32_t resource_count = 0;  // files with live sessions
};

// The peer server's disk reads as its page cache saw them.
struct PageCacheFigures {
    std::uint16_t hit_ratio = 0;  // page hits in percent of all look-ups; 0 before any
    std::uint64_t disk_bytes_read = 0;
    std::uint64_t disk_read_speed = 0;  // bytes per second
};

// The page cache's own counters.
struct PageCacheCounters {
    std::uint64_t page_hits = 0;  // since the server started
    std::uint64_t page_misses = 0;
    std::uint64_t cached_bytes = 0;  // held now
    std::uint64_t budget_bytes = 0;  // most it may hold
};

// Connections the peer server refused as they were accepted, by reason.
struct PeerRefusals {
    std::uint64_t ip_filter = 0;
    std::uint64_t connection_limit = 0;
    std::uint64_t address_limit = 0;
};

// How the list server answered, by answer: "list" (the list of files), "found" and
// "not_found" (a file's description), "malformed" (dropped unanswered), "list_failed".
using ListQueryCounts = std::map<std::string, std::uint64_t>;

// A histogram as exporters want it: each upper bound with the count at or below it.
struct Histogram {
    std::vector<std::pair<double, std::uint64_t>> buckets;
    std::uint64_t count = 0;
    double sum = 0;
};

// How the peer server's answers went.
struct PeerAnswerHistograms {
    Histogram answer_bytes;       // answers with file data, bytes
    Histogram disk_wait_seconds;  // a request until its data was at hand
    Histogram send_wait_seconds;  // an answer from queued until the kernel took its last byte
};

// The counters of the peer server, filled whether or not it runs.
struct ServiceCounters {
    bool running = false;
    sockaddr_in peer_address{};  // where peers reach the peer server (valid while running)
    sockaddr_in list_address{};  // where clients reach the list server
    PeerTraffic server;
    PageCacheFigures cache;
    PeerRefusals refused;
    ListQueryCounts list_queries;      // kept across stop and start
    PageCacheCounters cache_counters;  // page hits, misses, bytes held and the budget
    PeerAnswerHistograms histograms;   // answer sizes and waits, kept across stop and start
    std::uint32_t speed_limit = 0;     // bytes per second in force, 0 unlimited
    std::uint32_t connection_limit = 0;
};

enum class StartOutcome { kStarted, kTransferPortBusy, kProtocolPortBusy };

// What a server's loop did with a no-op handed to it.
enum class LoopAnswer { kAnswered, kNotRunning, kLate };

// GCID text of a fixed 40-byte field that may end early with zero bytes.
std::string GcidFieldText(const char (&field)[40]);

class Services {
public:
    Services() = default;
    // Detaches when `queries` is still the attached one.
    ~Services();
    Services(const Services&) = delete;
    Services& operator=(const Services&) = delete;

    // Installs the server callbacks and makes `queries` answer them; the peer server's
    // log joins the program's log.
    void Attach(ServerQueries* queries);
    // Later callbacks answer as for a closed document: no path, no refusal, an export that
    // succeeds without writing.
    void Detach();

    // Starts the peer server on `peer_port`, then the list server on `list_port` (0: each
    // server's own port). When the list server cannot start the peer server stops again.
    StartOutcome Start(std::uint32_t peer_port, std::uint32_t list_port);
    void Stop();
    bool Running() const;

    void SetSpeedLimit(std::uint32_t bytes_per_second);
    // The upload limit in force (0 unlimited) and the pause, as the limit controller decides.
    void ApplyUploadDecision(const schedule::UploadDecision& decision);
    void SetConnectionLimit(std::uint32_t count);
    void SetAddressConnectionLimit(std::uint32_t count);
    // Has the peer server read its cache tuning from Wharfkeep.ini again (what it can
    // change while running).
    void ReloadCacheSettings();

    ServiceCounters Counters() const;
    // Whether each server's loop runs a no-op within `deadline` (through the queue every
    // request of the host takes).
    LoopAnswer ProbePeerLoop(std::chrono::milliseconds deadline) const;
    LoopAnswer ProbeListLoop(std::chrono::milliseconds deadline) const;
    // Every file with sessions, or nothing while the peer server is stopped.
    std::vector<ResourceActivity> Resources() const;
    // The sessions of one GCID, or nothing while the peer server is stopped.
    std::vector<PeerConnection> Connections(const std::string& gcid) const;

    // The four callbacks as the servers call them; public for tests of what they answer.
    static bool LocalPathForGcid(const char* gcid, char* path_out, unsigned size);
    static bool DescriptorPathForGcid(const char* gcid, char* path_out, unsigned size);
    static bool RefusePeer(in_addr* address);
    static bool ExportPublishedList(const char* path);
    static void PeerSessionChanged(const sockaddr_in* peer, int what);

private:
    ServerQueries* attached_ = nullptr;
};

}  // namespace wharfkeep::host
