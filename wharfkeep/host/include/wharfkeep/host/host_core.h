#pragma once
// The shared pieces the host's parts work on: where messages to the window thread go, the
// event stream, the database with its typed queries, the publisher and the navigation
// model. The Host owns them and hands each part this bundle of references.

#include "wharfkeep/database/resource_database.h"
#include "wharfkeep/host/app_message.h"
#include "wharfkeep/host/host_events.h"
#include "wharfkeep/host/media_library.h"
#include "wharfkeep/host/navigation.h"
#include "wharfkeep/host/publish_queue.h"

namespace wharfkeep::host {

struct HostCore {
    MessageSink& sink;
    HostEvents& events;
    ResourceDatabase& database;
    MediaLibrary& library;
    PublishQueue& queue;
    NavigationModel& navigation;
};

}  // namespace wharfkeep::host
