// wharfkeepd: the Wharfkeep host without windows, for servers and scripts.
//
//   wharfkeepd serve [--add DIR]...   serve until SIGINT or SIGTERM; SIGHUP reloads
//   wharfkeepd publish DIR...         add, publish, wait, summarise
//   wharfkeepd list [DIR] | export [DIR] [-o FILE|-] | withdraw PATH | remove DIR
//   wharfkeepd status | config [KEY [VALUE]] | ipfilter ...
//
// Every command works on the application-data folder ($WHARFKEEP_HOME, ...). Commands that
// change state take the folder's instance lock and refuse while another instance (a serve,
// the window program) holds it. Exit codes: commands.h.

#include <CLI/CLI.hpp>

#include <cstdlib>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "commands.h"
#include "console_host.h"
#include "platform/app_paths.h"
#include "platform/crash_handler.h"
#include "platform/version.h"

int main(int argc, char** argv) {
    using namespace wharfkeep::app;
    platform::install_crash_handler(
        platform::app_data_folder(),
        {platform::kVersionMajor, platform::kVersionMinor, platform::kVersionPatch, 0});
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
    serve->add_option("--add", options.directories, "Add and publish a folder (repeatable)");

    CLI::App* publish = app.add_subcommand("publish", "Add and publish folders, wait until done");
    publish->add_option("DIR", options.directories, "Folders to publish")->required();

    CLI::App* list = app.add_subcommand("list", "List media files and their states");
    list->add_option("DIR", options.path, "Only the files under this folder");

    CLI::App* export_links = app.add_subcommand("export", "Write the published links to a file");
    export_links->add_option("DIR", options.path, "Only this folder");
    export_links->add_option("-o,--output", options.output,
                             "File to write, - for standard output (default: a new list file "
                             "on the desktop, or in the current folder when there is none)");

    CLI::App* withdraw = app.add_subcommand("withdraw", "Withdraw a file, a folder or a GCID");
    withdraw->add_option("PATH", options.path, "Media file, folder or GCID")->required();

    CLI::App* remove = app.add_subcommand("remove", "Withdraw and forget a folder");
    remove->add_option("DIR", options.path, "Folder to remove")->required();

    CLI::App* status = app.add_subcommand("status", "Show the instance, settings and counts");

    CLI::App* config = app.add_subcommand("config", "Show or change a setting");
    config->add_option("KEY", options.key, "Setting name");
    config->add_option("VALUE", options.value,
                       "New value (VP_UploadSpeedLimit also takes rates such as 2MB/s or "
                       "800kbit/s)");

    CLI::App* ipfilter = app.add_subcommand("ipfilter", "Show or change the IP filter");
    ipfilter->add_option("ACTION", options.action,
                         "list | add FIRST [LAST] | delete INDEX | type allow|deny | enable | "
                         "disable");
    ipfilter->add_option("ARGS", options.arguments, "Arguments of the action");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        // --help and --version end with code 0; every real parse error is a usage error.
        const int code = app.exit(error);
        return code == 0 ? kExitOk : kExitUsage;
    }
    ConfigureLog(log_level);

    if (*serve) {
        return RunServe(options);
    }
    if (*publish) {
        return RunPublish(options);
    }
    if (*list) {
        return RunList(options);
    }
    if (*export_links) {
        return RunExport(options);
    }
    if (*withdraw) {
        return RunWithdraw(options);
    }
    if (*remove) {
        return RunRemove(options);
    }
    if (*status) {
        return RunStatus(options);
    }
    if (*config) {
        return RunConfig(options);
    }
    if (*ipfilter) {
        return RunIpFilter(options);
    }
    return kExitUsage;
}
