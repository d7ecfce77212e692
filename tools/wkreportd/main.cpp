// wkreportd: a stand-in for the publish-report endpoint. It accepts publish reports over
// TCP, prints each report's Master ID, local path and link on a line of its own, and
// answers with the 15-byte reply (code 102 unless told otherwise). Options make it answer
// badly on purpose, to see how a resource server copes.

#include <arpa/inet.h>
#include <event2/buffer.h>
#include <event2/bufferevent.h>
#include <event2/event.h>
#include <event2/listener.h>
#include <netinet/in.h>
#include <signal.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "tool_cli.h"
#include "wharfkeep/report/publish_report.h"

namespace {

struct Options {
    std::string listen_address = "127.0.0.1";
    int port = 1980;
    int code = wharfkeep::kReportAccepted;
    int reply_bytes = int(wharfkeep::kReportReplyLength);
    int split_ms = 0;
    int count = 0;
    int timeout_ms = 10'000;
};

struct EventBaseFree {
    void operator()(event_base* base) const { event_base_free(base); }
};
struct ListenerFree {
    void operator()(evconnlistener* listener) const { evconnlistener_free(listener); }
};
struct EventFree {
    void operator()(event* e) const { event_free(e); }
};

class ReportServer;

// One client connection: reads one report, answers it, closes once the answer is out.
struct Connection {
    ReportServer* server = nullptr;
    bufferevent* stream = nullptr;
    std::unique_ptr<event, EventFree> split_timer;
    std::vector<std::uint8_t> rest_of_reply;
    bool answered = false;

    ~Connection() { bufferevent_free(stream); }
};

class ReportServer {
public:
    explicit ReportServer(const Options& options) : options_(options), base_(event_base_new()) {}

    bool start() {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(std::uint16_t(options_.port));
        if (inet_pton(AF_INET, options_.listen_address.c_str(), &address.sin_addr) != 1) {
            std::fprintf(stderr, "wkreportd: not an IPv4 address: %s\n",
                         options_.listen_address.c_str());
            return false;
        }
        listener_.reset(evconnlistener_new_bind(
            base_.get(), &ReportServer::on_accept, this,
            LEV_OPT_CLOSE_ON_FREE | LEV_OPT_REUSEABLE | LEV_OPT_CLOSE_ON_EXEC, 16,
            reinterpret_cast<sockaddr*>(&address), sizeof address));
        if (!listener_) {
            std::fprintf(stderr, "wkreportd: cannot listen on %s:%d\n",
                         options_.listen_address.c_str(), options_.port);
            return false;
        }
        socklen_t length = sizeof address;
        getsockname(evconnlistener_get_fd(listener_.get()), reinterpret_cast<sockaddr*>(&address),
                    &length);
        std::printf("listening on %s:%d\n", options_.listen_address.c_str(),
                    ntohs(address.sin_port));
        std::fflush(stdout);
        for (int number : {SIGINT, SIGTERM}) {
            signals_.emplace_back(
                evsignal_new(base_.get(), number, &ReportServer::on_signal, this));
            event_add(signals_.back().get(), nullptr);
        }
        return true;
    }

    int run() { return event_base_dispatch(base_.get()) < 0 ? 1 : 0; }

private:
    static void on_accept(evconnlistener*, evutil_socket_t fd, sockaddr*, int, void* self) {
        static_cast<ReportServer*>(self)->accept(fd);
    }
    static void on_signal(evutil_socket_t, short, void* self) {
        event_base_loopexit(static_cast<ReportServer*>(self)->base_.get(), nullptr);
    }
    static void on_read(bufferevent*, void* context) {
        auto* connection = static_cast<Connection*>(context);
        connection->server->read(connection);
    }
    static void on_written(bufferevent*, void* context) {
        auto* connection = static_cast<Connection*>(context);
        if (connection->answered && connection->rest_of_reply.empty() && !connection->split_timer) {
            connection->server->close(connection);
        }
    }
    static void on_event(bufferevent*, short, void* context) {
        auto* connection = static_cast<Connection*>(context);
        connection->server->close(connection);
    }
    static void on_split_timer(evutil_socket_t, short, void* context) {
        auto* connection = static_cast<Connection*>(context);
        connection->split_timer.reset();
        bufferevent_write(connection->stream, connection->rest_of_reply.data(),
                          connection->rest_of_reply.size());
        connection->rest_of_reply.clear();
    }

    void accept(evutil_socket_t fd) {
        auto connection = std::make_unique<Connection>();
        connection->server = this;
        connection->stream = bufferevent_socket_new(base_.get(), fd, BEV_OPT_CLOSE_ON_FREE);
        if (!connection->stream) {
            evutil_closesocket(fd);
            return;
        }
        timeval timeout{options_.timeout_ms / 1000, (options_.timeout_ms % 1000) * 1000};
        bufferevent_set_timeouts(connection->stream, &timeout, &timeout);
        // A report never exceeds its buffer: stop reading beyond it.
        bufferevent_setwatermark(connection->stream, EV_READ, 0, wharfkeep::kPublishReportCapacity);
        bufferevent_setcb(connection->stream, &ReportServer::on_read, &ReportServer::on_written,
                          &ReportServer::on_event, connection.get());
        bufferevent_enable(connection->stream, EV_READ | EV_WRITE);
        Connection* key = connection.get();
        connections_.emplace(key, std::move(connection));
    }

    void read(Connection* connection) {
        if (connection->answered) {
            evbuffer_drain(bufferevent_get_input(connection->stream), SIZE_MAX);
            return;
        }
        evbuffer* input = bufferevent_get_input(connection->stream);
        const std::size_t length = evbuffer_get_length(input);
        const auto* bytes = evbuffer_pullup(input, ssize_t(length));
        const wharfkeep::ReportDecoding decoded =
            wharfkeep::DecodePublishReport(std::span(bytes, length));
        if (decoded.status == wharfkeep::ReportDecoding::Status::kIncomplete) {
            if (length >= wharfkeep::kPublishReportCapacity) {
                close(connection);
            }
            return;
        }
        if (decoded.status == wharfkeep::ReportDecoding::Status::kMalformed) {
            std::fprintf(stderr, "wkreportd: malformed report, connection closed\n");
            close(connection);
            return;
        }
        evbuffer_drain(input, decoded.consumed);
        print(decoded.report);
        answer(connection);
    }

    void print(const wharfkeep::PublishReport& report) {
        std::printf("master_id=%s\tpath=%s\tlink=%s\n", report.master_id.c_str(),
                    report.local_path.c_str(), report.link.c_str());
        std::fflush(stdout);
        ++reports_;
    }

    void answer(Connection* connection) {
        connection->answered = true;
        auto reply = wharfkeep::BuildReportReply(std::uint16_t(options_.code));
        reply.resize(std::size_t(options_.reply_bytes));
        std::size_t first = reply.size();
        if (options_.split_ms > 0 && reply.size() > 1) {
            first = reply.size() / 2;
            connection->rest_of_reply.assign(reply.begin() + first, reply.end());
            connection->split_timer.reset(
                evtimer_new(base_.get(), &ReportServer::on_split_timer, connection));
            timeval delay{options_.split_ms / 1000, (options_.split_ms % 1000) * 1000};
            evtimer_add(connection->split_timer.get(), &delay);
        }
        if (first > 0) {
            bufferevent_write(connection->stream, reply.data(), first);
        } else if (!connection->split_timer) {
            close(connection);
        }
    }

    void close(Connection* connection) {
        connections_.erase(connection);
        if (options_.count > 0 && reports_ >= options_.count && connections_.empty()) {
            event_base_loopexit(base_.get(), nullptr);
        }
    }

    Options options_;
    std::unique_ptr<event_base, EventBaseFree> base_;
    std::unique_ptr<evconnlistener, ListenerFree> listener_;
    std::vector<std::unique_ptr<event, EventFree>> signals_;
    std::map<Connection*, std::unique_ptr<Connection>> connections_;
    int reports_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
    Options options;
    CLI::App app{
        "Stand-in for the publish-report endpoint: prints each publish report and "
        "answers it."};
    app.add_option("-l,--listen", options.listen_address, "IPv4 address to listen on")
        ->capture_default_str();
    app.add_option("-p,--port", options.port, "TCP port (0: any free port, printed at start)")
        ->check(CLI::Range(0, 65535))
        ->capture_default_str();
    app.add_option("-c,--code", options.code, "reply code (102 means delivered)")
        ->check(CLI::Range(0, 65535))
        ->capture_default_str();
    app.add_option("--reply-bytes", options.reply_bytes,
                   "send only the first N bytes of the 15-byte reply")
        ->check(CLI::Range(0, int(wharfkeep::kReportReplyLength)))
        ->capture_default_str();
    app.add_option("--split-ms", options.split_ms,
                   "send the reply in two parts this many milliseconds apart")
        ->check(CLI::Range(0, 60'000));
    app.add_option("-n,--count", options.count, "exit after answering N reports (0: never)")
        ->check(CLI::NonNegativeNumber);
    app.add_option("--timeout-ms", options.timeout_ms, "drop a connection idle this long")
        ->check(CLI::Range(1, 3'600'000))
        ->capture_default_str();
    if (std::optional<int> exit_code = tools::ParseCommandLine(app, "wkreportd", argc, argv)) {
        return *exit_code;
    }

    ReportServer server(options);
    if (!server.start()) {
        return 2;
    }
    return server.run();
}
