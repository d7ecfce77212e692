#pragma once
// wharfkeepd user add NAME --scope read|operate|admin | list [--json] | remove NAME |
// passwd NAME: the people who may log in to the web console, kept in the application-data
// folder (a running instance sees a change at its next request). Passwords are read from
// the terminal without echo, or as one line of standard input when that is not a terminal;
// never from the command line, where other users and the shell history would see them.

#include <CLI/CLI.hpp>

#include <string>

namespace wharfkeep::app {

struct UserOptions {
    std::string name;
    std::string scope = "read";
    bool json = false;
    CLI::App* add = nullptr;
    CLI::App* list = nullptr;
    CLI::App* remove = nullptr;
    CLI::App* passwd = nullptr;
};

// Adds "user" and its four commands to `app`; returns "user".
CLI::App* AddUserCommands(CLI::App& app, UserOptions& options);
int RunUser(const UserOptions& options);

}  // namespace wharfkeep::app
