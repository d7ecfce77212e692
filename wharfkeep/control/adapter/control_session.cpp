#include "control_session.h"

#include "platform/ini_file.h"

namespace wharfkeep::control {

std::unique_ptr<ControlSession> ControlSession::Start(host::CPierwatchDoc& doc,
                                                      const std::filesystem::path& app_folder,
                                                      UiPoster post, const std::string& version,
                                                      std::string& error) {
    auto host = std::make_unique<DocumentControlHost>(doc, std::move(post), version);
    ControlServerOptions options;
    options.socket_path = app_folder / kControlSocketName;
    options.metrics_address = platform::IniFile::load(app_folder / "Wharfkeep.ini")
                                  .get_string("control", "metrics_address", "");
    std::unique_ptr<ControlServer> server = ControlServer::Start(*host, options, error);
    if (!server) {
        return nullptr;
    }
    std::unique_ptr<ControlSession> session(new ControlSession(doc, std::move(host)));
    session->socket_path_ = options.socket_path;
    session->host_->SetServer(server.get());
    session->server_ = std::move(server);
    doc.Events().Subscribe(session->host_.get());
    return session;
}

ControlSession::~ControlSession() {
    doc_.Events().Unsubscribe(host_.get());
    host_->Close();
    host_->SetServer(nullptr);
    server_.reset();
}

}  // namespace wharfkeep::control
