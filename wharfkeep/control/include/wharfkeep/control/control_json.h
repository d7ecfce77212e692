#pragma once
// The JSON forms of the control interface's records. The server answers with them and
// wharfkeepd prints the same forms with --json when no instance runs.

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "wharfkeep/control/control_event.h"
#include "wharfkeep/control/control_host.h"

namespace wharfkeep::control {

nlohmann::json ToJson(const StatusReport& status);
// The figures of a status that move from second to second: part of the status answer, and
// all of the "stats" event.
nlohmann::json LiveFiguresJson(const StatusReport& status);
nlohmann::json ToJson(const ResourceRow& row);
nlohmann::json ToJson(const ConnectionRow& row);
nlohmann::json ToJson(const MediaRow& row);
nlohmann::json ToJson(const FolderRow& row);
nlohmann::json ToJson(const SettingsReport& settings);
nlohmann::json ToJson(const IpFilterReport& filter);
nlohmann::json ToJson(const ControlEvent& event);

template <typename Row>
nlohmann::json ToJson(const std::vector<Row>& rows) {
    nlohmann::json list = nlohmann::json::array();
    for (const Row& row : rows) {
        list.push_back(ToJson(row));
    }
    return list;
}

// The Prometheus text form of the figures.
std::string MetricsText(const MetricsReport& metrics);

}  // namespace wharfkeep::control
