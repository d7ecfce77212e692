// wharfkeepd: the Wharfkeep host without windows, for servers and scripts.
//
//   wharfkeepd serve [--add DIR]...   serve until SIGINT or SIGTERM
//   wharfkeepd publish DIR...         add, publish, wait, summarise
//   wharfkeepd list [DIR] | export [DIR] [-o FILE] | withdraw PATH | remove DIR
//   wharfkeepd status | config [KEY [VALUE]] | ipfilter ...
//
// Every command works on the application-data folder ($WHARFKEEP_HOME, ...). Commands that
// change state take the folder's instance lock and refuse while another instance (a serve,
// the window program) holds it.

#include <CLI/CLI.hpp>

#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "commands.h"
#include "platform/app_paths.h"
#include "platform/crash_handler.h"

int main(int argc, char** argv) {
    using namespace wharfkeep::app;
    platform::install_crash_handler(platform::app_data_folder(), {0, 1, 0, 0});
    CLI::App app{"Wharfkeep resource server without windows", "wharfkeepd"};
    app.require_subcommand(1);
    CommandOptions options;

    CLI::App* serve =
        app.add_subcommand("serve", "Start up, serve peers and lists until SIGINT or SIGTERM");
    serve->add_option("--add", options.directories, "Add and publish a folder (repeatable)");

    CLI::App* publish = app.add_subcommand("publish", "Add and publish folders, wait until done");
    publish->add_option("DIR", options.directories, "Folders to publish")->required();

    CLI::App* list = app.add_subcommand("list", "List media files and their states");
    list->add_option("DIR", options.path, "Only the files under this folder");

    CLI::App* export_links = app.add_subcommand("export", "Write the published links to a file");
    export_links->add_option("DIR", options.path, "Only this folder");
    export_links->add_option("-o,--output", options.output,
                             "File to write (default: a new list file on the desktop)");

    CLI::App* withdraw = app.add_subcommand("withdraw", "Withdraw a file, a folder or a GCID");
    withdraw->add_option("PATH", options.path, "Media file, folder or GCID")->required();

    CLI::App* remove = app.add_subcommand("remove", "Withdraw and forget a folder");
    remove->add_option("DIR", options.path, "Folder to remove")->required();

    CLI::App* status = app.add_subcommand("status", "Show the instance, settings and counts");

    CLI::App* config = app.add_subcommand("config", "Show or change a setting");
    config->add_option("KEY", options.key, "Setting name");
    config->add_option("VALUE", options.value, "New value");

    CLI::App* ipfilter = app.add_subcommand("ipfilter", "Show or change the IP filter");
    ipfilter->add_option("ACTION", options.action,
                         "list | add ADDRESS|CIDR|FIRST-LAST|FIRST LAST | import FILE | "
                         "export [FILE|-] | delete INDEX | type allow|deny | enable | disable");
    ipfilter->add_option("ARGS", options.arguments, "Arguments of the action");

    CLI11_PARSE(app, argc, argv);

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
