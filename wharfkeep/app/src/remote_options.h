#pragma once
// The remote form of wharfkeepd's commands: --remote https://HOST:PORT (or WHARFKEEP_REMOTE)
// sends a command to that host's control interface instead of the local instance. The
// token comes from WHARFKEEP_TOKEN or --token-file, never from the command line; the
// server's certificate is checked against --cacert, or pinned with --fingerprint, or else
// by the system's trusted authorities.

#include <CLI/CLI.hpp>

#include <optional>
#include <string>

#include "wharfkeep/control/control_client.h"

namespace wharfkeep::app {

struct RemoteOptions {
    std::string url;
    std::string token_file;
    std::string ca_file;
    std::string fingerprint;
};

void AddRemoteOptions(CLI::App& app, RemoteOptions& options);

// Reads the options and the environment; false with `error` set when they are wrong (not
// https, an unreadable token file, both --cacert and --fingerprint). When a remote is
// named, commands reach it from then on (see RemoteTargetInUse).
bool ChooseRemote(const RemoteOptions& options, std::string& error);
const std::optional<control::RemoteTarget>& RemoteTargetInUse();

}  // namespace wharfkeep::app
