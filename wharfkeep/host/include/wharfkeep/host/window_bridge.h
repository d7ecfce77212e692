#pragma once
// The host's events as the private messages of the window's thread. The window program and
// wharfkeepd draw from messages that their own thread handles; this listener turns the
// events raised on other threads (the publisher's) into those messages, keeping their
// designed numbers.
//
// Threading contract: OnHostEvent runs on whichever thread raised the event and only posts
// to the sink, which is safe from any thread.

#include "wharfkeep/host/app_message.h"
#include "wharfkeep/host/host_events.h"

namespace wharfkeep::host {

class WindowBridge : public HostListener {
public:
    explicit WindowBridge(MessageSink& sink) : sink_(sink) {}
    void OnHostEvent(const HostEvent& event) override;

private:
    MessageSink& sink_;
};

}  // namespace wharfkeep::host
