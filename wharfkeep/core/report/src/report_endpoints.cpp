#include "wharfkeep/report/report_endpoints.h"

namespace wharfkeep {
namespace {

ReportEndpoint read_endpoint(const platform::IniFile& profile, const char* host_key,
                             const char* port_key, std::uint16_t default_port) {
    ReportEndpoint endpoint;
    endpoint.host = profile.get_string("report", host_key, "");
    const std::int64_t port = profile.get_int("report", port_key, default_port);
    endpoint.port = port >= 1 && port <= 65535 ? static_cast<std::uint16_t>(port) : 0;
    return endpoint;
}

}  // namespace

ReportEndpoints LoadReportEndpoints(const platform::IniFile& profile) {
    return {read_endpoint(profile, "publish_host", "publish_port", kDefaultPublishReportPort),
            read_endpoint(profile, "activity_host", "activity_port", kDefaultActivityReportPort)};
}

}  // namespace wharfkeep
