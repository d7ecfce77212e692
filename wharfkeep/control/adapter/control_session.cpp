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
    session->inner_view_ = doc.View();
    session->host_->SetInnerView(session->inner_view_);
    session->host_->SetServer(server.get());
    session->server_ = std::move(server);
    doc.SetView(session->host_.get());
    doc.SetPeerRefusalObserver(session->host_.get());
    return session;
}

ControlSession::~ControlSession() {
    host_->Close();
    host_->SetServer(nullptr);
    server_.reset();
    doc_.SetPeerRefusalObserver(nullptr);
    if (doc_.View() == host_.get()) {
        doc_.SetView(inner_view_);
    }
}

}  // namespace wharfkeep::control
