// The publishing core's engine behind the host's engine interface.

#include "platform/guarded_value.h"
#include "platform/log.h"
#include "wharfkeep/engine/link.h"
#include "wharfkeep/engine/publish_engine.h"
#include "wharfkeep/host/publish_backend.h"

namespace wharfkeep::host {
namespace {

class EngineBackend : public PublishBackend {
public:
    explicit EngineBackend(bool announce_missing_library) {
        if (announce_missing_library && !engine_.CanRestructure()) {
            platform::log::warning("plain MP4 files cannot be restructured: {}",
                                   engine_.RestructureUnavailableReason());
        }
    }

    void SetReportFolder(const std::string& folder) override { engine_.SetReportFolder(folder); }
    void SetLinkSettings(const std::string& ip_host, const std::string& domain_host,
                         unsigned peer_port, unsigned list_port, const std::string& sid) override {
        engine_.SetLinkSettings(ip_host, domain_host, peer_port, list_port, sid);
    }
    void SetReportMasterId(const std::string& master_id) override {
        engine_.SetReportMasterId(master_id);
    }
    void ReloadReportEndpoint() override {
        const ReportEndpoint endpoint = engine_.ReloadReportEndpoint();
        if (endpoint.configured()) {
            platform::log::info("publish reports go to {}:{}", endpoint.host, endpoint.port);
        } else {
            platform::log::info("publish reports are off (no [report] publish_host)");
        }
    }

    PublishFileResult PublishFile(const std::string& path) override {
        PublishFileResult outcome;
        try {
            outcome = engine_.PublishFile(path);
            const PublishFileResult& result = outcome;
            if (result.code == wharfkeep::kPublished) {
                platform::log::info("published {} ({})", path, result.cid);
            } else {
                platform::log::warning(
                    "not published: {}: {}", path,
                    result.error.empty() ? "result " + std::to_string(result.code) : result.error);
            }
        } catch (const std::exception& error) {
            // The engine reports its failures as codes; anything else still fails only
            // this file.
            platform::log::error("not published: {}: {}", path, error.what());
            outcome.code = wharfkeep::kPublishFailed;
            outcome.error = error.what();
        }
        return outcome;
    }

    void PrepareNext(const std::string& path) override { engine_.PrepareNext(path); }

    int UnpublishFile(const std::string& cid, const std::string& sts_path) override {
        return engine_.UnpublishFile(cid, sts_path);
    }

    std::string RelinkUrl(const std::string& url) override { return engine_.RelinkUrl(url); }

    int GetProgress() override { return engine_.GetProgress(); }

private:
    MyPublishEngine engine_;
};

// Links only: rebuilds stored links for the current settings and publishes nothing, for
// commands that read while another instance may be publishing (no library is loaded and no
// logged report is resent twice).
class LinkOnlyBackend : public PublishBackend {
public:
    void SetReportFolder(const std::string&) override {}
    void SetLinkSettings(const std::string& ip_host, const std::string& domain_host,
                         unsigned peer_port, unsigned list_port, const std::string& sid) override {
        links_.set({ip_host, domain_host, peer_port, list_port, sid});
    }
    void SetReportMasterId(const std::string&) override {}
    void ReloadReportEndpoint() override {}
    PublishFileResult PublishFile(const std::string& path) override {
        platform::log::error("not published: {}: this session does not publish", path);
        return PublishFileResult{
            wharfkeep::kPublishFailed, {}, {}, {}, "this session does not publish"};
    }
    int UnpublishFile(const std::string&, const std::string&) override { return 1; }
    std::string RelinkUrl(const std::string& url) override {
        return RebuildLink(url, links_.get()).value_or(url);
    }

private:
    platform::GuardedValue<LinkSettings> links_;
};

}  // namespace

std::unique_ptr<PublishBackend> MakeEnginePublishBackend(bool announce_missing_library) {
    return std::make_unique<EngineBackend>(announce_missing_library);
}

std::unique_ptr<PublishBackend> MakeLinkOnlyPublishBackend() {
    return std::make_unique<LinkOnlyBackend>();
}

}  // namespace wharfkeep::host
