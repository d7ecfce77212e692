#pragma once
// wharfkeepd's commands against a running instance, through its control interface; and the
// listings without an instance in the same JSON forms.

#include <filesystem>
#include <optional>

#include "commands.h"
#include "wharfkeep/control/control_client.h"

namespace wharfkeep::app {

// The client of the instance that runs on the application-data folder, or nothing when
// none answers on its control socket.
std::optional<control::ControlClient> RunningInstance(const std::filesystem::path& app_folder);

int RemoteStatus(const control::ControlClient& client, const CommandOptions& options);
int RemotePeers(const control::ControlClient& client, const CommandOptions& options);
int RemoteWatch(const control::ControlClient& client, const CommandOptions& options);
int RemotePublish(const control::ControlClient& client, const CommandOptions& options);
int RemoteRescan(const control::ControlClient& client, const CommandOptions& options);
int RemoteWatchFolder(const control::ControlClient& client, const CommandOptions& options);
int RemoteWithdraw(const control::ControlClient& client, const CommandOptions& options);
int RemoteRemove(const control::ControlClient& client, const CommandOptions& options);
int RemoteExport(const control::ControlClient& client, const CommandOptions& options);
int RemoteConfig(const control::ControlClient& client, const CommandOptions& options);
int RemoteIpFilter(const control::ControlClient& client, const CommandOptions& options);

// Without an instance: the stored figures in the forms the interface answers with.
int LocalStatusJson(const std::filesystem::path& app_folder);
int LocalListJson(const std::filesystem::path& app_folder, const CommandOptions& options);
int LocalSettingsJson(const std::filesystem::path& app_folder);
int LocalIpFilterJson(const std::filesystem::path& app_folder);

}  // namespace wharfkeep::app
