#pragma once
// wharfkeepd token create NAME --scope read|operate|admin | list [--json] | revoke NAME:
// the API tokens of the control interface's TCP listener, kept in the application-data
// folder (a running instance sees a change at its next request).

#include <CLI/CLI.hpp>

#include <string>

namespace wharfkeep::app {

struct TokenOptions {
    std::string name;
    std::string scope = "read";
    bool json = false;
    CLI::App* create = nullptr;
    CLI::App* list = nullptr;
    CLI::App* revoke = nullptr;
};

// Adds "token" and its three commands to `app`; returns "token".
CLI::App* AddTokenCommands(CLI::App& app, TokenOptions& options);
int RunToken(const TokenOptions& options);

}  // namespace wharfkeep::app
