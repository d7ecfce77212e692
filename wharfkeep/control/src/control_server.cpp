#include "wharfkeep/control/control_server.h"

#include <event2/buffer.h>
#include <event2/bufferevent.h>
#include <event2/event.h>
#include <event2/http.h>
#include <event2/keyvalq_struct.h>
#include <event2/thread.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

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

int BindControlSocket(const std::filesystem::path& path, std::string& error) {
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
    // Nobody can connect before listen(), so the mode is right before the first client.
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&*address), sizeof(*address)) != 0 ||
        ::chmod(path.c_str(), 0600) != 0 || ::listen(fd, 64) != 0) {
        error = SystemError("cannot listen on " + path.string());
        ::close(fd);
        ::unlink(path.c_str());
        return -1;
    }
    return fd;
}

struct ControlServer::Loop {
    struct Subscriber {
        evhttp_request* request;
        evhttp_connection* connection;
    };

    Loop(ControlHost& host_in, ControlServerOptions options_in)
        : host(host_in), options(std::move(options_in)) {}
    ~Loop();

    bool Open(std::string& error);
    bool OpenMetrics(std::string& error);
    void Handle(evhttp_request* request, bool metrics_only);
    void Subscribe(evhttp_request* request);
    void SendToSubscribers(const std::string& frame);
    void Unsubscribe(evhttp_connection* connection);
    void DrainOutgoing();

    ControlHost& host;
    ControlServerOptions options;
    event_base* base = nullptr;
    evhttp* http = nullptr;
    evhttp* metrics_http = nullptr;
    event* wake = nullptr;
    event* keepalive = nullptr;
    int socket_fd = -1;
    int metrics_port = 0;
    bool socket_bound = false;
    std::thread thread;

    std::mutex mutex;  // guards outgoing
    std::deque<std::string> outgoing;
    std::vector<Subscriber> subscribers;  // server thread only (and the owner after the join)
};

namespace {

void OnRequest(evhttp_request* request, void* arg) {
    static_cast<ControlServer::Loop*>(arg)->Handle(request, false);
}

void OnMetricsRequest(evhttp_request* request, void* arg) {
    static_cast<ControlServer::Loop*>(arg)->Handle(request, true);
}

void OnWake(evutil_socket_t, short, void* arg) {
    static_cast<ControlServer::Loop*>(arg)->DrainOutgoing();
}

void OnKeepalive(evutil_socket_t, short, void* arg) {
    static_cast<ControlServer::Loop*>(arg)->SendToSubscribers(": keepalive\n\n");
}

void OnSubscriberClosed(evhttp_connection* connection, void* arg) {
    static_cast<ControlServer::Loop*>(arg)->Unsubscribe(connection);
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
        default:
            return "OTHER";
    }
}

void Send(evhttp_request* request, const ControlResponse& response) {
    evhttp_add_header(evhttp_request_get_output_headers(request), "Content-Type",
                      response.content_type.c_str());
    evbuffer* body = evbuffer_new();
    evbuffer_add(body, response.body.data(), response.body.size());
    evhttp_send_reply(request, response.status, nullptr, body);
    evbuffer_free(body);
}

// The request as the router takes it; nothing when its target cannot be decoded.
std::optional<ControlRequest> ReadRequest(evhttp_request* request) {
    const evhttp_uri* uri = evhttp_request_get_evhttp_uri(request);
    if (uri == nullptr || evhttp_uri_get_path(uri) == nullptr) {
        return std::nullopt;
    }
    ControlRequest out;
    out.method = MethodName(evhttp_request_get_command(request));
    size_t length = 0;
    char* path = evhttp_uridecode(evhttp_uri_get_path(uri), 0, &length);
    if (path == nullptr) {
        return std::nullopt;
    }
    out.path.assign(path, length);
    std::free(path);
    if (out.path.find('\0') != std::string::npos) {
        return std::nullopt;
    }
    if (const char* query = evhttp_uri_get_query(uri)) {
        evkeyvalq pairs{};
        if (evhttp_parse_query_str(query, &pairs) != 0) {
            return std::nullopt;
        }
        for (evkeyval* pair = pairs.tqh_first; pair != nullptr; pair = pair->next.tqe_next) {
            out.query[pair->key] = pair->value;
        }
        evhttp_clear_headers(&pairs);
    }
    evbuffer* input = evhttp_request_get_input_buffer(request);
    out.body.resize(evbuffer_get_length(input));
    evbuffer_copyout(input, out.body.data(), out.body.size());
    return out;
}

}  // namespace

ControlServer::Loop::~Loop() {
    for (const Subscriber& subscriber : subscribers) {
        evhttp_send_reply_end(subscriber.request);
    }
    subscribers.clear();
    if (http != nullptr) {
        evhttp_free(http);
    }
    if (metrics_http != nullptr) {
        evhttp_free(metrics_http);
    }
    if (wake != nullptr) {
        event_free(wake);
    }
    if (keepalive != nullptr) {
        event_free(keepalive);
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

bool ControlServer::Loop::Open(std::string& error) {
    evthread_use_pthreads();
    base = event_base_new();
    http = base ? evhttp_new(base) : nullptr;
    if (http == nullptr) {
        error = "cannot create the control server's event loop";
        return false;
    }
    socket_fd = BindControlSocket(options.socket_path, error);
    if (socket_fd < 0) {
        return false;
    }
    socket_bound = true;
    evhttp_set_timeout(http, options.idle_timeout_seconds);
    evhttp_set_max_body_size(http, static_cast<ev_ssize_t>(options.max_body_bytes));
    evhttp_set_max_headers_size(http, 16 * 1024);
    evhttp_set_allowed_methods(
        http, EVHTTP_REQ_GET | EVHTTP_REQ_POST | EVHTTP_REQ_PUT | EVHTTP_REQ_DELETE);
    evhttp_set_gencb(http, OnRequest, this);
    if (evhttp_accept_socket(http, socket_fd) != 0) {
        error = "cannot accept on " + options.socket_path.string();
        return false;
    }
    socket_fd = -1;  // the server closes it with itself
    wake = event_new(base, -1, 0, OnWake, this);
    keepalive = event_new(base, -1, EV_PERSIST, OnKeepalive, this);
    timeval period{options.event_keepalive_seconds, 0};
    event_add(keepalive, &period);
    return OpenMetrics(error);
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
    metrics_http = evhttp_new(base);
    evhttp_set_timeout(metrics_http, options.idle_timeout_seconds);
    evhttp_set_max_body_size(metrics_http, 0);
    evhttp_set_allowed_methods(metrics_http, EVHTTP_REQ_GET);
    evhttp_set_gencb(metrics_http, OnMetricsRequest, this);
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

void ControlServer::Loop::Handle(evhttp_request* request, bool metrics_only) {
    std::optional<ControlRequest> parsed = ReadRequest(request);
    if (!parsed) {
        Send(request, ErrorResponse(400, "the request target cannot be decoded"));
        return;
    }
    if (metrics_only && parsed->path != "/metrics") {
        Send(request, ErrorResponse(404, "only /metrics is served here"));
        return;
    }
    if (parsed->path == "/events") {
        if (parsed->method != "GET") {
            Send(request, ErrorResponse(405, "use GET on /events"));
        } else {
            Subscribe(request);
        }
        return;
    }
    Send(request, HandleControlRequest(host, *parsed));
}

void ControlServer::Loop::Subscribe(evhttp_request* request) {
    evkeyvalq* headers = evhttp_request_get_output_headers(request);
    evhttp_add_header(headers, "Content-Type", "text/event-stream");
    evhttp_add_header(headers, "Cache-Control", "no-cache");
    evhttp_send_reply_start(request, 200, "OK");
    evhttp_connection* connection = evhttp_request_get_connection(request);
    evhttp_connection_set_closecb(connection, OnSubscriberClosed, this);
    subscribers.push_back({request, connection});
    // Tells the client it is subscribed: events published from now on reach it.
    evbuffer* hello = evbuffer_new();
    evbuffer_add_printf(hello, ": subscribed\n\n");
    evhttp_send_reply_chunk(request, hello);
    evbuffer_free(hello);
}

void ControlServer::Loop::SendToSubscribers(const std::string& frame) {
    // A subscriber that does not read would make its buffer grow without end: drop it.
    constexpr std::size_t kMaxUnsent = 1024 * 1024;
    std::vector<Subscriber> current = subscribers;
    for (const Subscriber& subscriber : current) {
        bufferevent* stream = evhttp_connection_get_bufferevent(subscriber.connection);
        if (stream != nullptr && evbuffer_get_length(bufferevent_get_output(stream)) > kMaxUnsent) {
            evhttp_connection_free(subscriber.connection);  // unsubscribes through closecb
            continue;
        }
        evbuffer* chunk = evbuffer_new();
        evbuffer_add(chunk, frame.data(), frame.size());
        evhttp_send_reply_chunk(subscriber.request, chunk);
        evbuffer_free(chunk);
    }
}

void ControlServer::Loop::Unsubscribe(evhttp_connection* connection) {
    for (auto it = subscribers.begin(); it != subscribers.end(); ++it) {
        if (it->connection == connection) {
            evhttp_request* request = it->request;
            subscribers.erase(it);
            // Frees a request the failed connection has let go of; otherwise the
            // connection frees it with itself.
            evhttp_send_reply_end(request);
            return;
        }
    }
}

void ControlServer::Loop::DrainOutgoing() {
    std::deque<std::string> frames;
    {
        std::lock_guard<std::mutex> lock(mutex);
        frames.swap(outgoing);
    }
    for (const std::string& frame : frames) {
        SendToSubscribers(frame);
    }
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
    event_base_loopbreak(loop_->base);
    loop_->thread.join();
}

void ControlServer::PublishEvent(const ControlEvent& event) {
    std::string frame =
        "event: " + event.type +
        "\ndata: " + ToJson(event).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) +
        "\n\n";
    {
        std::lock_guard<std::mutex> lock(loop_->mutex);
        loop_->outgoing.push_back(std::move(frame));
    }
    event_active(loop_->wake, 0, 0);
}

int ControlServer::metrics_port() const {
    return loop_->metrics_port;
}

}  // namespace wharfkeep::control
