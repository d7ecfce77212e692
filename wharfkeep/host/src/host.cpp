#include "wharfkeep/host/host.h"

#include "platform/app_paths.h"
#include "platform/local_address.h"

namespace wharfkeep::host {

Host::Host(MessageSink& sink, std::unique_ptr<PublishBackend> engine)
    : sink_(sink),
      app_folder_(platform::app_data_folder()),
      bridge_(sink),
      database_(std::make_unique<ResourceDatabase>()),
      library_(*database_),
      queue_(std::make_unique<PublishQueue>(std::move(engine), *database_, events_)),
      settings_(Core(), services_, ip_table_),
      ip_filter_(ip_table_, events_),
      directories_(Core(), settings_.Access()),
      watched_(
          std::make_unique<WatchedFolders>(directories_, settings_, events_, sink, *database_)),
      document_(Core(), {services_, ip_table_, settings_, directories_, *watched_}) {
    events_.Subscribe(&bridge_);
    queue_->engine().SetReportFolder(app_folder_.string());
}

Host::~Host() {
    Close();
    watched_.reset();
    // The shell stops the services and the queue's threads before the host goes; do it
    // here as well so that no server thread can call into a host being destroyed.
    services_.Stop();
    queue_->ClearPending();
    queue_->Shutdown();
    navigation_.Clear();
    ip_table_.Bind(nullptr);
    events_.Unsubscribe(&bridge_);
}

bool Host::Open() {
    std::error_code ignored;
    std::filesystem::create_directories(app_folder_, ignored);

    ServerAccessSettings access;
    if (!database_->Open(ResourceDatabase::default_file(), platform::local_address_text(), "",
                         access)) {
        // Nothing runs on a database that cannot be used: the program stops with the reason.
        sink_.show_message(database_->open_error());
        return false;
    }
    BuildNavigationModel();
    document_.AttachServers();
    settings_.Start(access);
    ip_table_.Bind(database_.get());
    ip_table_.Reload();
    watched_->Load();
    return true;
}

void Host::Close() {
    document_.DetachServers();
}

HostCore Host::Core() {
    return {sink_, events_, *database_, library_, *queue_, navigation_};
}

void Host::BuildNavigationModel() {
    std::vector<DirectoryNodeRow> rows;
    for (DirectoryRecord& row : library_.Directories()) {
        rows.push_back(
            {std::move(row.name), std::move(row.path), row.file_count, row.published_count});
    }
    navigation_.Build(rows);
}

}  // namespace wharfkeep::host
