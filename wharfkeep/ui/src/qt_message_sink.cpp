#include "qt_message_sink.h"

#include "wharfkeep/ui/translations.h"

#include <memory>

#include "wharfkeep/ui/prompter.h"

namespace wharfkeep::ui {

QtMessageSink::QtMessageSink(Prompter& prompter, QObject* parent)
    : QObject(parent), prompter_(&prompter) {}

void QtMessageSink::post(host::AppMessage message, std::int64_t wparam, host::AppPayload payload) {
    // The queued call owns the payload; a message dropped at exit releases it with the call.
    auto posted = std::make_shared<Posted>(Posted{message, wparam, std::move(payload)});
    QMetaObject::invokeMethod(
        this, [this, posted] { Deliver(*posted); }, Qt::QueuedConnection);
}

void QtMessageSink::Deliver(Posted& posted) {
    if (!handler_) {
        waiting_.push_back(std::move(posted));
        return;
    }
    handler_(posted.message, posted.wparam, posted.payload);
}

void QtMessageSink::SetHandler(Handler handler) {
    handler_ = std::move(handler);
    while (handler_ && !waiting_.empty()) {
        Posted posted = std::move(waiting_.front());
        waiting_.pop_front();
        handler_(posted.message, posted.wparam, posted.payload);
    }
}

void QtMessageSink::show_message(const std::string& text) {
    prompter_->Message(HostText(text), kApplicationTitle, PromptIcon::Warning);
}

bool QtMessageSink::ask_yes_no(const std::string& text) {
    return prompter_->YesNo(HostText(text), kApplicationTitle);
}

}  // namespace wharfkeep::ui
