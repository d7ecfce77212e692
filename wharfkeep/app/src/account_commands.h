#pragma once
// wharfkeepd's account commands, kept in the application-data folder (a running instance
// sees a change at its next request):
//   token create NAME --scope read|operate|admin | list [--json] | revoke NAME: the API
//   tokens of the control interface's TCP listener;
//   user add NAME --scope read|operate|admin | list [--json] | remove NAME | passwd NAME:
//   the people who may log in to the web console. Passwords are read from the terminal
//   without echo, or as one line of standard input when that is not a terminal; never from
//   the command line, where other users and the shell history would see them.

#include <CLI/CLI.hpp>

#include <string>

namespace wharfkeep::app {

// What the token and user commands take, and which of them was chosen.
struct AccountOptions {
    std::string name;
    std::string scope = "read";
    bool json = false;
    int (*run)(const AccountOptions& options) = nullptr;  // set while the line is parsed
};

// Adds "token" and its three commands to `app`; returns "token".
CLI::App* AddTokenCommands(CLI::App& app, AccountOptions& options);
// Adds "user" and its four commands to `app`; returns "user".
CLI::App* AddUserCommands(CLI::App& app, AccountOptions& options);

// Runs the token or user command chosen on the command line.
int RunAccountCommand(const AccountOptions& options);

}  // namespace wharfkeep::app
