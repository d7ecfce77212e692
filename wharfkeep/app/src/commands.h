#pragma once
// The commands of wharfkeepd. Each returns the process exit code.

#include <string>
#include <vector>

namespace wharfkeep::app {

// The exit codes of every command, one map (also in wharfkeepd(1)):
enum ExitCode : int {
    kExitOk = 0,
    kExitFailed = 1,           // a file failed, an export failed, a folder is unusable
    kExitUsage = 2,            // bad arguments or values, also the command line's own errors
    kExitInstanceRunning = 3,  // another instance holds the application-data folder
    kExitNotFound = 4,         // the path, folder or GCID is not known
    kExitPortInUse = 5,        // serve: a service port cannot be bound
    kExitFolderUnusable = 6,   // the application-data folder cannot be created or written
};

struct CommandOptions {
    std::vector<std::string> directories;
    std::string path;
    std::string output;
    std::string key;
    std::string value;
    std::string action;
    std::vector<std::string> arguments;
    bool json = false;  // listings in the control interface's JSON
    std::string sort;   // peers: "speed" (default) or "none"
};

int RunServe(const CommandOptions& options);
int RunPublish(const CommandOptions& options);
int RunStatus(const CommandOptions& options);
int RunConfig(const CommandOptions& options);
int RunIpFilter(const CommandOptions& options);
int RunPeers(const CommandOptions& options);
int RunWatch(const CommandOptions& options);
// Copies the database with SQLite's online backup; works while an instance serves.
int RunBackup(const CommandOptions& options);

}  // namespace wharfkeep::app
