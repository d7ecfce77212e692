#include "token_commands.h"

#include <ctime>
#include <iostream>
#include <nlohmann/json.hpp>

#include "commands.h"
#include "platform/app_paths.h"
#include "wharfkeep/control/api_tokens.h"

namespace wharfkeep::app {
namespace {

using control::TokenRecord;
using control::TokenStore;

TokenStore Store() {
    return TokenStore(platform::app_data_folder() / control::kTokenFileName);
}

std::string TimeText(std::int64_t seconds) {
    if (seconds == 0) {
        return "never";
    }
    std::time_t time = seconds;
    char text[32];
    std::strftime(text, sizeof(text), "%Y-%m-%d %H:%M:%S", std::localtime(&time));
    return text;
}

int Create(const TokenOptions& options) {
    std::string error;
    std::filesystem::create_directories(platform::app_data_folder());
    std::optional<std::string> token =
        Store().Create(options.name, *control::ParseScope(options.scope), error);
    if (!token) {
        std::cerr << "wharfkeepd: " << error << "\n";
        return kExitFailed;
    }
    std::cout << *token << std::endl;
    std::cerr << "token " << options.name << " (" << options.scope
              << "): keep it now, it is not shown again\n";
    return kExitOk;
}

int List(const TokenOptions& options) {
    std::string error;
    std::vector<TokenRecord> records = Store().List(error);
    if (!error.empty()) {
        std::cerr << "wharfkeepd: " << error << "\n";
        return kExitFailed;
    }
    if (options.json) {
        nlohmann::json list = nlohmann::json::array();
        for (const TokenRecord& record : records) {
            list.push_back({{"name", record.name},
                            {"scope", control::ScopeName(record.scope)},
                            {"created", record.created},
                            {"last_used", record.last_used}});
        }
        std::cout << list.dump() << std::endl;
        return kExitOk;
    }
    for (const TokenRecord& record : records) {
        std::cout << record.name << "  " << control::ScopeName(record.scope) << "  created "
                  << TimeText(record.created) << "  last used " << TimeText(record.last_used)
                  << "\n";
    }
    if (records.empty()) {
        std::cout << "no tokens; make one with: wharfkeepd token create NAME --scope read\n";
    }
    return kExitOk;
}

int Revoke(const TokenOptions& options) {
    std::string error;
    if (!Store().Revoke(options.name, error)) {
        std::cerr << "wharfkeepd: " << error << "\n";
        return error.rfind("no token", 0) == 0 ? kExitNotFound : kExitFailed;
    }
    std::cout << "revoked " << options.name << std::endl;
    return kExitOk;
}

}  // namespace

CLI::App* AddTokenCommands(CLI::App& app, TokenOptions& options) {
    CLI::App* token =
        app.add_subcommand("token", "Make, list or revoke API tokens for remote control");
    token->require_subcommand(1);
    options.create = token->add_subcommand("create", "Make a token and print it, once");
    options.create->add_option("NAME", options.name, "Name of the token")->required();
    options.create
        ->add_option("--scope", options.scope,
                     "read (every GET, events, metrics), operate (and actions) or admin (and "
                     "settings, IP filter, tokens); default read")
        ->check(CLI::IsMember({"read", "operate", "admin"}))
        ->type_name("read|operate|admin");
    options.list = token->add_subcommand("list", "List the tokens (never their text)");
    options.list->add_flag("--json", options.json, "JSON");
    options.revoke = token->add_subcommand("revoke", "Revoke a token at once");
    options.revoke->add_option("NAME", options.name, "Name of the token")->required();
    return token;
}

int RunToken(const TokenOptions& options) {
    if (*options.create) {
        return Create(options);
    }
    if (*options.list) {
        return List(options);
    }
    return Revoke(options);
}

}  // namespace wharfkeep::app
