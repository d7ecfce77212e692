#pragma once
// The host's message sink in the window program: post() from any thread queues the message
// onto the GUI thread, where the handler (the main window's router) receives it. Messages
// posted before a handler is set wait for it.

#include <QObject>

#include <atomic>
#include <deque>
#include <functional>

#include "wharfkeep/host/app_message.h"

namespace wharfkeep::ui {

class Prompter;

class QtMessageSink : public QObject, public host::MessageSink {
    Q_OBJECT
public:
    using Handler = std::function<void(host::AppMessage, std::int64_t, host::AppPayload&)>;

    explicit QtMessageSink(Prompter& prompter, QObject* parent = nullptr);

    void post(host::AppMessage message, std::int64_t wparam, host::AppPayload payload) override;
    bool window_exists() const override { return window_exists_.load(); }
    void show_message(const std::string& text) override;
    bool ask_yes_no(const std::string& text) override;

    // GUI thread.
    void SetHandler(Handler handler);
    void SetWindowExists(bool exists) { window_exists_.store(exists); }
    void SetPrompter(Prompter& prompter) { prompter_ = &prompter; }

private:
    struct Posted {
        host::AppMessage message;
        std::int64_t wparam;
        host::AppPayload payload;
    };
    void Deliver(Posted& posted);

    Prompter* prompter_;
    Handler handler_;
    std::deque<Posted> waiting_;
    std::atomic<bool> window_exists_{false};
};

}  // namespace wharfkeep::ui
