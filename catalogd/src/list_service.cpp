#include "list_service.h"

#include <arpa/inet.h>
#include <event2/event.h>
#include <event2/listener.h>
#include <event2/thread.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <stdexcept>

#include "http_response.h"
#include "movie_info.h"
#include "platform/app_paths.h"
#include "platform/clock.h"
#include "platform/descriptor_limit.h"
#include "platform/unique_fd.h"
#include "platform/whole_transfer.h"
#include "request_reader.h"

namespace catalogd {
namespace {

// Path buffers handed to the host hold a whole Linux path.
constexpr std::size_t kPathBuffer = 4096;
// The temporary list file, removed whatever becomes of the request.
class TemporaryFile {
public:
    explicit TemporaryFile(std::filesystem::path path) : path_(std::move(path)) {}
    ~TemporaryFile() {
        std::error_code ignored;
        std::filesystem::remove(path_, ignored);
    }
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

bool read_exactly(int fd, std::uint8_t* into, std::size_t size) {
    return platform::transfer_whole(
        size, [&](std::size_t done) { return ::read(fd, into + done, size - done); });
}

// The list file the host wrote; every failure is an exception whose text names it.
std::vector<std::uint8_t> read_list_file(const std::filesystem::path& path) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) {
        throw std::runtime_error("file not exist!");
    }
    platform::UniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (file.get() < 0) {
        throw std::runtime_error("open file fail.");
    }
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(status.st_size));
    if (!read_exactly(file.get(), bytes.data(), bytes.size())) {
        throw std::runtime_error("read file fail!");
    }
    return bytes;
}

// A stream-description file, or nothing when it is missing, empty, too large or unreadable.
std::optional<std::vector<std::uint8_t>> read_description_file(const char* path) {
    platform::UniqueFd file(::open(path, O_RDONLY | O_CLOEXEC));
    struct stat status {};
    if (file.get() < 0 || ::fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode) ||
        status.st_size <= 0 || static_cast<std::uint64_t>(status.st_size) > kMaxDescriptionFile) {
        return std::nullopt;
    }
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(status.st_size));
    if (!read_exactly(file.get(), bytes.data(), bytes.size())) {
        return std::nullopt;
    }
    return bytes;
}

std::once_flag g_libevent_threads;

}  // namespace

struct ListService::Connection {
    Connection(ListService& owner, int socket) : service(owner), fd(socket) {}
    ~Connection() {
        for (event* owned : {readable, writable, close_timer}) {
            if (owned != nullptr) {
                event_free(owned);
            }
        }
        ::close(fd);
    }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    ListService& service;
    const int fd;
    event* readable = nullptr;  // persistent; watches the client until it leaves or is dropped
    event* writable = nullptr;  // persistent; made and added when a response waits for room
    // Ends the connection unless something else does first: the request deadline while
    // the request is read, the grace period after the answer, at once when dropped.
    event* close_timer = nullptr;
    // The request so far; one byte more than a request may hold shows it is too large.
    std::array<std::uint8_t, kMaxBufferedRequest + 1> request{};
    std::size_t buffered = 0;
    std::string gcid_text;  // the identifier a query asked for
    ResponseSender response;
    const timeval* write_timeout = nullptr;
    std::size_t slot = 0;          // its place among the open connections
    bool client_finished = false;  // the client closed its side during a long answer
    bool closing = false;          // no further request is read on this connection
};

std::shared_ptr<ListService> ListService::start(std::uint16_t port, const HostCallbacks& callbacks,
                                                ResponseCache& cache,
                                                const ServiceTimeouts& timeouts,
                                                const ServiceLimits& limits) {
    std::call_once(g_libevent_threads, [] { evthread_use_pthreads(); });
    const std::uint64_t descriptor_limit = platform::raise_descriptor_limit();
    platform::warn_if_descriptors_short("catalogd", limits.max_connections, descriptor_limit);
    auto service = std::make_shared<ListService>(Passkey{}, callbacks, cache, timeouts, limits);
    service->descriptor_limit_ = descriptor_limit;
    service->thread_ = std::thread(&ListService::thread_main, service.get(), port);
    service->tried_to_listen_.wait();
    if (service->listen_failed_) {
        service->thread_.join();
        return nullptr;
    }
    return service;
}

ListService::ListService(Passkey, const HostCallbacks& callbacks, ResponseCache& cache,
                         const ServiceTimeouts& timeouts, const ServiceLimits& limits)
    : callbacks_(callbacks), cache_(cache), timeouts_(timeouts), limits_(limits), tasks_([this] {
          event_active(tasks_event_, 0, 0);
      }) {}

ListService::~ListService() {
    stop();
}

bool ListService::stop() {
    if (on_service_thread()) {
        return false;  // the loop cannot wait for its own end
    }
    if (!thread_.joinable()) {
        return true;
    }
    {
        std::lock_guard lock(loop_mutex_);
        if (loop_alive_) {
            // An event rather than event_base_loopbreak(): a break requested before the
            // loop starts dispatching would be forgotten, an active event is not.
            event_active(stop_event_, 0, 0);
        }
    }
    thread_.join();
    return true;
}

bool ListService::run_on_service_thread(const std::function<void()>& task) {
    if (on_service_thread()) {
        task();
        return true;
    }
    // A task that threw still ran: only a dropped one tells the caller to apply it elsewhere.
    return tasks_.run_and_wait(task) != platform::LoopCallQueue::Outcome::dropped;
}

int ListService::probe_loop(std::chrono::milliseconds deadline) {
    if (on_service_thread()) {
        return 0;
    }
    return tasks_.probe(deadline);
}

void ListService::thread_main(std::uint16_t port) {
    service_thread_id_.store(std::this_thread::get_id());
    // A client that goes away while its answer is written must cost an error, not the
    // host process: with SIGPIPE blocked on this thread the write fails with EPIPE.
    sigset_t broken_pipe;
    sigemptyset(&broken_pipe);
    sigaddset(&broken_pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &broken_pipe, nullptr);
    bool listening = open_loop(port);
    listen_failed_ = !listening;
    running_.store(listening);
    tried_to_listen_.set();
    if (listening) {
        event_base_dispatch(base_);
    }
    running_.store(false);
    close_loop();
}

bool ListService::open_loop(std::uint16_t port) {
    base_ = event_base_new();
    if (base_ == nullptr) {
        return false;
    }
    tasks_event_ = event_new(base_, -1, 0, &ListService::on_tasks, this);
    stop_event_ = event_new(base_, -1, 0, &ListService::on_stop, this);
    io_timeout_ = event_base_init_common_timeout(base_, &timeouts_.io);
    grace_timeout_ = event_base_init_common_timeout(base_, &timeouts_.grace);
    request_timeout_ = event_base_init_common_timeout(base_, &timeouts_.request);
    if (tasks_event_ == nullptr || stop_event_ == nullptr || io_timeout_ == nullptr ||
        grace_timeout_ == nullptr || request_timeout_ == nullptr) {
        return false;
    }
    {
        std::lock_guard lock(loop_mutex_);
        loop_alive_ = true;
    }

    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(port);
    listener_ =
        evconnlistener_new_bind(base_, &ListService::on_accept, this,
                                LEV_OPT_CLOSE_ON_FREE | LEV_OPT_REUSEABLE | LEV_OPT_CLOSE_ON_EXEC,
                                -1, reinterpret_cast<sockaddr*>(&address), sizeof address);
    if (listener_ == nullptr) {
        return false;
    }
    if (!accept_guard_.attach(base_, listener_, descriptor_limit_)) {
        return false;
    }
    evconnlistener_set_error_cb(listener_, &ListService::on_accept_error);
    sockaddr_in bound{};
    socklen_t bound_length = sizeof bound;
    if (getsockname(evconnlistener_get_fd(listener_), reinterpret_cast<sockaddr*>(&bound),
                    &bound_length) == 0) {
        bound_port_ = ntohs(bound.sin_port);
    }
    return true;
}

void ListService::close_loop() {
    {
        std::lock_guard lock(loop_mutex_);
        loop_alive_ = false;
    }
    // Tasks still queued are not run; their callers are released.
    tasks_.close();
    connections_.clear();
    accept_guard_.detach();
    if (listener_ != nullptr) {
        evconnlistener_free(listener_);
        listener_ = nullptr;
    }
    for (event** owned : {&tasks_event_, &stop_event_}) {
        if (*owned != nullptr) {
            event_free(*owned);
            *owned = nullptr;
        }
    }
    if (base_ != nullptr) {
        event_base_free(base_);
        base_ = nullptr;
    }
}

void ListService::on_tasks(int, short, void* self) {
    static_cast<ListService*>(self)->tasks_.drain();
}

void ListService::on_stop(int, short, void* self) {
    event_base_loopbreak(static_cast<ListService*>(self)->base_);
}

void ListService::on_accept(evconnlistener*, int fd, sockaddr* address, int, void* self) {
    static_cast<ListService*>(self)->accept_connection(fd, address);
}

void ListService::on_accept_error(evconnlistener*, void* self) {
    static_cast<ListService*>(self)->accept_guard_.accept_failed(EVUTIL_SOCKET_ERROR());
}

void ListService::accept_connection(int fd, const sockaddr* address) {
    accept_guard_.accepted(fd);
    if (connections_.size() >= limits_.max_connections) {
        refused_connections_.fetch_add(1);
        evutil_closesocket(fd);
        return;
    }
    sts_ip_filter_function refuse = callbacks_.ip_filter.load();
    if (refuse != nullptr && address != nullptr && address->sa_family == AF_INET) {
        in_addr peer = reinterpret_cast<const sockaddr_in*>(address)->sin_addr;
        if (refuse(&peer)) {
            evutil_closesocket(fd);
            return;
        }
    }
    auto connection = std::make_unique<Connection>(*this, fd);  // owns the socket from here
    Connection* raw = connection.get();
    // EV_CLOSED reports the client's end of stream, so its close needs no read to be seen.
    raw->readable =
        event_new(base_, fd, EV_READ | EV_CLOSED | EV_PERSIST, &ListService::on_readable, raw);
    raw->close_timer = evtimer_new(base_, &ListService::on_close_timer, raw);
    if (raw->readable == nullptr || raw->close_timer == nullptr ||
        event_add(raw->readable, io_timeout_) != 0 ||
        evtimer_add(raw->close_timer, request_timeout_) != 0) {
        return;
    }
    raw->slot = connections_.size();
    connections_.push_back(std::move(connection));
}

void ListService::on_readable(int, short events, void* connection) {
    auto& self = *static_cast<Connection*>(connection);
    if ((events & EV_TIMEOUT) != 0) {
        self.service.free_connection(self);
    } else if ((events & EV_CLOSED) != 0 && self.closing && self.response.empty()) {
        self.service.free_connection(self);  // the client closed first, as it should
    } else if (self.closing) {
        self.service.discard_input(self);
    } else {
        self.service.read_request(self);
    }
}

// After the request only the client's close matters; whatever else it sends is not
// another request. A client that has stopped sending still gets the rest of its answer.
void ListService::discard_input(Connection& connection) {
    std::array<std::uint8_t, 4096> ignored;
    ssize_t got = ::recv(connection.fd, ignored.data(), ignored.size(), MSG_DONTWAIT);
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
        return;
    }
    if (got == 0 && !connection.response.empty()) {
        connection.client_finished = true;
        event_del(connection.readable);
    } else {
        free_connection(connection);  // the client has left, or the socket failed
    }
}

void ListService::read_request(Connection& connection) {
    ssize_t got = ::recv(connection.fd, connection.request.data() + connection.buffered,
                         connection.request.size() - connection.buffered, MSG_DONTWAIT);
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
        return;
    }
    if (got <= 0) {
        free_connection(connection);  // the client left, or the socket failed
        return;
    }
    connection.buffered += static_cast<std::size_t>(got);
    std::span<const std::uint8_t> buffered(connection.request.data(), connection.buffered);
    RequestOutcome outcome = catalogd::read_request(buffered);
    if (outcome.kind == RequestKind::incomplete) {
        return;
    }
    if (outcome.kind == RequestKind::drop) {
        query_counts().malformed.fetch_add(1);
        drop(connection);
        return;
    }
    // One request per connection: nothing after it is read as another.
    connection.closing = true;
    if (outcome.kind == RequestKind::bad_request) {
        query_counts().malformed.fetch_add(1);
        respond(connection, WireResponse::in_memory(kStatusBadRequest, {}));
        return;
    }
    const bool list = outcome.kind == RequestKind::list_export;
    try {
        if (list) {
            serve_list(connection);
        } else {
            serve_query(connection, buffered.subspan(outcome.body_offset, outcome.body_length));
        }
    } catch (const std::exception&) {
        (list ? query_counts().list_failed : query_counts().malformed).fetch_add(1);
        drop(connection);
    }
}

void ListService::serve_list(Connection& connection) {
    connection.write_timeout = &timeouts_.list_export;
    SharedResponse list = current_list();
    query_counts().lists.fetch_add(1);  // counted before the client can see the answer
    respond(connection, std::move(list));
}

// The export is the costliest request: the requests of the same second share one export
// and one response, which each connection only references. Its body sits in an unnamed
// file, so that every connection sends it with sendfile() instead of copying it.
SharedResponse ListService::current_list() {
    const std::uint64_t now = platform::monotonic_ms();
    sts_export_lists_function export_lists = callbacks_.export_lists.load();
    ResponseCache::SharedList& shared = cache_.list;
    if (shared.response && shared.made_by == export_lists &&
        now - shared.made_ms < limits_.list_export_shared_ms) {
        return shared.response;
    }
    shared = {};
    if (export_lists == nullptr) {
        throw std::runtime_error("create list file fail");
    }
    std::optional<std::filesystem::path> created = platform::make_temp_file("");
    if (!created) {
        throw std::runtime_error("create list file fail");
    }
    TemporaryFile list_file(*created);
    list_exports_.fetch_add(1);
    if (!export_lists(list_file.path().c_str())) {
        throw std::runtime_error("create list file fail");
    }
    // An empty list is a valid answer: nothing is published.
    shared.response = WireResponse::in_file(kStatusOk, read_list_file(list_file.path()));
    shared.made_ms = now;
    shared.made_by = export_lists;
    return shared.response;
}

void ListService::serve_query(Connection& connection, std::span<const std::uint8_t> body) {
    if (body.empty()) {
        throw std::runtime_error("invalid request.");
    }
    cmd_stream_query_movie_info query;
    query.Decode(body.data(), static_cast<std::uint32_t>(body.size()));
    connection.gcid_text = peerfeed::cid_to_hex(query.gcid);
    const std::string& gcid_text = connection.gcid_text;

    auto cached = cache_.responses.find(gcid_text);
    if (cached != cache_.responses.end()) {
        query_counts().found.fetch_add(1);
        respond(connection, cached->second);
        return;
    }
    if (std::optional<std::vector<std::uint8_t>> answer = prepare_answer(gcid_text.c_str())) {
        SharedResponse response = WireResponse::in_memory(kStatusOk, *answer);
        cache_.responses.emplace(gcid_text, response);
        query_counts().found.fetch_add(1);
        respond(connection, std::move(response));
        return;
    }
    query_counts().not_found.fetch_add(1);
    if (cache_.not_found) {
        respond(connection, cache_.not_found);
    } else {
        respond(connection, WireResponse::in_memory(kStatusNotFound, {}));
    }
}

std::optional<std::vector<std::uint8_t>> ListService::prepare_answer(const char* gcid_text) {
    sts_gcid2path_function gcid_to_path = callbacks_.gcid_to_path.load();
    if (gcid_to_path == nullptr) {
        return std::nullopt;
    }
    std::array<char, kPathBuffer> path{};
    if (!gcid_to_path(gcid_text, path.data(), static_cast<unsigned>(path.size())) ||
        std::memchr(path.data(), '\0', path.size()) == nullptr) {
        return std::nullopt;
    }
    std::optional<std::vector<std::uint8_t>> description = read_description_file(path.data());
    if (!description) {
        return std::nullopt;
    }
    try {
        cmd_stream_query_movie_info_resp response;
        response.result = kResultFound;
        response.set_data(*description);
        return encode_message(response);
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

// Most answers fit the socket's send buffer and leave in the handler that read the request,
// without waiting a loop iteration for writability or changing what the loop watches.
void ListService::respond(Connection& connection, SharedResponse response) {
    connection.response = ResponseSender(std::move(response));
    switch (connection.response.send_some(connection.fd)) {
        case ResponseSender::Progress::done:
            await_client_close(connection);
            return;
        case ResponseSender::Progress::blocked:
            // Only large responses wait for room: the event that waits is made for them.
            connection.writable = event_new(base_, connection.fd, EV_WRITE | EV_PERSIST,
                                            &ListService::on_writable, &connection);
            if (connection.writable == nullptr) {
                drop(connection);
                return;
            }
            // Reading stays on, without a time-out of its own, only to see the client
            // leave: watching both directions of one socket costs no more than one. The
            // request deadline is over: the answer has the write time-out.
            event_remove_timer(connection.readable);
            evtimer_del(connection.close_timer);
            event_add(connection.writable,
                      connection.write_timeout != nullptr ? connection.write_timeout : io_timeout_);
            return;
        case ResponseSender::Progress::failed:
            drop(connection);
            return;
    }
}

void ListService::on_writable(int, short events, void* connection) {
    auto& self = *static_cast<Connection*>(connection);
    if ((events & EV_TIMEOUT) != 0) {
        self.service.free_connection(self);
    } else {
        self.service.continue_response(self);
    }
}

void ListService::continue_response(Connection& connection) {
    switch (connection.response.send_some(connection.fd)) {
        case ResponseSender::Progress::done:
            event_del(connection.writable);
            if (connection.client_finished) {
                // Its close was seen already; it reads on to the end of the stream.
                free_connection(connection);
            } else {
                await_client_close(connection);
            }
            return;
        case ResponseSender::Progress::blocked:
            return;
        case ResponseSender::Progress::failed:
            free_connection(connection);
            return;
    }
}

void ListService::await_client_close(Connection& connection) {
    // The response has drained: the client has the grace period to close first, then the
    // server closes. Reading stays on, without a time-out of its own, so that the client's
    // close is seen at once.
    connection.closing = true;
    event_remove_timer(connection.readable);
    evtimer_add(connection.close_timer, grace_timeout_);
}

QueryCounts& query_counts() {
    static QueryCounts counts;
    return counts;
}

void ListService::drop(Connection& connection) {
    connection.closing = true;
    event_del(connection.readable);
    if (connection.writable != nullptr) {
        event_del(connection.writable);
    }
    evtimer_add(connection.close_timer, &timeouts_.drop);
}

void ListService::on_close_timer(int, short, void* connection) {
    auto& self = *static_cast<Connection*>(connection);
    self.service.free_connection(self);
}

void ListService::free_connection(Connection& connection) {
    // The last connection takes the freed one's place.
    const std::size_t slot = connection.slot;
    std::swap(connections_[slot], connections_.back());
    connections_[slot]->slot = slot;
    connections_.pop_back();
}

}  // namespace catalogd
