// wharfkeepd: the Wharfkeep host without windows, for servers and scripts.
//
//   wharfkeepd serve [--add DIR]...   serve until SIGINT or SIGTERM; SIGHUP reloads
//   wharfkeepd publish DIR...         add, publish, wait, summarise
//   wharfkeepd list [DIR] | export [DIR] [-o FILE|-] | withdraw PATH | remove DIR
//   wharfkeepd status | peers | watch | rescan DIR | watch-folder DIR on|off
//   wharfkeepd config [KEY [VALUE]] | ipfilter ... | check-config | backup FILE
//   wharfkeepd token create NAME --scope read|operate|admin | list | revoke NAME
//   wharfkeepd fleet status FILE [--json]      every host of FILE at once
//   wharfkeepd user add NAME --scope read|operate|admin | list | remove NAME | passwd NAME
//   wharfkeepd --remote https://HOST:PORT COMMAND ...   the command on another host
//   wharfkeepd --list-commands | --list-settings | --list-options | --list-ini-keys
//                                      (hidden) what the man page must document
//   wharfkeepd --man-commands          (hidden) the man page's command synopses
//
// Every command works on the application-data folder ($WHARFKEEP_HOME, ...). While an
// instance (a serve, the window program) runs on it, commands go through that instance's
// control interface; otherwise they use the database directly, and commands that change
// state take the folder's instance lock. Exit codes: commands.h.

#include <CLI/CLI.hpp>

#include <cstdlib>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "account_commands.h"
#include "check_config.h"
#include "commands.h"
#include "console_host.h"
#include "fleet_commands.h"
#include "platform/app_paths.h"
#include "platform/crash_handler.h"
#include "platform/version.h"
#include "remote_commands.h"
#include "remote_options.h"
#include "wharfkeep/settings/config_check.h"
#include "wharfkeep/settings/setting_table.h"

namespace {

using wharfkeep::app::CommandOptions;

// Publishing, which a running instance does with its event stream, and which runs here on
// the stored files when no instance runs.
int HereOrByTheInstance(int (*here)(const CommandOptions&),
                        int (*by_instance)(const wharfkeep::control::ControlClient&,
                                           const CommandOptions&),
                        const CommandOptions& options) {
    if (std::optional<wharfkeep::control::ControlClient> client =
            wharfkeep::app::RunningInstance(platform::app_data_folder())) {
        return by_instance(*client, options);
    }
    return here(options);
}

// One full command path per line ("token create"), parents before their subcommands, in
// the order they were defined: what the man page must document.
void PrintCommandPaths(const CLI::App& parent, const std::string& prefix) {
    for (const CLI::App* command : parent.get_subcommands({})) {
        const std::string path = prefix + command->get_name();
        std::cout << path << "\n";
        PrintCommandPaths(*command, path + " ");
    }
}

// The named options of `command` and of its subcommands by their long name, each after its
// command path ("token create --scope"; none for the program's own). Positional arguments
// and the help flag every command has are left out, and so are hidden options.
void PrintOptions(const CLI::App& command, const std::string& prefix) {
    for (const CLI::Option* option : command.get_options()) {
        if (option->nonpositional() && !option->get_group().empty() &&
            (prefix.empty() || option != command.get_help_ptr())) {
            std::cout << prefix << option->get_name(false, false) << "\n";
        }
    }
    for (const CLI::App* subcommand : command.get_subcommands({})) {
        PrintOptions(*subcommand, prefix + subcommand->get_name() + " ");
    }
}

// Roff text of a name: minus signs as "\-", so that they are not typeset as hyphens.
std::string Roff(const std::string& text) {
    std::string roff;
    for (char c : text) {
        roff += c == '-' ? std::string("\\-") : std::string(1, c);
    }
    return roff;
}

// One argument or option of a command's synopsis in roff: "\fIDIR\fR",
// "[\fB\-\-sort\fR \fIspeed|none\fR]", "[\fB\-o\fR, \fB\-\-output\fR \fIFILE|\-\fR]";
// brackets when it is optional, "..." when it repeats.
std::string SynopsisPart(const CLI::Option& option) {
    std::string part;
    if (option.get_positional()) {
        part = "\\fI" + Roff(option.get_name()) + "\\fR";
    } else {
        for (const std::string& name : option.get_snames()) {
            part += "\\fB\\-" + Roff(name) + "\\fR, ";
        }
        part += "\\fB\\-\\-" + Roff(option.get_lnames().front()) + "\\fR";
        // The value's name, without the validators' descriptions CLI11 appends; a flag has
        // none.
        const std::string type = option.get_type_name();
        if (const std::string value = type.substr(0, type.find(':')); !value.empty()) {
            part += " \\fI" + Roff(value) + "\\fR";
        }
    }
    if (!option.get_required()) {
        part = "[" + part + "]";
    }
    return option.get_items_expected_max() > 1 ? part + "..." : part;
}

// The entry tag of every command without subcommands, as "PATH<tab>ROFF": the path in bold
// and its arguments and options as SynopsisPart writes them, in the order they were defined.
// The build puts each tag into the man page where the page names the path.
void PrintManCommandTags(const CLI::App& parent, const std::string& prefix) {
    for (const CLI::App* command : parent.get_subcommands({})) {
        const std::string path = prefix + command->get_name();
        if (!command->get_subcommands({}).empty()) {
            PrintManCommandTags(*command, path + " ");
            continue;
        }
        std::string synopsis;
        for (const CLI::Option* option : command->get_options()) {
            if (option != command->get_help_ptr() && !option->get_group().empty()) {
                synopsis += " " + SynopsisPart(*option);
            }
        }
        std::cout << path << "\t"
                  << (synopsis.empty() ? ".B \"" + Roff(path) + "\""
                                       : ".BR \"" + Roff(path) + "\" \"" + synopsis + "\"")
                  << "\n";
    }
}

// Hidden options for the packaging checks: they print what the man page must cover, one
// name per line, and end before any subcommand is required.
void AddListingOptions(CLI::App& app) {
    app.add_flag_callback(
           "--list-commands",
           [&app] {
               PrintCommandPaths(app, "");
               throw CLI::Success();
           },
           "Print every command path, one per line")
        ->group("");
    app.add_flag_callback(
           "--list-settings",
           [] {
               for (const wharfkeep::settings::SettingEntry& entry :
                    wharfkeep::settings::AllSettings()) {
                   std::cout << entry.key << "\n";
               }
               throw CLI::Success();
           },
           "Print every setting key, one per line")
        ->group("");
    app.add_flag_callback(
           "--list-options",
           [&app] {
               PrintOptions(app, "");
               throw CLI::Success();
           },
           "Print every option of the program and of its commands, one per line")
        ->group("");
    app.add_flag_callback(
           "--man-commands",
           [&app] {
               PrintManCommandTags(app, "");
               throw CLI::Success();
           },
           "Print the man page's entry tag of every command, as PATH<tab>ROFF")
        ->group("");
    app.add_flag_callback(
           "--list-ini-keys",
           [] {
               for (const wharfkeep::settings::IniKey& key : wharfkeep::settings::AllIniKeys()) {
                   std::cout << "[" << key.section << "] " << key.key << "\n";
               }
               throw CLI::Success();
           },
           "Print every key of Wharfkeep.ini as [SECTION] KEY, one per line")
        ->group("");
}

}  // namespace

int main(int argc, char** argv) {
    using namespace wharfkeep::app;
    platform::install_crash_handler(platform::app_data_folder(), platform::program_version());
    CLI::App app{"Wharfkeep resource server without windows", "wharfkeepd"};
    app.set_version_flag("--version", std::string("wharfkeepd ") + platform::kVersion);
    app.require_subcommand(1);
    CommandOptions options;
    std::optional<std::string> log_level;
    app.add_option("--log-level", log_level,
                   "error, warning, info or debug (default: [log] level of Wharfkeep.ini, "
                   "else info)")
        ->check(CLI::IsMember({"error", "warning", "warn", "info", "debug"}, CLI::ignore_case));

    CLI::App* serve = app.add_subcommand(
        "serve", "Start up, serve peers and lists until SIGINT or SIGTERM (SIGHUP reloads)");
    serve->add_option("--add", options.directories, "Add and publish a folder (repeatable)")
        ->type_name("DIR");

    CLI::App* publish =
        app.add_subcommand("publish", "Publish folders (added first) or files, wait until done");
    publish->add_option("PATH", options.directories, "Folders or media files")->required();

    CLI::App* list = app.add_subcommand("list", "List media files and their states");
    list->add_option("DIR", options.path, "Only the files under this folder");
    list->add_flag("--json", options.json, "JSON, as the control interface answers");

    CLI::App* export_links = app.add_subcommand("export", "Write the published links to a file");
    export_links->add_option("DIR", options.path, "Only this folder");
    export_links
        ->add_option("-o,--output", options.output,
                     "File to write, - for standard output (default: a new list file "
                     "on the desktop, or in the current folder when there is none)")
        ->type_name("FILE|-");

    CLI::App* withdraw = app.add_subcommand("withdraw", "Withdraw a file, a folder or a GCID");
    withdraw->add_option("PATH", options.path, "Media file, folder or GCID")->required();

    CLI::App* remove = app.add_subcommand("remove", "Withdraw and forget a folder");
    remove->add_option("DIR", options.path, "Folder to remove")->required();

    CLI::App* status = app.add_subcommand("status", "Show the services, figures and counts");
    status->add_flag("--json", options.json, "JSON, as the control interface answers");

    CLI::App* peers = app.add_subcommand("peers", "List the peer connections of the instance");
    peers->add_option("GCID", options.path, "Only the peers of this file");
    peers->add_option("--sort", options.sort, "speed (fastest first, default) or none")
        ->check(CLI::IsMember({"speed", "none"}))
        ->type_name("speed|none");
    peers->add_flag("--json", options.json, "JSON, as the control interface answers");

    CLI::App* watch = app.add_subcommand("watch", "Print the instance's events as they happen");
    watch->add_flag("--json", options.json, "One JSON object per event");

    CLI::App* rescan =
        app.add_subcommand("rescan", "Rescan an added folder for new and gone files");
    rescan->add_option("DIR", options.path, "Added folder")->required();

    CLI::App* watch_folder = app.add_subcommand(
        "watch-folder", "Publish new files of an added folder by themselves once settled (on|off)");
    watch_folder->add_option("DIR", options.path, "Added folder")->required();
    watch_folder->add_option("STATE", options.action, "on or off")
        ->required()
        ->check(CLI::IsMember({"on", "off"}));

    CLI::App* config = app.add_subcommand("config", "Show or change a setting");
    config->add_option("KEY", options.key, "Setting name");
    config->add_option("VALUE", options.value,
                       "New value (VP_UploadSpeedLimit also takes rates such as 2MB/s or "
                       "800kbit/s)");
    config->add_flag("--json", options.json, "JSON, as the control interface answers");

    CLI::App* ipfilter = app.add_subcommand("ipfilter", "Show or change the IP filter");
    ipfilter->add_option("ACTION", options.action,
                         "list | add ADDRESS|CIDR|FIRST-LAST|FIRST LAST | import FILE | "
                         "export [FILE|-] | delete INDEX | type allow|deny | enable | disable");
    ipfilter->add_option("ARGS", options.arguments, "Arguments of the action");
    ipfilter->add_flag("--json", options.json, "JSON, as the control interface answers");

    AccountOptions token_options;
    CLI::App* token = AddTokenCommands(app, token_options);
    FleetOptions fleet_options;
    CLI::App* fleet = AddFleetCommands(app, fleet_options);
    AccountOptions user_options;
    CLI::App* user = AddUserCommands(app, user_options);
    RemoteOptions remote_options;
    AddRemoteOptions(app, remote_options);
    CLI::App* check_config = app.add_subcommand(
        "check-config", "Check Wharfkeep.ini and the stored settings; exit 1 on any problem");
    CLI::App* backup = app.add_subcommand(
        "backup", "Copy the database to FILE, checked, also while an instance serves");
    backup->add_option("FILE", options.output, "Where the copy goes (replaced when whole)")
        ->required();
    AddListingOptions(app);

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        // --help and --version end with code 0; every real parse error is a usage error.
        const int code = app.exit(error);
        return code == 0 ? kExitOk : kExitUsage;
    }
    ConfigureLog(log_level);
    if (*fleet) {
        return RunFleetStatus(fleet_options);  // names its hosts itself
    }
    std::string remote_error;
    if (!ChooseRemote(remote_options, remote_error)) {
        std::cerr << "wharfkeepd: " << remote_error << "\n";
        return kExitUsage;
    }
    if (RemoteTargetInUse()) {
        if (*serve || *token || *user || *check_config || *backup) {
            std::cerr << "wharfkeepd: "
                      << (*serve          ? "serve"
                          : *token        ? "token"
                          : *user         ? "user"
                          : *check_config ? "check-config"
                                          : "backup")
                      << " runs only on the host itself, not with --remote\n";
            return kExitUsage;
        }
    }
    if (*token) {
        return RunAccountCommand(token_options);
    }
    if (*user) {
        return RunAccountCommand(user_options);
    }

    using RunHere = int (*)(const CommandOptions&);
    using RunByInstance = int (*)(const wharfkeep::control::ControlClient&, const CommandOptions&);
    // Commands without a function for the instance decide themselves where they run; most
    // send their requests through a channel to the instance or to the stored files here.
    const struct {
        CLI::App* command;
        RunHere here;
        RunByInstance by_instance;
    } commands[] = {
        {serve, RunServe, nullptr},
        {publish, RunPublish, RemotePublish},
        {list, RunThroughChannel<ChannelUse::kRead, ListThrough>, nullptr},
        {export_links, RunThroughChannel<ChannelUse::kRead, ExportThrough>, nullptr},
        {withdraw, RunThroughChannel<ChannelUse::kChange, WithdrawThrough>, nullptr},
        {remove, RunThroughChannel<ChannelUse::kChange, RemoveThrough>, nullptr},
        {status, RunStatus, nullptr},
        {config, RunConfig, nullptr},
        {ipfilter, RunIpFilter, nullptr},
        {peers, RunPeers, nullptr},
        {watch, RunWatch, nullptr},
        {rescan, RunThroughChannel<ChannelUse::kChange, RescanThrough>, nullptr},
        {watch_folder, RunThroughChannel<ChannelUse::kChange, WatchFolderThrough>, nullptr},
        {check_config, RunCheckConfig, nullptr},
        {backup, RunBackup, nullptr},
    };
    for (const auto& entry : commands) {
        if (*entry.command) {
            return entry.by_instance != nullptr
                       ? HereOrByTheInstance(entry.here, entry.by_instance, options)
                       : entry.here(options);
        }
    }
    return kExitUsage;
}
