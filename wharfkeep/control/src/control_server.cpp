#include "wharfkeep/control/control_server.h"

#include <arpa/inet.h>
#include <event2/buffer.h>
#include <event2/bufferevent.h>
#include <event2/bufferevent_ssl.h>
#include <event2/event.h>
#include <event2/http.h>
#include <event2/keyvalq_struct.h>
#include <event2/thread.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/ssl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstring>
#include <ctime>
#include <deque>
#include <future>
#include <map>
#include <mutex>
#include <optional>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "account_routes.h"
#include "event_queue.h"
#include "folder_browser.h"
#include "lingering_close.h"
#include "loop_worker.h"
#include "peer_event_limiter.h"
#include "remote_access.h"
#include "remote_listeners.h"
#include "request_body.h"
#include "web_assets.h"
#include "web_sessions.h"
#include "wharfkeep/control/control_json.h"
#include "wharfkeep/control/control_router.h"

namespace wharfkeep::control {
namespace {

std::optional<sockaddr_un> UnixAddress(const std::filesystem::path& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string& text = path.native();
    if (text.empty() || text.size() >= sizeof(address.sun_path)) {
        return std::nullopt;
    }
    std::memcpy(address.sun_path, text.c_str(), text.size() + 1);
    return address;
}

std::string SystemError(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

}  // namespace

bool ControlSocketAnswers(const std::filesystem::path& path) {
    std::optional<sockaddr_un> address = UnixAddress(path);
    if (!address) {
        return false;
    }
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    bool answers =
        ::connect(fd, reinterpret_cast<const sockaddr*>(&*address), sizeof(*address)) == 0;
    ::close(fd);
    return answers;
}

int BindControlSocket(const std::filesystem::path& path, std::string& error,
                      std::optional<gid_t> group) {
    std::optional<sockaddr_un> address = UnixAddress(path);
    if (!address) {
        error = "the control socket path " + path.string() + " is empty or too long";
        return -1;
    }
    struct stat info {};
    if (::lstat(path.c_str(), &info) == 0) {
        if (!S_ISSOCK(info.st_mode)) {
            error = path.string() + " exists and is not a socket; not replacing it";
            return -1;
        }
        if (ControlSocketAnswers(path)) {
            error = "another instance answers on " + path.string();
            return -1;
        }
        ::unlink(path.c_str());  // left behind by an instance that is gone
    }
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = SystemError("cannot create the control socket");
        return -1;
    }
    // Nobody can connect before listen(), so the mode is right before the first client; the
    // group gets its access only once the socket is the group's.
    bool bound = ::bind(fd, reinterpret_cast<const sockaddr*>(&*address), sizeof(*address)) == 0 &&
                 ::chmod(path.c_str(), 0600) == 0;
    if (bound && group &&
        (::chown(path.c_str(), static_cast<uid_t>(-1), *group) != 0 ||
         ::chmod(path.c_str(), 0660) != 0)) {
        error = SystemError("[control] socket_group: cannot give " + path.string() + " to group " +
                            std::to_string(*group) + " (this user must be a member of it)");
        ::close(fd);
        ::unlink(path.c_str());
        return -1;
    }
    if (!bound || ::listen(fd, 64) != 0) {
        error = SystemError("cannot listen on " + path.string());
        ::close(fd);
        ::unlink(path.c_str());
        return -1;
    }
    return fd;
}

// Which door a connection came in by.
enum class Door { kSocket, kMetrics, kRemote };

// New settings of the TCP listener handed to the server thread, and who hears how it went.
struct RemoteReload {
    ControlServerOptions wanted;
    std::function<void(const RemoteReloadOutcome&)> done;
};

// What the HTTP server hands back when it asks for a new connection's stream.
struct DoorArgument {
    ControlServer::Loop* loop;
    Door door;
};

// One client connection, from accept to close. libevent's HTTP server owns the connection;
// this record follows it to enforce what the server alone does not: a deadline for a whole
// request, JSON instead of the server's own HTML error pages, and the event stream.
struct ControlConnection {
    ControlServer::Loop* loop = nullptr;
    Door door = Door::kSocket;
    bufferevent* stream = nullptr;
    evhttp_connection* http = nullptr;  // known once adopted
    event* adopt = nullptr;
    event* deadline = nullptr;
    event* rewrite = nullptr;
    bool refused = false;          // to be closed as soon as adopted
    bool large_body = false;       // the request being read may have an upload's body
    bool answering = false;        // a request is in our hands or its answer is being sent
    bool rewriting = false;        // the server's own error answer is being replaced
    std::size_t rewrite_from = 0;  // where that answer starts in the output
    int rewrite_status = 0;

    std::string token_sha256;      // of the token that opened the event stream, over TCP
    std::string session_id;        // of the console session that opened it
    std::uint64_t worker_job = 0;  // the login, account change or import held for a worker

    // Set while the connection is on the event stream.
    evhttp_request* stream_request = nullptr;
    std::unique_ptr<EventQueue> backlog;
    bool chunk_in_flight = false;
};

namespace {
// Peer sessions opened or ended sent one by one each second; the others are summed up.
constexpr std::uint32_t kPeerEventsPerSecond = 20;
}  // namespace

struct ControlServer::Loop {
    Loop(ControlHost& host_in, ControlServerOptions options_in)
        : host(host_in),
          options(std::move(options_in)),
          sessions(std::int64_t{options.session_idle_minutes} * 60) {}
    ~Loop();

    bool Open(std::string& error);
    bool OpenMetrics(std::string& error);
    bool ConfigureRemote(const ControlServerOptions& wanted, std::string& error);
    evhttp* NewServer(Door door);

    bufferevent* NewStream(Door door);
    void Adopt(ControlConnection& connection);
    void Forget(ControlConnection& connection);
    void DetachAll();
    void StartDeadline(ControlConnection& connection, int seconds);
    void NoteOutput(ControlConnection& connection, evbuffer* output, const evbuffer_cb_info& info);
    void NoteInput(ControlConnection& connection);
    void EndLargeBody(ControlConnection& connection);
    void RewriteServerError(ControlConnection& connection);

    void Handle(evhttp_request* request, Door door);
    bool HandleRemote(ControlConnection& connection, evhttp_request* request,
                      const ControlRequest& parsed);
    std::optional<ControlResponse> CheckToken(ControlConnection& connection,
                                              const std::string& token, const std::string& client,
                                              const ControlRequest& parsed);
    std::optional<ControlResponse> CheckSession(ControlConnection& connection,
                                                evhttp_request* request,
                                                const ControlRequest& parsed);
    WebSession* LiveSession(const std::string& id, std::int64_t now, bool touch);
    ControlResponse StartLogin(ControlConnection& connection, evhttp_request* request,
                               const ControlRequest& parsed, const std::string& client);
    void StartPasswordWorker();
    void HandleAccountChange(ControlConnection& connection, evhttp_request* request,
                             const ControlRequest& parsed);
    void HandleImport(ControlConnection& connection, evhttp_request* request,
                      ControlRequest parsed);
    void FinishWorkerJobs();
    void FinishLogin(std::uint64_t id, bool matches);
    void FinishHeld(std::uint64_t id, const ControlResponse& answer);
    void Publish(const ControlEvent& event);
    std::string BodyTooLargeText() const;
    void CheckStreamTokens();
    void PublishStoreChanges();
    void ApplyPendingReload();
    std::string AccessMetrics() const;
    void AddRemoteStatus(ControlResponse& response) const;
    void Answer(ControlConnection& connection, evhttp_request* request,
                const ControlResponse& response, bool close_after = false);
    void Subscribe(ControlConnection& connection, evhttp_request* request);
    bool CanResumeAfter(std::uint64_t last) const;
    void Deliver(const SharedFrame& frame);
    void Pump(ControlConnection& connection);
    void Lag(ControlConnection& connection, const std::string& reason);
    void Unsubscribe(ControlConnection& connection);
    void DrainOutgoing();
    void SendKeepalive();
    void SendStats();
    void SendPeersSummary();

    ControlHost& host;
    ControlServerOptions options;
    event_base* base = nullptr;
    evhttp* http = nullptr;
    evhttp* metrics_http = nullptr;
    evhttp* remote_http = nullptr;
    RemoteListeners listeners;
    std::unique_ptr<LingeringClose> lingering;  // connections refused before their body was read
    mutable std::mutex bound_mutex;             // guards remote_bound, read by the owner's thread
    std::vector<ListenAddress> remote_bound;
    std::size_t remote_clients = 0;
    std::size_t large_bodies = 0;  // connections reading an upload's body now
    event* wake = nullptr;
    event* stop = nullptr;
    event* keepalive = nullptr;
    event* token_check = nullptr;
    event* stats = nullptr;
    event* peers_summary = nullptr;
    int token_checks = 0;
    std::vector<AddressRange> trusted;
    std::vector<std::string> host_names;
    // 10 failed authentications from one address within 60 s ban it for 10 minutes.
    BanList bans{10, 60, 600};
    SessionTable sessions;
    // Logins whose password is being checked, by number.
    struct PendingLogin {
        ControlConnection* connection;  // null once the client has gone
        evhttp_request* request;
        std::string client;
        std::optional<UserRecord> user;
    };
    std::map<std::uint64_t, PendingLogin> logins;
    // Account changes whose password is being hashed, and block-list imports, by the same
    // numbers.
    struct HeldRequest {
        ControlConnection* connection;  // null once the client has gone
        evhttp_request* request;
    };
    std::map<std::uint64_t, HeldRequest> held;
    std::uint64_t next_worker_job = 1;
    event* work_done = nullptr;  // made active by either worker when a job ends
    std::unique_ptr<LoopWorker> passwords;
    // Block lists are parsed and stored here, one at a time.
    std::unique_ptr<LoopWorker> imports;
    // The latest events with their ids, for clients that resume (server thread only).
    std::deque<std::pair<std::uint64_t, SharedFrame>> recent;
    int socket_fd = -1;
    int metrics_port = 0;
    bool socket_bound = false;
    std::thread thread;
    DoorArgument socket_arguments{this, Door::kSocket};
    DoorArgument metrics_arguments{this, Door::kMetrics};
    DoorArgument remote_arguments{this, Door::kRemote};

    // Frames published from other threads, waiting for the server thread.
    std::mutex mutex;  // guards next_event_id, outgoing, outgoing_bytes, outgoing_overflowed,
                       // pending_reloads
    event* reload = nullptr;
    std::vector<RemoteReload> pending_reloads;
    std::uint64_t next_event_id = 1;
    std::deque<std::pair<std::uint64_t, SharedFrame>> outgoing;
    std::size_t outgoing_bytes = 0;
    bool outgoing_overflowed = false;
    PeerEventLimiter peer_events{kPeerEventsPerSecond};  // guarded by `mutex` too

    // Server thread only.
    std::unordered_map<ControlConnection*, std::unique_ptr<ControlConnection>> connections;
    std::unordered_map<evhttp_connection*, ControlConnection*> by_http;
    std::unordered_set<ControlConnection*> subscribers;
    std::atomic<std::size_t> connection_total{0};
    std::atomic<std::size_t> subscriber_total{0};
};

namespace {

// The most bytes of events that may wait for the server thread; beyond, every subscriber
// has fallen behind anyway.
constexpr std::size_t kMaxOutgoingBytes = 8 * 1024 * 1024;
// Events are written to a subscriber in chunks of at most this size, one at a time.
constexpr std::size_t kEventChunkBytes = 16 * 1024;
// A subscriber told it lagged has this long to take the notice before it is cut off.
constexpr int kLaggedGraceSeconds = 2;
// Block-list uploads read at once; each may hold max_upload_body_bytes.
constexpr std::size_t kMaxLargeBodies = 2;
// The one request whose body may be larger than max_body_bytes.
constexpr std::string_view kUploadRequestLine = "POST /actions/ipfilter-import";

// Logins and account changes waiting for the password worker at once; more are asked to
// come back.
constexpr std::size_t kMaxPendingPasswordJobs = 8;

void OnRequest(evhttp_request* request, void* arg) {
    auto* loop = static_cast<ControlServer::Loop*>(arg);
    loop->Handle(request, Door::kSocket);
}

void OnRemoteRequest(evhttp_request* request, void* arg) {
    static_cast<ControlServer::Loop*>(arg)->Handle(request, Door::kRemote);
}

void OnMetricsRequest(evhttp_request* request, void* arg) {
    static_cast<ControlServer::Loop*>(arg)->Handle(request, Door::kMetrics);
}

// An event's callback that runs `method` of the loop the event was made with.
template <void (ControlServer::Loop::*method)()>
void OnLoopEvent(evutil_socket_t, short, void* arg) {
    (static_cast<ControlServer::Loop*>(arg)->*method)();
}

// An active event, unlike event_base_loopbreak(), is not lost when it comes before the
// loop has started.
void OnStop(evutil_socket_t, short, void* arg) {
    event_base_loopbreak(static_cast<ControlServer::Loop*>(arg)->base);
}

void OnReload(evutil_socket_t, short, void* arg) {
    static_cast<ControlServer::Loop*>(arg)->ApplyPendingReload();
}

void OnStats(evutil_socket_t, short, void* arg) {
    static_cast<ControlServer::Loop*>(arg)->SendStats();
}

void OnAdopt(evutil_socket_t, short, void* arg) {
    auto* connection = static_cast<ControlConnection*>(arg);
    connection->loop->Adopt(*connection);
}

void OnDeadline(evutil_socket_t, short, void* arg) {
    // Closing the connection reaches OnConnectionClosed, which forgets it.
    evhttp_connection_free(static_cast<ControlConnection*>(arg)->http);
}

void OnRewrite(evutil_socket_t, short, void* arg) {
    auto* connection = static_cast<ControlConnection*>(arg);
    connection->loop->RewriteServerError(*connection);
}

void OnConnectionClosed(evhttp_connection*, void* arg) {
    auto* connection = static_cast<ControlConnection*>(arg);
    connection->loop->Forget(*connection);
}

void OnOutput(evbuffer* output, const evbuffer_cb_info* info, void* arg) {
    auto* connection = static_cast<ControlConnection*>(arg);
    connection->loop->NoteOutput(*connection, output, *info);
}

void OnInput(evbuffer*, const evbuffer_cb_info* info, void* arg) {
    if (info->n_added > 0) {
        auto* connection = static_cast<ControlConnection*>(arg);
        connection->loop->NoteInput(*connection);
    }
}

void OnAnswerSent(evhttp_request*, void* arg) {
    auto* connection = static_cast<ControlConnection*>(arg);
    connection->answering = false;
    connection->loop->StartDeadline(*connection,
                                    connection->loop->options.request_deadline_seconds);
}

void OnChunkSent(evhttp_connection*, void* arg) {
    auto* connection = static_cast<ControlConnection*>(arg);
    connection->chunk_in_flight = false;
    connection->loop->Pump(*connection);
}

bufferevent* OnNewStream(event_base*, void* arg) {
    auto* door = static_cast<DoorArgument*>(arg);
    return door->loop->NewStream(door->door);
}

const char* MethodName(evhttp_cmd_type command) {
    switch (command) {
        case EVHTTP_REQ_GET:
            return "GET";
        case EVHTTP_REQ_POST:
            return "POST";
        case EVHTTP_REQ_PUT:
            return "PUT";
        case EVHTTP_REQ_DELETE:
            return "DELETE";
        case EVHTTP_REQ_HEAD:
            return "HEAD";
        case EVHTTP_REQ_OPTIONS:
            return "OPTIONS";
        case EVHTTP_REQ_PATCH:
            return "PATCH";
        case EVHTTP_REQ_TRACE:
            return "TRACE";
        case EVHTTP_REQ_CONNECT:
            return "CONNECT";
    }
    return "OTHER";
}

// The text of the server's own refusals, which it makes before a request reaches us.
std::string ServerRefusalText(int status) {
    switch (status) {
        case 417:
            return "only \"Expect: 100-continue\" is understood";
        case 501:
            return "the method is not implemented";
        default:
            return "the request is malformed or its header is too large";
    }
}

const char* ReasonPhrase(int status) {
    switch (status) {
        case 413:
            return "Payload Too Large";
        case 417:
            return "Expectation Failed";
        case 501:
            return "Not Implemented";
        default:
            return "Bad Request";
    }
}

std::size_t HeaderCount(evkeyvalq* headers, const char* name) {
    std::size_t count = 0;
    for (evkeyval* header = headers->tqh_first; header != nullptr; header = header->next.tqe_next) {
        if (::strcasecmp(header->key, name) == 0) {
            ++count;
        }
    }
    return count;
}

// Why the framing of a request cannot be trusted (a body length given twice, or both as a
// length and as chunks); empty when it can.
std::string FramingProblem(evhttp_request* request) {
    evkeyvalq* headers = evhttp_request_get_input_headers(request);
    std::size_t lengths = HeaderCount(headers, "Content-Length");
    if (lengths > 1) {
        return "Content-Length is given more than once";
    }
    if (lengths == 1 && HeaderCount(headers, "Transfer-Encoding") > 0) {
        return "Content-Length and Transfer-Encoding are both given";
    }
    return "";
}

// Decodes one part of a query ("+" is a space); false when it holds a NUL or bad escape.
bool DecodeQueryPart(std::string_view part, std::string& out) {
    size_t length = 0;
    char* decoded = evhttp_uridecode(std::string(part).c_str(), 1, &length);
    if (decoded == nullptr) {
        return false;
    }
    out.assign(decoded, length);
    std::free(decoded);
    return out.find('\0') == std::string::npos;
}

// "a=1&b=2&verbose": a key without "=" (a flag such as ?verbose) has an empty value,
// which libevent's own query parser refuses.
bool ReadQuery(std::string_view query, std::map<std::string, std::string>& out) {
    while (!query.empty()) {
        const std::size_t end = std::min(query.find('&'), query.size());
        const std::string_view pair = query.substr(0, end);
        query.remove_prefix(std::min(end + 1, query.size()));
        if (pair.empty()) {
            continue;
        }
        const std::size_t equals = std::min(pair.find('='), pair.size());
        std::string key;
        std::string value;
        if (!DecodeQueryPart(pair.substr(0, equals), key) ||
            !DecodeQueryPart(pair.substr(std::min(equals + 1, pair.size())), value)) {
            return false;
        }
        out[key] = value;
    }
    return true;
}

// Decodes a request's path ("+" stays a plus); false when it holds a NUL or bad escape.
bool DecodePath(const char* encoded, std::string& out) {
    size_t length = 0;
    char* path = evhttp_uridecode(encoded, 0, &length);
    if (path == nullptr) {
        return false;
    }
    out.assign(path, length);
    std::free(path);
    return out.find('\0') == std::string::npos;
}

// The request as the router takes it; nothing when its target cannot be decoded.
std::optional<ControlRequest> ReadRequest(evhttp_request* request) {
    const evhttp_uri* uri = evhttp_request_get_evhttp_uri(request);
    if (uri == nullptr || evhttp_uri_get_path(uri) == nullptr) {
        return std::nullopt;
    }
    ControlRequest out;
    out.method = MethodName(evhttp_request_get_command(request));
    if (!DecodePath(evhttp_uri_get_path(uri), out.path)) {
        return std::nullopt;
    }
    if (const char* query = evhttp_uri_get_query(uri);
        query != nullptr && !ReadQuery(query, out.query)) {
        return std::nullopt;
    }
    evbuffer* input = evhttp_request_get_input_buffer(request);
    out.body.resize(evbuffer_get_length(input));
    evbuffer_copyout(input, out.body.data(), out.body.size());
    return out;
}

std::string EventFrame(const std::string& type, const nlohmann::json& data, std::uint64_t id = 0) {
    return (id != 0 ? "id: " + std::to_string(id) + "\n" : std::string()) + "event: " + type +
           "\ndata: " + data.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) +
           "\n\n";
}

// Now in ISO 8601, UTC, to the millisecond: "2026-12-10T16:40:05.123Z".
std::string UtcNow() {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    tm parts{};
    ::gmtime_r(&now.tv_sec, &parts);
    char text[40];
    std::size_t length = std::strftime(text, sizeof(text), "%Y-%m-%dT%H:%M:%S", &parts);
    std::snprintf(text + length, sizeof(text) - length, ".%03dZ",
                  static_cast<int>(now.tv_nsec / 1000000));
    return text;
}

const char* kSessionCookie = "wk_session";

}  // namespace

std::optional<ControlRequest> ControlRequestOf(std::string method, std::string_view target,
                                               std::string body) {
    const std::size_t mark = std::min(target.find('?'), target.size());
    ControlRequest out;
    out.method = std::move(method);
    if (!DecodePath(std::string(target.substr(0, mark)).c_str(), out.path) ||
        !ReadQuery(target.substr(std::min(mark + 1, target.size())), out.query)) {
        return std::nullopt;
    }
    out.body = std::move(body);
    return out;
}

ControlServer::Loop::~Loop() {
    // No result arrives after this; an import in progress is finished first.
    passwords.reset();
    imports.reset();
    DetachAll();
    for (evhttp* server : {http, metrics_http, remote_http}) {
        if (server != nullptr) {
            evhttp_free(server);
        }
    }
    // Freed streams end in finalizers the loop runs (a TLS stream's SSL with them); one
    // more turn runs those the servers' frees just scheduled.
    if (base != nullptr) {
        event_base_loop(base, EVLOOP_NONBLOCK);
    }
    lingering.reset();
    for (event* timer :
         {wake, stop, keepalive, token_check, reload, work_done, stats, peers_summary}) {
        if (timer != nullptr) {
            event_free(timer);
        }
    }
    if (options.tokens != nullptr) {
        options.tokens->SaveLastUses();
    }
    if (base != nullptr) {
        event_base_free(base);
    }
    if (socket_fd >= 0) {
        ::close(socket_fd);
    }
    if (socket_bound) {
        ::unlink(options.socket_path.c_str());
    }
}

evhttp* ControlServer::Loop::NewServer(Door door) {
    evhttp* server = evhttp_new(base);
    if (server == nullptr) {
        return nullptr;
    }
    evhttp_set_timeout(server, options.idle_timeout_seconds);
    evhttp_set_max_body_size(server, static_cast<ev_ssize_t>(options.max_body_bytes));
    evhttp_set_max_headers_size(server, 16 * 1024);
    // Every method reaches the router, which answers the ones a resource does not take.
    evhttp_set_allowed_methods(server, EVHTTP_REQ_GET | EVHTTP_REQ_POST | EVHTTP_REQ_HEAD |
                                           EVHTTP_REQ_PUT | EVHTTP_REQ_DELETE | EVHTTP_REQ_OPTIONS |
                                           EVHTTP_REQ_TRACE | EVHTTP_REQ_CONNECT |
                                           EVHTTP_REQ_PATCH);
    switch (door) {
        case Door::kSocket:
            evhttp_set_bevcb(server, OnNewStream, &socket_arguments);
            evhttp_set_gencb(server, OnRequest, this);
            break;
        case Door::kMetrics:
            evhttp_set_bevcb(server, OnNewStream, &metrics_arguments);
            evhttp_set_gencb(server, OnMetricsRequest, this);
            break;
        case Door::kRemote:
            evhttp_set_bevcb(server, OnNewStream, &remote_arguments);
            evhttp_set_gencb(server, OnRemoteRequest, this);
            break;
    }
    return server;
}

bool ControlServer::Loop::Open(std::string& error) {
    evthread_use_pthreads();
    base = event_base_new();
    if (base != nullptr) {
        lingering = std::make_unique<LingeringClose>(base);
    }
    http = base ? NewServer(Door::kSocket) : nullptr;
    if (http == nullptr) {
        error = "cannot create the control server's event loop";
        return false;
    }
    socket_fd = BindControlSocket(options.socket_path, error, options.socket_group);
    if (socket_fd < 0) {
        return false;
    }
    socket_bound = true;
    if (evhttp_accept_socket(http, socket_fd) != 0) {
        error = "cannot accept on " + options.socket_path.string();
        return false;
    }
    socket_fd = -1;  // the server closes it with itself
    wake = event_new(base, -1, 0, OnLoopEvent<&ControlServer::Loop::DrainOutgoing>, this);
    stop = event_new(base, -1, 0, OnStop, this);
    reload = event_new(base, -1, 0, OnReload, this);
    work_done = event_new(base, -1, 0, OnLoopEvent<&ControlServer::Loop::FinishWorkerJobs>, this);
    keepalive =
        event_new(base, -1, EV_PERSIST, OnLoopEvent<&ControlServer::Loop::SendKeepalive>, this);
    timeval period{options.event_keepalive_seconds, 0};
    event_add(keepalive, &period);
    peers_summary =
        event_new(base, -1, EV_PERSIST, OnLoopEvent<&ControlServer::Loop::SendPeersSummary>, this);
    timeval second{1, 0};
    event_add(peers_summary, &second);
    return OpenMetrics(error) && ConfigureRemote(options, error);
}

bool ControlServer::Loop::OpenMetrics(std::string& error) {
    if (options.metrics_address.empty()) {
        return true;
    }
    std::size_t colon = options.metrics_address.rfind(':');
    std::string host_text = options.metrics_address.substr(0, colon);
    int port = -1;
    if (colon != std::string::npos) {
        try {
            std::size_t used = 0;
            port = std::stoi(options.metrics_address.substr(colon + 1), &used);
            if (used != options.metrics_address.size() - colon - 1) {
                port = -1;
            }
        } catch (const std::exception&) {
            port = -1;
        }
    }
    if (colon == std::string::npos || host_text.empty() || port < 0 || port > 0xFFFF) {
        error = "metrics_address " + options.metrics_address + " is not HOST:PORT";
        return false;
    }
    metrics_http = NewServer(Door::kMetrics);
    evhttp_set_max_body_size(metrics_http, 0);
    evhttp_bound_socket* bound = evhttp_bind_socket_with_handle(metrics_http, host_text.c_str(),
                                                                static_cast<ev_uint16_t>(port));
    if (bound == nullptr) {
        error = "cannot listen for metrics on " + options.metrics_address;
        return false;
    }
    sockaddr_storage address{};
    socklen_t size = sizeof(address);
    if (::getsockname(evhttp_bound_socket_get_fd(bound), reinterpret_cast<sockaddr*>(&address),
                      &size) == 0 &&
        address.ss_family == AF_INET) {
        metrics_port = ntohs(reinterpret_cast<sockaddr_in*>(&address)->sin_port);
    }
    return true;
}

// The TCP listener's settings, at start and at each reload: its addresses, certificate,
// client cap, accepted Host names, trusted proxies and tokens. Checked whole before any is
// taken, so that settings that cannot be applied leave the running ones as they were.
bool ControlServer::Loop::ConfigureRemote(const ControlServerOptions& wanted, std::string& error) {
    if (wanted.remote_addresses.empty() && remote_http == nullptr) {
        return true;
    }
    if (!wanted.remote_addresses.empty() && wanted.tls == nullptr) {
        error = "[control] listen needs a TLS certificate";
        return false;
    }
    std::vector<AddressRange> proxies;
    for (const std::string& proxy : wanted.trusted_proxies) {
        std::optional<AddressRange> range = ParseAddressRange(proxy);
        if (!range) {
            error = "[control] trusted_proxies: \"" + proxy + "\" is not an address or CIDR block";
            return false;
        }
        proxies.push_back(*range);
    }
    if (remote_http == nullptr) {
        remote_http = NewServer(Door::kRemote);
        token_check = event_new(base, -1, EV_PERSIST,
                                OnLoopEvent<&ControlServer::Loop::CheckStreamTokens>, this);
        timeval period{options.token_check_seconds, 0};
        event_add(token_check, &period);
        if (options.users == nullptr) {
            options.users = wanted.users;
        }
        if (options.users != nullptr) {
            StartPasswordWorker();
        }
        stats = event_new(base, -1, EV_PERSIST, OnStats, this);
        timeval second{1, 0};
        event_add(stats, &second);
    }
    if (!listeners.Apply(remote_http, wanted.remote_addresses, error)) {
        return false;
    }
    if (wanted.tls != nullptr) {
        // Connections made from now on present it; open ones keep the one they shook hands with.
        options.tls = wanted.tls;
    }
    if (options.tokens == nullptr) {
        options.tokens = wanted.tokens;
    }
    options.max_remote_clients = wanted.max_remote_clients;
    options.browse_roots = wanted.browse_roots;
    trusted = std::move(proxies);
    host_names = wanted.allowed_hosts;
    host_names.push_back("localhost");
    char name[256] = {};
    if (::gethostname(name, sizeof(name) - 1) == 0 && name[0] != '\0') {
        host_names.push_back(name);
    }
    // Learns which tokens and users exist now, so that the next looks report only changes.
    PublishStoreChanges();
    std::lock_guard<std::mutex> lock(bound_mutex);
    remote_bound = listeners.bound();
    return true;
}

void ControlServer::Loop::StartPasswordWorker() {
    if (passwords != nullptr) {
        return;
    }
    InitPasswordHashing();
    passwords = std::make_unique<LoopWorker>([this] { event_active(work_done, 0, 0); },
                                             kMaxPendingPasswordJobs);
}

void ControlServer::Loop::ApplyPendingReload() {
    std::vector<RemoteReload> pending;
    {
        std::lock_guard<std::mutex> lock(mutex);
        pending.swap(pending_reloads);
    }
    for (RemoteReload& reload : pending) {
        RemoteReloadOutcome outcome;
        outcome.before = listeners.bound();
        outcome.fingerprint_before = options.tls ? options.tls->fingerprint() : std::string();
        if (!ConfigureRemote(reload.wanted, outcome.error) && outcome.error.empty()) {
            outcome.error = "[control] listen: the settings cannot be applied";
        }
        outcome.after = listeners.bound();
        outcome.fingerprint_after = options.tls ? options.tls->fingerprint() : std::string();
        if (reload.done) {
            reload.done(outcome);
        }
    }
}

// A new connection: the HTTP server asks for its stream before it knows the connection's
// socket. The record is made here and adopted once the server has wrapped the stream.
bufferevent* ControlServer::Loop::NewStream(Door door) {
    bufferevent* stream = nullptr;
    bool refused = false;
    if (door == Door::kRemote) {
        // TCP clients speak TLS or nothing: plain HTTP fails the handshake and is closed.
        SSL* tls = SSL_new(options.tls->context());
        stream = tls ? bufferevent_openssl_socket_new(base, -1, tls, BUFFEREVENT_SSL_ACCEPTING,
                                                      BEV_OPT_CLOSE_ON_FREE)
                     : nullptr;
        if (stream != nullptr) {
            // A client that closes without TLS's closing message has still closed.
            bufferevent_openssl_set_allow_dirty_shutdown(stream, 1);
        } else if (tls != nullptr) {
            SSL_free(tls);
        }
        refused = stream == nullptr || remote_clients >= options.max_remote_clients;
        ++remote_clients;
    }
    if (stream == nullptr) {
        // The HTTP server would make a plain stream itself; this one is closed on adoption.
        stream = bufferevent_socket_new(base, -1, BEV_OPT_CLOSE_ON_FREE);
        if (stream == nullptr) {
            return nullptr;
        }
    }
    auto connection = std::make_unique<ControlConnection>();
    connection->refused = refused;
    connection->loop = this;
    connection->door = door;
    connection->stream = stream;
    connection->adopt = event_new(base, -1, 0, OnAdopt, connection.get());
    connection->deadline = evtimer_new(base, OnDeadline, connection.get());
    connection->rewrite = event_new(base, -1, 0, OnRewrite, connection.get());
    evbuffer_add_cb(bufferevent_get_output(stream), OnOutput, connection.get());
    evbuffer_add_cb(bufferevent_get_input(stream), OnInput, connection.get());
    // Kept alive until adopted, in case the server gives up on the connection at once.
    bufferevent_incref(stream);
    event_active(connection->adopt, 0, 0);
    connections.emplace(connection.get(), std::move(connection));
    connection_total = connections.size();
    return stream;
}

void ControlServer::Loop::Adopt(ControlConnection& connection) {
    bufferevent_data_cb read_cb = nullptr;
    bufferevent_data_cb write_cb = nullptr;
    bufferevent_event_cb event_cb = nullptr;
    void* owner = nullptr;
    bufferevent_getcb(connection.stream, &read_cb, &write_cb, &event_cb, &owner);
    bufferevent_decref(connection.stream);
    if (owner == nullptr) {  // the server freed the stream already
        connection.stream = nullptr;
        Forget(connection);
        return;
    }
    connection.http = static_cast<evhttp_connection*>(owner);
    by_http[connection.http] = &connection;
    evhttp_connection_set_closecb(connection.http, OnConnectionClosed, &connection);
    if (connection.refused) {
        evhttp_connection_free(connection.http);  // forgets it through the close callback
        return;
    }
    if (connection.door == Door::kRemote) {
        // TLS writes an answer as several records; waiting for the client's delayed
        // acknowledgement between them would cost 40 ms a request.
        int on = 1;
        ::setsockopt(bufferevent_getfd(connection.stream), IPPROTO_TCP, TCP_NODELAY, &on,
                     sizeof(on));
    }
    // Also the deadline of a TLS handshake, which comes before the first request.
    StartDeadline(connection, options.request_deadline_seconds);
    NoteInput(connection);  // a request that came before the adoption
}

void ControlServer::Loop::Forget(ControlConnection& connection) {
    if (connection.stream_request != nullptr) {
        Unsubscribe(connection);
    }
    // A request held for a worker whose connection failed is ours to free.
    const auto let_go = [](auto& pending) {
        if (evhttp_request_get_connection(pending.request) == nullptr) {
            evhttp_send_reply(pending.request, 500, nullptr, nullptr);
        }
        pending.connection = nullptr;
        pending.request = nullptr;
    };
    if (auto login = logins.find(connection.worker_job); login != logins.end()) {
        let_go(login->second);
    }
    if (auto waiting = held.find(connection.worker_job); waiting != held.end()) {
        let_go(waiting->second);
    }
    EndLargeBody(connection);
    // A body too large was refused before it was read: the client may still be sending it.
    if (connection.rewrite_status == 413 && connection.stream != nullptr && lingering) {
        lingering->Linger(bufferevent_getfd(connection.stream));
    }
    if (connection.stream != nullptr) {
        evbuffer_remove_cb(bufferevent_get_output(connection.stream), OnOutput, &connection);
        evbuffer_remove_cb(bufferevent_get_input(connection.stream), OnInput, &connection);
    }
    event_free(connection.adopt);
    event_free(connection.deadline);
    event_free(connection.rewrite);
    if (connection.http != nullptr) {
        by_http.erase(connection.http);
    }
    if (connection.door == Door::kRemote) {
        --remote_clients;
    }
    connections.erase(&connection);
    connection_total = connections.size();
}

namespace {

// "64 KiB", "16 MiB".
std::string SizeText(std::size_t bytes) {
    constexpr std::size_t kMiB = 1024 * 1024;
    return bytes % kMiB == 0 ? std::to_string(bytes / kMiB) + " MiB"
                             : std::to_string(bytes / 1024) + " KiB";
}

}  // namespace

std::string ControlServer::Loop::BodyTooLargeText() const {
    return "the request body is too large: " + SizeText(options.max_body_bytes) +
           " at most, a block-list upload " + SizeText(options.max_upload_body_bytes);
}

// Lets go of every connection before the servers free them: their streams end and no
// callback of ours runs while they go.
void ControlServer::Loop::DetachAll() {
    for (auto& [key, connection] : connections) {
        if (connection->stream_request != nullptr) {
            evhttp_send_reply_end(connection->stream_request);
            connection->stream_request = nullptr;
        }
        if (connection->http != nullptr) {
            evhttp_connection_set_closecb(connection->http, nullptr, nullptr);
        }
        if (connection->stream != nullptr) {
            evbuffer_remove_cb(bufferevent_get_output(connection->stream), OnOutput,
                               connection.get());
            evbuffer_remove_cb(bufferevent_get_input(connection->stream), OnInput,
                               connection.get());
            if (connection->http == nullptr) {
                bufferevent_decref(connection->stream);  // not adopted yet: our reference
            }
        }
        event_free(connection->adopt);
        event_free(connection->deadline);
        event_free(connection->rewrite);
    }
    connections.clear();
    by_http.clear();
    subscribers.clear();
}

void ControlServer::Loop::StartDeadline(ControlConnection& connection, int seconds) {
    timeval limit{seconds, 0};
    evtimer_add(connection.deadline, &limit);
}

// The HTTP server answers some requests itself, before they reach us (a malformed or
// oversized header, an oversized body) and with an HTML page. Its answer is noticed here,
// when it starts to fill the output while no request of ours is being answered, and
// replaced before it is sent, so that every answer of the interface is JSON.
void ControlServer::Loop::NoteOutput(ControlConnection& connection, evbuffer* output,
                                     const evbuffer_cb_info& info) {
    if (info.n_added == 0 || connection.answering || connection.rewriting) {
        return;
    }
    char status_line[16] = {};
    evbuffer_ptr start;
    if (evbuffer_ptr_set(output, &start, info.orig_size, EVBUFFER_PTR_SET) != 0 ||
        evbuffer_copyout_from(output, &start, status_line, sizeof(status_line) - 1) < 12) {
        return;
    }
    int status = std::atoi(status_line + 9);  // "HTTP/1.1 NNN"
    if (status == 100) {
        return;  // the go-ahead for a body, not an answer
    }
    connection.rewriting = true;
    connection.rewrite_from = info.orig_size;
    connection.rewrite_status = status;
    // Replaced on the next turn of the loop, once the server has written all of it; the
    // socket is written only after that.
    event_active(connection.rewrite, 0, 0);
}

// The HTTP server checks a body's size as it reads it, against its connection's limit, before
// the request reaches us. A block-list upload needs more than other requests: when a request
// line starts the unread input and names the upload, that connection's limit is raised until
// the request has been read whole. Bytes that only look like it (inside another body) raise
// it too, which costs no more than a real upload, and Handle still holds every other path to
// max_body_bytes.
void ControlServer::Loop::NoteInput(ControlConnection& connection) {
    if (connection.answering || connection.large_body || connection.http == nullptr ||
        connection.door == Door::kMetrics || large_bodies >= kMaxLargeBodies) {
        return;
    }
    evbuffer* input = bufferevent_get_input(connection.stream);
    char start[kUploadRequestLine.size() + 1] = {};
    if (evbuffer_copyout(input, start, sizeof(start)) != static_cast<ev_ssize_t>(sizeof(start)) ||
        std::string_view(start, kUploadRequestLine.size()) != kUploadRequestLine ||
        (start[kUploadRequestLine.size()] != ' ' && start[kUploadRequestLine.size()] != '?')) {
        return;
    }
    evhttp_connection_set_max_body_size(connection.http,
                                        static_cast<ev_ssize_t>(options.max_upload_body_bytes));
    connection.large_body = true;
    ++large_bodies;
}

void ControlServer::Loop::EndLargeBody(ControlConnection& connection) {
    if (!connection.large_body) {
        return;
    }
    connection.large_body = false;
    --large_bodies;
    if (connection.http != nullptr) {
        evhttp_connection_set_max_body_size(connection.http,
                                            static_cast<ev_ssize_t>(options.max_body_bytes));
    }
}

void ControlServer::Loop::RewriteServerError(ControlConnection& connection) {
    evbuffer* output = bufferevent_get_output(connection.stream);
    evbuffer* kept = evbuffer_new();
    evbuffer_remove_buffer(output, kept, connection.rewrite_from);
    evbuffer_drain(output, evbuffer_get_length(output));
    evbuffer_add_buffer(output, kept);
    evbuffer_free(kept);
    ControlResponse response = ErrorResponse(connection.rewrite_status,
                                             connection.rewrite_status == 413
                                                 ? BodyTooLargeText()
                                                 : ServerRefusalText(connection.rewrite_status));
    evbuffer_add_printf(output,
                        "HTTP/1.1 %d %s\r\nContent-Type: application/json\r\n"
                        "Content-Length: %zu\r\nConnection: close\r\n\r\n",
                        connection.rewrite_status, ReasonPhrase(connection.rewrite_status),
                        response.body.size());
    evbuffer_add(output, response.body.data(), response.body.size());
}

void ControlServer::Loop::Answer(ControlConnection& connection, evhttp_request* request,
                                 const ControlResponse& response, bool close_after) {
    evkeyvalq* headers = evhttp_request_get_output_headers(request);
    evhttp_add_header(headers, "Content-Type", response.content_type.c_str());
    for (const auto& [name, value] : response.headers) {
        evhttp_add_header(headers, name.c_str(), value.c_str());
    }
    if (close_after) {
        evhttp_add_header(headers, "Connection", "close");
    }
    evhttp_request_set_on_complete_cb(request, OnAnswerSent, &connection);
    evbuffer* body = evbuffer_new();
    if (evhttp_request_get_command(request) == EVHTTP_REQ_HEAD) {
        // The length the body would have, without the body.
        evhttp_add_header(headers, "Content-Length", std::to_string(response.body.size()).c_str());
    } else {
        evbuffer_add(body, response.body.data(), response.body.size());
    }
    evhttp_send_reply(request, response.status, nullptr, body);
    evbuffer_free(body);
}

void ControlServer::Loop::Handle(evhttp_request* request, Door door) {
    auto found = by_http.find(evhttp_request_get_connection(request));
    if (found == by_http.end()) {  // cannot happen: every connection is adopted first
        evhttp_send_error(request, 500, nullptr);
        return;
    }
    ControlConnection& connection = *found->second;
    connection.answering = true;
    evtimer_del(connection.deadline);
    EndLargeBody(connection);  // this request has been read whole

    if (std::string problem = FramingProblem(request); !problem.empty()) {
        // The rest of the bytes cannot be told apart from a next request: close after.
        Answer(connection, request, ErrorResponse(400, problem), true);
        return;
    }
    std::optional<ControlRequest> parsed = ReadRequest(request);
    if (!parsed) {
        Answer(connection, request, ErrorResponse(400, "the request target cannot be decoded"));
        return;
    }
    const bool upload = parsed->method == "POST" && parsed->path == "/actions/ipfilter-import";
    if (!upload && parsed->body.size() > options.max_body_bytes) {
        Answer(connection, request, ErrorResponse(413, BodyTooLargeText()));
        return;
    }
    // HEAD is GET without the body; the server leaves the body out.
    if (parsed->method == "HEAD" && parsed->path != "/events") {
        parsed->method = "GET";
    }
    if (door == Door::kMetrics && parsed->path != "/metrics" && parsed->path != "/livez" &&
        parsed->path != "/readyz") {
        Answer(connection, request,
               ErrorResponse(404, "only /metrics, /livez and /readyz are served here"));
        return;
    }
    if (door == Door::kRemote && HandleRemote(connection, request, *parsed)) {
        return;
    }
    if (IsAccountPath(parsed->path)) {
        HandleAccountChange(connection, request, *parsed);
        return;
    }
    if (parsed->path == "/events") {
        if (parsed->method != "GET") {
            Answer(connection, request, ErrorResponse(405, "use GET on /events"));
        } else {
            Subscribe(connection, request);
        }
        return;
    }
    if (parsed->path == "/browse") {
        Answer(connection, request, BrowseFolders(options.browse_roots, *parsed));
        return;
    }
    if (upload) {
        HandleImport(connection, request, std::move(*parsed));
        return;
    }
    ControlResponse response = HandleControlRequest(host, *parsed);
    if (parsed->path == "/metrics" && response.status == 200) {
        response.body += AccessMetrics();
    }
    if (parsed->path == "/status" && response.status == 200 && !listeners.empty()) {
        AddRemoteStatus(response);
    }
    Answer(connection, request, response);
}

namespace {

// The token of "Authorization: Bearer TOKEN"; empty for any other header or none.
std::string BearerToken(const char* authorization) {
    if (authorization == nullptr || ::strncasecmp(authorization, "Bearer ", 7) != 0) {
        return "";
    }
    std::string token = authorization + 7;
    std::size_t first = token.find_first_not_of(' ');
    return first == std::string::npos ? "" : token.substr(first);
}

ControlResponse Unauthorized(const std::string& message, bool token_given) {
    ControlResponse response = ErrorResponse(401, message);
    response.headers.emplace_back(
        "WWW-Authenticate", token_given ? "Bearer realm=\"wharfkeepd\", error=\"invalid_token\""
                                        : "Bearer realm=\"wharfkeepd\"");
    return response;
}

}  // namespace

// Who is asking, from where, and may they: the Host check, the ban of addresses that fail
// too often, then the console's files (open to all), the login, and a token or a session
// with its scope. True when the request has been answered here (or will be, for a login);
// false when it may go on to the resources.
bool ControlServer::Loop::HandleRemote(ControlConnection& connection, evhttp_request* request,
                                       const ControlRequest& parsed) {
    evkeyvalq* headers = evhttp_request_get_input_headers(request);
    char* peer = nullptr;
    ev_uint16_t peer_port = 0;
    evhttp_connection_get_peer(connection.http, &peer, &peer_port);
    const char* forwarded_for = evhttp_find_header(headers, "X-Forwarded-For");
    std::string client =
        ClientAddress(peer != nullptr ? peer : "", forwarded_for ? forwarded_for : "", trusted);
    auto refuse = [&](const ControlResponse& response) {
        Answer(connection, request, response);
        return true;
    };

    const char* host_header = evhttp_find_header(headers, "Host");
    if (host_header == nullptr || !HostAllowed(host_header, host_names)) {
        return refuse(ErrorResponse(421,
                                    "the Host header is neither an address nor a name of this "
                                    "server; list the name in [control] allowed_hosts"));
    }
    const std::int64_t now = ::time(nullptr);
    if (int left = bans.BannedFor(client, now); left > 0) {
        ControlResponse response =
            ErrorResponse(429, "too many failed authentications from " + client +
                                   "; try again in " + std::to_string(left) + " s");
        response.headers.emplace_back("Retry-After", std::to_string(left));
        return refuse(response);
    }
    if (IsAssetRequest(parsed.path)) {
        const char* tag = evhttp_find_header(headers, "If-None-Match");
        return refuse(AssetResponse(parsed.method, parsed.path, tag ? tag : ""));
    }
    for (const char* name : {"token", "access_token", "api_key", "key"}) {
        if (parsed.query.count(name) > 0) {
            return refuse(ErrorResponse(400,
                                        "a token is taken only from the Authorization header, "
                                        "never from the address, where logs keep it"));
        }
    }
    // A page of another site may make the browser send a request here, with the cookie;
    // the browser names that site in Origin, which a page cannot forge.
    const char* origin = evhttp_find_header(headers, "Origin");
    const bool foreign = origin != nullptr && !SameOrigin(origin, host_header);
    if (parsed.path == "/login") {
        if (parsed.method != "POST") {
            return refuse(WrongMethod(parsed, "POST"));
        }
        if (foreign) {
            return refuse(ErrorResponse(
                403, "the request comes from another site (" + std::string(origin) + ")"));
        }
        ControlResponse response = StartLogin(connection, request, parsed, client);
        return response.status == 0 || refuse(response);
    }
    std::string token = BearerToken(evhttp_find_header(headers, "Authorization"));
    if (!token.empty()) {
        std::optional<ControlResponse> refusal = CheckToken(connection, token, client, parsed);
        return refusal && refuse(*refusal);
    }
    const char* cookies = evhttp_find_header(headers, "Cookie");
    std::string session_id = cookies ? CookieValue(cookies, kSessionCookie) : "";
    if (!session_id.empty() || parsed.path == "/session" || parsed.path == "/logout") {
        if (foreign) {
            return refuse(ErrorResponse(
                403, "the request comes from another site (" + std::string(origin) + ")"));
        }
        std::optional<ControlResponse> answer = CheckSession(connection, request, parsed);
        return answer && refuse(*answer);
    }
    return refuse(
        Unauthorized("log in, or send \"Authorization: Bearer TOKEN\"; make a token "
                     "with: wharfkeepd token create NAME --scope read|operate|admin",
                     false));
}

std::optional<ControlResponse> ControlServer::Loop::CheckToken(ControlConnection& connection,
                                                               const std::string& token,
                                                               const std::string& client,
                                                               const ControlRequest& parsed) {
    const std::int64_t now = ::time(nullptr);
    std::optional<TokenRecord> record =
        options.tokens ? options.tokens->Verify(token, now) : std::nullopt;
    if (!record) {
        if (bans.Fail(client, now)) {
            ControlEvent banned{kEventControlBanned};
            banned.address = client;
            banned.reason = "10 failed authentications within 60 s; banned for 10 minutes";
            Publish(banned);
        }
        return Unauthorized("the token is not known; it may have been revoked", true);
    }
    Scope needed = RequiredScope(parsed.method, parsed.path);
    if (record->scope < needed) {
        return ErrorResponse(403, "the token " + record->name + " has the scope " +
                                      ScopeName(record->scope) + "; " + parsed.method + " " +
                                      parsed.path + " needs " + ScopeName(needed));
    }
    connection.token_sha256 = record->sha256;
    return std::nullopt;
}

// The session named by the cookie when it is live and its user still has the password it
// logged in with; a session whose user was removed or given a new password ends here.
WebSession* ControlServer::Loop::LiveSession(const std::string& id, std::int64_t now, bool touch) {
    if (id.empty()) {
        return nullptr;
    }
    WebSession* session = touch ? sessions.Touch(id, now) : sessions.Find(id, now);
    if (session == nullptr) {
        return nullptr;
    }
    std::optional<UserRecord> user =
        options.users ? options.users->Find(session->user) : std::nullopt;
    if (!user || user->password_hash != session->password_hash) {
        sessions.Close(id);
        return nullptr;
    }
    session->scope = user->scope;
    return session;
}

namespace {

std::string CookieHeader(const std::string& value, bool clear) {
    return std::string(kSessionCookie) + "=" + value +
           "; Path=/; HttpOnly; Secure; SameSite=Strict" + (clear ? "; Max-Age=0" : "");
}

ControlResponse SessionAnswer(const WebSession& session) {
    nlohmann::json body{
        {"user", session.user}, {"scope", ScopeName(session.scope)}, {"csrf", session.csrf}};
    return ControlResponse{200, "application/json", body.dump() + "\n"};
}

}  // namespace

// A request with the console's session cookie, and /session and /logout: the answer when
// the request ends here (refused, or one of those two), nothing when it may go on.
std::optional<ControlResponse> ControlServer::Loop::CheckSession(ControlConnection& connection,
                                                                 evhttp_request* request,
                                                                 const ControlRequest& parsed) {
    evkeyvalq* headers = evhttp_request_get_input_headers(request);
    const char* cookies = evhttp_find_header(headers, "Cookie");
    std::string id = cookies ? CookieValue(cookies, kSessionCookie) : "";
    WebSession* session = LiveSession(id, ::time(nullptr), true);
    if (session == nullptr) {
        if (parsed.path == "/logout" && parsed.method == "POST") {
            ControlResponse response{200, "application/json", "{}\n"};
            response.headers.emplace_back("Set-Cookie", CookieHeader("", true));
            return response;
        }
        // Not counted as a failed authentication: a console left open past its session's
        // end retries by itself.
        ControlResponse response = ErrorResponse(401, "not logged in, or the session has ended");
        if (!id.empty()) {
            response.headers.emplace_back("Set-Cookie", CookieHeader("", true));
        }
        return response;
    }
    const bool changes = parsed.method != "GET" && parsed.method != "HEAD";
    if (changes) {
        const char* csrf = evhttp_find_header(headers, "X-CSRF-Token");
        if (csrf == nullptr || !SecretsEqual(csrf, session->csrf)) {
            return ErrorResponse(403, "missing or wrong CSRF token");
        }
    }
    if (parsed.path == "/session") {
        return parsed.method == "GET" ? SessionAnswer(*session) : WrongMethod(parsed, "GET");
    }
    if (parsed.path == "/logout") {
        if (parsed.method != "POST") {
            return WrongMethod(parsed, "POST");
        }
        sessions.Close(id);
        ControlResponse response{200, "application/json", "{}\n"};
        response.headers.emplace_back("Set-Cookie", CookieHeader("", true));
        return response;
    }
    Scope needed = RequiredScope(parsed.method, parsed.path);
    if (session->scope < needed) {
        return ErrorResponse(403, "the user " + session->user + " has the scope " +
                                      ScopeName(session->scope) + "; " + parsed.method + " " +
                                      parsed.path + " needs " + ScopeName(needed));
    }
    connection.session_id = id;
    return std::nullopt;
}

// Checks the body and queues the password check; the answer comes from FinishLogin. A
// response with status 0 means queued.
ControlResponse ControlServer::Loop::StartLogin(ControlConnection& connection,
                                                evhttp_request* request,
                                                const ControlRequest& parsed,
                                                const std::string& client) {
    if (passwords == nullptr) {
        return ErrorResponse(404, "logins are not configured on this listener");
    }
    nlohmann::json body = nlohmann::json::parse(parsed.body, nullptr, false);
    if (!body.is_object() || !body.value("user", nlohmann::json()).is_string() ||
        !body.value("password", nlohmann::json()).is_string()) {
        return ErrorResponse(400, "send {\"user\":\"NAME\",\"password\":\"PASSWORD\"}");
    }
    std::string name = body["user"].get<std::string>();
    std::optional<UserRecord> user = options.users->Find(name);
    std::uint64_t id = next_worker_job++;
    if (!passwords->SubmitCheck(id, user ? user->password_hash : "",
                                body["password"].get<std::string>())) {
        ControlResponse busy = ErrorResponse(503, "too many logins at once; try again");
        busy.headers.emplace_back("Retry-After", "1");
        return busy;
    }
    logins[id] = PendingLogin{&connection, request, client, std::move(user)};
    connection.worker_job = id;
    ControlResponse queued;
    queued.status = 0;
    return queued;
}

// The tokens and users as resources: answered here, or held while the password worker
// hashes a new password. Changes are reported on the event stream at once.
void ControlServer::Loop::HandleAccountChange(ControlConnection& connection,
                                              evhttp_request* request,
                                              const ControlRequest& parsed) {
    AccountAnswer answer = HandleAccountRequest(options.tokens, options.users, parsed);
    if (answer.response) {
        Answer(connection, request, *answer.response);
        if (parsed.method != "GET") {
            PublishStoreChanges();
        }
        return;
    }
    StartPasswordWorker();
    const std::uint64_t id = next_worker_job++;
    if (!passwords->SubmitChange(id, std::move(answer.password), std::move(answer.change))) {
        ControlResponse busy = ErrorResponse(503, "too many password changes at once; try again");
        busy.headers.emplace_back("Retry-After", "1");
        Answer(connection, request, busy);
        return;
    }
    held[id] = HeldRequest{&connection, request};
    connection.worker_job = id;
}

// A block list of a few MiB takes seconds to parse and store: the import runs on its worker
// and the request waits there, while the loop goes on answering everyone else.
void ControlServer::Loop::HandleImport(ControlConnection& connection, evhttp_request* request,
                                       ControlRequest parsed) {
    if (imports == nullptr) {
        imports = std::make_unique<LoopWorker>([this] { event_active(work_done, 0, 0); },
                                               kMaxLargeBodies);
    }
    const std::uint64_t id = next_worker_job++;
    ControlHost& target = host;
    auto run = [&target, parsed = std::move(parsed)] {
        return HandleControlRequest(target, parsed);
    };
    if (!imports->SubmitTask(id, std::move(run))) {
        ControlResponse busy =
            ErrorResponse(503, "other block lists are being imported; try again");
        busy.headers.emplace_back("Retry-After", "5");
        Answer(connection, request, busy);
        return;
    }
    held[id] = HeldRequest{&connection, request};
    connection.worker_job = id;
}

void ControlServer::Loop::FinishWorkerJobs() {
    if (passwords != nullptr) {
        for (LoopResult& result : passwords->TakeResults()) {
            if (logins.count(result.id) > 0) {
                FinishLogin(result.id, result.matches);
            } else {
                PublishStoreChanges();
                FinishHeld(result.id, result.answer);
            }
        }
    }
    if (imports != nullptr) {
        for (LoopResult& result : imports->TakeResults()) {
            FinishHeld(result.id, result.answer);
        }
    }
}

// Answers the request held for a worker's job, when its client is still there.
void ControlServer::Loop::FinishHeld(std::uint64_t id, const ControlResponse& answer) {
    auto found = held.find(id);
    if (found == held.end()) {
        return;
    }
    HeldRequest waiting = found->second;
    held.erase(found);
    if (waiting.connection != nullptr) {
        waiting.connection->worker_job = 0;
        Answer(*waiting.connection, waiting.request, answer);
    }
}

void ControlServer::Loop::FinishLogin(std::uint64_t id, bool matches) {
    auto found = logins.find(id);
    PendingLogin login = std::move(found->second);
    logins.erase(found);
    const std::int64_t now = ::time(nullptr);
    if (!matches || !login.user) {
        if (bans.Fail(login.client, now)) {
            ControlEvent banned{kEventControlBanned};
            banned.address = login.client;
            banned.reason = "10 failed authentications within 60 s; banned for 10 minutes";
            Publish(banned);
        }
    }
    if (login.connection == nullptr) {
        return;  // the client has gone
    }
    login.connection->worker_job = 0;
    if (!matches || !login.user) {
        Answer(*login.connection, login.request, ErrorResponse(401, "wrong user name or password"));
        return;
    }
    std::string session_id =
        sessions.Open(login.user->name, login.user->scope, login.user->password_hash, now);
    ControlResponse response = SessionAnswer(*sessions.Find(session_id, now));
    response.headers.emplace_back("Set-Cookie", CookieHeader(session_id, false));
    response.headers.emplace_back("Cache-Control", "no-store");
    Answer(*login.connection, login.request, response);
}

// Event streams opened with a token that has since been revoked are closed; and now and
// then the tokens' last uses are written down.
void ControlServer::Loop::CheckStreamTokens() {
    // An open event stream is a console in use: it keeps its session from going idle.
    const std::int64_t now = ::time(nullptr);
    std::vector<ControlConnection*> current(subscribers.begin(), subscribers.end());
    for (ControlConnection* connection : current) {
        bool ended = !connection->token_sha256.empty()
                         ? !options.tokens->StillValid(connection->token_sha256)
                         : !connection->session_id.empty() &&
                               LiveSession(connection->session_id, now, true) == nullptr;
        if (ended) {
            evhttp_connection_free(connection->http);  // forgets it through the close callback
        }
    }
    if (++token_checks % 60 == 0 && options.tokens != nullptr) {
        options.tokens->SaveLastUses();
    }
    PublishStoreChanges();
}

// Tokens and users made or dropped by wharfkeepd's commands (or any other writer of their
// files) since the last look.
void ControlServer::Loop::PublishStoreChanges() {
    const auto publish = [this](const std::vector<StoreChange>& changes, const char* added,
                                const char* removed) {
        for (const StoreChange& change : changes) {
            ControlEvent event{change.added ? added : removed};
            event.name = change.name;
            event.scope = ScopeName(change.scope);
            Publish(event);
        }
    };
    if (options.tokens != nullptr) {
        publish(options.tokens->TakeChanges(), kEventTokenCreated, kEventTokenRevoked);
    }
    if (options.users != nullptr) {
        publish(options.users->TakeChanges(), kEventUserAdded, kEventUserRemoved);
    }
}

// The TCP listener's addresses and certificate fingerprint, for `wharfkeepd status` and
// for clients that pin the certificate.
void ControlServer::Loop::AddRemoteStatus(ControlResponse& response) const {
    nlohmann::json status = nlohmann::json::parse(response.body, nullptr, false);
    if (!status.is_object()) {
        return;
    }
    nlohmann::json addresses = nlohmann::json::array();
    for (const ListenAddress& address : listeners.bound()) {
        addresses.push_back(address.Text());
    }
    status["remote_control"] = {{"listen", addresses},
                                {"tls_fingerprint", options.tls->fingerprint()},
                                {"auth_failures", bans.failures()},
                                {"bans", bans.bans()}};
    response.body = status.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

std::string ControlServer::Loop::AccessMetrics() const {
    if (remote_http == nullptr) {
        return "";
    }
    return "# HELP wharfkeep_control_auth_failures_total Requests on the TCP control listener "
           "with an unknown token.\n"
           "# TYPE wharfkeep_control_auth_failures_total counter\n"
           "wharfkeep_control_auth_failures_total " +
           std::to_string(bans.failures()) +
           "\n# HELP wharfkeep_control_bans_total Addresses banned from the TCP control "
           "listener for failed authentications.\n"
           "# TYPE wharfkeep_control_bans_total counter\n"
           "wharfkeep_control_bans_total " +
           std::to_string(bans.bans()) + "\n";
}

void ControlServer::Loop::Subscribe(ControlConnection& connection, evhttp_request* request) {
    evkeyvalq* headers = evhttp_request_get_output_headers(request);
    evhttp_add_header(headers, "Content-Type", "text/event-stream");
    evhttp_add_header(headers, "Cache-Control", "no-cache");
    // The stream ends only by closing; its connection takes no further request.
    evhttp_add_header(headers, "Connection", "close");
    evhttp_send_reply_start(request, 200, "OK");
    connection.stream_request = request;
    connection.backlog = std::make_unique<EventQueue>(options.event_backlog_bytes);
    subscribers.insert(&connection);
    subscriber_total = subscribers.size();
    // Tells the client it is subscribed: events published from now on reach it.
    static const SharedFrame hello = std::make_shared<const std::string>(": subscribed\n\n");
    connection.backlog->Push(hello);
    // A client that reconnects names the last event it saw; those after it that are still
    // kept come first. Events still queued for this thread follow through Deliver.
    const char* last_seen =
        evhttp_find_header(evhttp_request_get_input_headers(request), "Last-Event-ID");
    std::uint64_t last = 0;
    if (last_seen != nullptr &&
        std::from_chars(last_seen, last_seen + std::strlen(last_seen), last).ec == std::errc()) {
        if (!CanResumeAfter(last)) {
            static const SharedFrame missed = std::make_shared<const std::string>(EventFrame(
                "missed", {{"type", "missed"},
                           {"reason", "events after the last one seen are no longer kept"}}));
            connection.backlog->Push(missed);
        }
        auto after =
            std::upper_bound(recent.begin(), recent.end(), last,
                             [](std::uint64_t id, const auto& entry) { return id < entry.first; });
        for (; after != recent.end(); ++after) {
            if (!connection.backlog->Push(after->second)) {
                Lag(connection, "more events were missed than the subscriber can take at once");
                return;
            }
        }
    }
    Pump(connection);
}

// True when the events after `last` are all still kept: none went out of the kept ones, and
// `last` is not from before a restart (the numbers start again at 1).
bool ControlServer::Loop::CanResumeAfter(std::uint64_t last) const {
    if (recent.empty()) {
        return last == 0;
    }
    return recent.front().first <= last + 1 && last <= recent.back().first;
}

void ControlServer::Loop::Deliver(const SharedFrame& frame) {
    std::vector<ControlConnection*> current(subscribers.begin(), subscribers.end());
    for (ControlConnection* connection : current) {
        if (!connection->backlog->Push(frame)) {
            Lag(*connection, "the subscriber fell behind the events");
        } else {
            Pump(*connection);
        }
    }
}

// Writes the next chunk of a subscriber's backlog once the previous one has left, so that
// at most one chunk per subscriber is copied out of the shared frames.
void ControlServer::Loop::Pump(ControlConnection& connection) {
    if (connection.chunk_in_flight || connection.backlog == nullptr ||
        connection.backlog->empty()) {
        return;
    }
    std::string chunk = connection.backlog->Take(kEventChunkBytes);
    evbuffer* buffer = evbuffer_new();
    evbuffer_add(buffer, chunk.data(), chunk.size());
    connection.chunk_in_flight = true;
    evhttp_send_reply_chunk_with_cb(connection.stream_request, buffer, OnChunkSent, &connection);
    evbuffer_free(buffer);
}

// A subscriber that fell behind is told so, its backlog is let go, and its stream ends; a
// client that still does not read is cut off shortly after. It can subscribe again.
void ControlServer::Loop::Lag(ControlConnection& connection, const std::string& reason) {
    evhttp_request* request = connection.stream_request;
    connection.backlog->Clear();
    subscribers.erase(&connection);
    subscriber_total = subscribers.size();
    connection.stream_request = nullptr;
    connection.backlog.reset();
    std::string notice = EventFrame("lagged", {{"type", "lagged"}, {"reason", reason}});
    evbuffer* buffer = evbuffer_new();
    evbuffer_add(buffer, notice.data(), notice.size());
    evhttp_send_reply_chunk(request, buffer);
    evbuffer_free(buffer);
    evhttp_request_set_on_complete_cb(request, nullptr, nullptr);
    evhttp_send_reply_end(request);
    StartDeadline(connection, kLaggedGraceSeconds);
}

void ControlServer::Loop::Unsubscribe(ControlConnection& connection) {
    evhttp_request* request = connection.stream_request;
    connection.stream_request = nullptr;
    connection.backlog.reset();
    subscribers.erase(&connection);
    subscriber_total = subscribers.size();
    // A request the failed connection has let go of is ours to free; otherwise the
    // connection frees it with itself.
    if (evhttp_request_get_connection(request) == nullptr) {
        evhttp_send_reply_end(request);
    }
}

void ControlServer::Loop::DrainOutgoing() {
    std::deque<std::pair<std::uint64_t, SharedFrame>> frames;
    bool overflowed = false;
    {
        std::lock_guard<std::mutex> lock(mutex);
        frames.swap(outgoing);
        outgoing_bytes = 0;
        overflowed = std::exchange(outgoing_overflowed, false);
    }
    if (overflowed) {
        std::vector<ControlConnection*> current(subscribers.begin(), subscribers.end());
        for (ControlConnection* connection : current) {
            Lag(*connection, "events came faster than the server could pass them on");
        }
    }
    for (auto& [id, frame] : frames) {
        recent.emplace_back(id, frame);
        if (recent.size() > options.recent_events) {
            recent.pop_front();
        }
        Deliver(frame);
    }
}

// Numbers the event and stamps it with the time, and queues it for the server thread. The
// numbers follow the order of the queue, so a client that resumes after a number misses
// nothing and sees nothing twice.
void ControlServer::Loop::Publish(const ControlEvent& event) {
    const bool connected = event.type == kEventPeerConnected;
    if (connected || event.type == kEventPeerLeft) {
        std::lock_guard<std::mutex> lock(mutex);
        if (!peer_events.Admit(connected, std::chrono::steady_clock::now())) {
            return;  // counted in the next peers-summary
        }
    }
    nlohmann::json data = ToJson(event);
    data["time"] = UtcNow();
    {
        std::lock_guard<std::mutex> lock(mutex);
        std::uint64_t id = next_event_id++;
        data["id"] = id;
        auto frame = std::make_shared<const std::string>(EventFrame(event.type, data, id));
        if (outgoing_bytes + frame->size() > kMaxOutgoingBytes) {
            outgoing_overflowed = true;
            std::deque<std::pair<std::uint64_t, SharedFrame>>().swap(outgoing);
            outgoing_bytes = 0;
        }
        outgoing_bytes += frame->size();
        outgoing.emplace_back(id, std::move(frame));
    }
    event_active(wake, 0, 0);
}

// Once a second, the figures that move, as a "stats" event to the TCP listener's
// subscribers (the web console draws its graph and counters from it instead of asking).
// They have no id and are not kept: a client that resumes wants the events, not old figures.
// The socket's subscribers (wharfkeepd watch) do not get them.
void ControlServer::Loop::SendStats() {
    std::vector<ControlConnection*> remote;
    for (ControlConnection* connection : subscribers) {
        if (connection->door == Door::kRemote) {
            remote.push_back(connection);
        }
    }
    if (remote.empty()) {
        return;
    }
    StatusReport status = host.Status();
    nlohmann::json data = LiveFiguresJson(status);
    data["type"] = "stats";
    data["time"] = UtcNow();
    auto frame = std::make_shared<const std::string>(EventFrame("stats", data));
    for (ControlConnection* connection : remote) {
        if (subscribers.count(connection) == 0) {
            continue;  // lagged meanwhile
        }
        if (!connection->backlog->Push(frame)) {
            Lag(*connection, "the subscriber fell behind the events");
        } else {
            Pump(*connection);
        }
    }
}

// Once a second, the peer sessions opened and ended that were not sent one by one.
void ControlServer::Loop::SendPeersSummary() {
    std::optional<PeerEventLimiter::Held> held;
    {
        std::lock_guard<std::mutex> lock(mutex);
        held = peer_events.TakeHeld();
    }
    if (held) {
        ControlEvent summary{kEventPeersSummary};
        summary.connected = held->connected;
        summary.left = held->left;
        Publish(summary);
    }
}

void ControlServer::Loop::SendKeepalive() {
    // Also finds subscribers that have gone: writing to them fails.
    static const SharedFrame comment = std::make_shared<const std::string>(": keepalive\n\n");
    Deliver(comment);
}

ControlServer::ControlServer(std::unique_ptr<Loop> loop) : loop_(std::move(loop)) {}

std::unique_ptr<ControlServer> ControlServer::Start(ControlHost& host,
                                                    const ControlServerOptions& options,
                                                    std::string& error) {
    // A client that goes away must not end the process when its answer is written.
    ::signal(SIGPIPE, SIG_IGN);
    auto loop = std::make_unique<Loop>(host, options);
    if (!loop->Open(error)) {
        return nullptr;
    }
    Loop* running = loop.get();
    loop->thread = std::thread([running] { event_base_dispatch(running->base); });
    return std::unique_ptr<ControlServer>(new ControlServer(std::move(loop)));
}

ControlServer::~ControlServer() {
    event_active(loop_->stop, 0, 0);
    loop_->thread.join();
}

void ControlServer::PublishEvent(const ControlEvent& event) {
    loop_->Publish(event);
}

int ControlServer::metrics_port() const {
    return loop_->metrics_port;
}

std::size_t ControlServer::connection_count() const {
    return loop_->connection_total;
}

std::size_t ControlServer::subscriber_count() const {
    return loop_->subscriber_total;
}

std::vector<ListenAddress> ControlServer::remote_addresses() const {
    std::lock_guard<std::mutex> lock(loop_->bound_mutex);
    return loop_->remote_bound;
}

void ControlServer::ReloadRemote(const ControlServerOptions& options,
                                 std::function<void(const RemoteReloadOutcome&)> done) {
    {
        // Shared with the server thread, so that a thread that comes to it late finds it.
        std::lock_guard<std::mutex> lock(loop_->mutex);
        loop_->pending_reloads.push_back(RemoteReload{options, std::move(done)});
    }
    event_active(loop_->reload, 0, 0);
}

}  // namespace wharfkeep::control
