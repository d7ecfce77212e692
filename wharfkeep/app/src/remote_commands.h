#pragma once
// wharfkeepd's commands written once against a control channel: a running instance's
// control interface, or the same resources answered here over the stored files when none
// runs (OpenChannel). Publishing and watching follow an instance's event stream and need one.

#include <filesystem>
#include <memory>
#include <optional>

#include "commands.h"
#include "wharfkeep/control/control_client.h"

namespace wharfkeep::app {

// The client of the instance that runs on the application-data folder, or nothing when
// none answers on its control socket.
std::optional<control::ControlClient> RunningInstance(const std::filesystem::path& app_folder);

// What a command does with the stored files when no instance runs: reading needs no lock;
// changing takes the folder's instance lock.
enum class ChannelUse { kRead, kChange };
// The running instance's client, or a channel here; null with the exit code set (and the
// reason printed) when neither can be had.
std::unique_ptr<control::ControlChannel> OpenChannel(ChannelUse use, int& exit_code);

// A command written once for both: the running instance's client and a channel here.
using ChannelCommand = int (*)(const control::ControlChannel& channel,
                               const CommandOptions& options);
// Runs `command` through the channel OpenChannel gives; its exit code when there is none.
int ThroughChannel(ChannelUse use, ChannelCommand command, const CommandOptions& options);
// The same as a command of its own, for the table of commands.
template <ChannelUse use, ChannelCommand command>
int RunThroughChannel(const CommandOptions& options) {
    return ThroughChannel(use, command, options);
}

int StatusThrough(const control::ControlChannel& channel, const CommandOptions& options);
int ListThrough(const control::ControlChannel& channel, const CommandOptions& options);
int PeersThrough(const control::ControlChannel& channel, const CommandOptions& options);
int RescanThrough(const control::ControlChannel& channel, const CommandOptions& options);
int WatchFolderThrough(const control::ControlChannel& channel, const CommandOptions& options);
int WithdrawThrough(const control::ControlChannel& channel, const CommandOptions& options);
int RemoveThrough(const control::ControlChannel& channel, const CommandOptions& options);
int ExportThrough(const control::ControlChannel& channel, const CommandOptions& options);
int ConfigThrough(const control::ControlChannel& channel, const CommandOptions& options);
int IpFilterThrough(const control::ControlChannel& channel, const CommandOptions& options);

int RemoteWatch(const control::ControlClient& client, const CommandOptions& options);
int RemotePublish(const control::ControlClient& client, const CommandOptions& options);

}  // namespace wharfkeep::app
