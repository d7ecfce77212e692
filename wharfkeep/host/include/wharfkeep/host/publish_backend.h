#pragma once
// The publish engine as the host drives it. The program uses the real engine
// (MakeEnginePublishBackend); the queue's tests use a double that they control.

#include <memory>
#include <string>

#include "wharfkeep/publish_result.h"

namespace wharfkeep::host {

class PublishBackend {
public:
    virtual ~PublishBackend() = default;
    virtual void SetReportFolder(const std::string& folder) = 0;
    virtual void SetLinkSettings(const std::string& ip_host, const std::string& domain_host,
                                 unsigned peer_port, unsigned list_port,
                                 const std::string& sid) = 0;
    virtual void SetReportMasterId(const std::string& master_id) = 0;
    // Reads the publish-report endpoint from Wharfkeep.ini again; the next report goes there.
    virtual void ReloadReportEndpoint() = 0;
    // Publishes one file (publisher thread). Never throws.
    virtual PublishFileResult PublishFile(const std::string& path) = 0;
    // Reads ahead what publishing `path` (the next file of the queue) needs first, on a
    // thread of the engine's, while the current file is published (publisher thread).
    virtual void PrepareNext(const std::string& /*path*/) {}
    // Withdraws a published file; with both texts empty, abandons the file being published.
    virtual int UnpublishFile(const std::string& cid, const std::string& sts_path) = 0;
    // The stored link rebuilt for the current host settings.
    virtual std::string RelinkUrl(const std::string& url) = 0;
    // Percentage done of the file being restructured (any thread); 0 when none is.
    virtual int GetProgress() { return 0; }
};

// The publish engine of the publishing core, bound to libMoovwright.so (library
// wk_host_engine). With `announce_missing_library`, says on standard error when plain MP4
// files cannot be restructured (each such file then fails with the reason).
std::unique_ptr<PublishBackend> MakeEnginePublishBackend(bool announce_missing_library = false);
// Rebuilds links for the current settings and publishes nothing: for commands that only
// read while another instance may be publishing.
std::unique_ptr<PublishBackend> MakeLinkOnlyPublishBackend();

}  // namespace wharfkeep::host
