#include "account_commands.h"

#include <termios.h>
#include <unistd.h>

#include <ctime>
#include <iostream>
#include <nlohmann/json.hpp>
#include <optional>

#include "commands.h"
#include "platform/app_paths.h"
#include "wharfkeep/control/api_tokens.h"
#include "wharfkeep/control/control_json.h"
#include "wharfkeep/control/control_users.h"

namespace wharfkeep::app {
namespace {

using control::StoreRefusal;
using control::TokenRecord;
using control::TokenStore;
using control::UserRecord;
using control::UserStore;

// --- What the token and user commands share ---

std::string TimeText(std::int64_t seconds) {
    std::time_t time = seconds;
    char text[32];
    std::strftime(text, sizeof(text), "%Y-%m-%d %H:%M:%S", std::localtime(&time));
    return text;
}

// Prints `error`; an unknown name is "not found", anything else a failure.
int Fail(const std::string& error, StoreRefusal why = StoreRefusal::kNone) {
    std::cerr << "wharfkeepd: " << error << "\n";
    return why == StoreRefusal::kUnknown ? kExitNotFound : kExitFailed;
}

// What a line of a listing shows of every token and user.
std::string SummaryLine(const control::CredentialsEntry& record) {
    return record.name + "  " + control::ScopeName(record.scope) + "  created " +
           TimeText(record.created);
}

// The store's records one a line (`line`), or as one JSON array with --json; `none` when
// there are none.
template <typename Store, typename ToLine>
int ListRecords(const Store& store, const AccountOptions& options, ToLine line, const char* none) {
    std::string error;
    const auto records = store.List(error);
    if (!error.empty()) {
        return Fail(error);
    }
    if (options.json) {
        std::cout << control::ToJson(records).dump() << std::endl;
        return kExitOk;
    }
    for (const auto& record : records) {
        std::cout << line(record) << "\n";
    }
    if (records.empty()) {
        std::cout << none;
    }
    return kExitOk;
}

// Adds the command's `NAME` argument.
void AddName(CLI::App* command, AccountOptions& options, const char* help) {
    command->add_option("NAME", options.name, help)->required();
}

// Adds the command `name` to `group`, to be run by `run` when chosen.
CLI::App* AddCommand(CLI::App* group, AccountOptions& options, const char* name, const char* help,
                     int (*run)(const AccountOptions&)) {
    CLI::App* command = group->add_subcommand(name, help);
    command->callback([&options, run] { options.run = run; });
    return command;
}

// What the token and user commands both have: a group of which one command is chosen, a
// command that makes an entry from NAME and --scope, and "list" with --json.
struct AccountFamily {
    const char* group;
    const char* group_help;
    const char* make;
    const char* make_help;
    int (*make_run)(const AccountOptions&);
    const char* name_help;   // what NAME is
    const char* scope_help;  // what each scope allows
    const char* list_help;
    int (*list_run)(const AccountOptions&);
};

// Adds `family`'s group and its shared commands to `app`; returns the group.
CLI::App* AddFamily(CLI::App& app, AccountOptions& options, const AccountFamily& family) {
    CLI::App* group = app.add_subcommand(family.group, family.group_help);
    group->require_subcommand(1);
    CLI::App* make = AddCommand(group, options, family.make, family.make_help, family.make_run);
    AddName(make, options, family.name_help);
    make->add_option("--scope", options.scope, family.scope_help)
        ->check(CLI::IsMember({"read", "operate", "admin"}))
        ->type_name("read|operate|admin");
    AddCommand(group, options, "list", family.list_help, family.list_run)
        ->add_flag("--json", options.json, "JSON");
    return group;
}

// --- Tokens ---

TokenStore Tokens() {
    return TokenStore(platform::app_data_folder() / control::kTokenFileName);
}

int CreateToken(const AccountOptions& options) {
    std::string error;
    std::filesystem::create_directories(platform::app_data_folder());
    std::optional<std::string> token =
        Tokens().Create(options.name, *control::ParseScope(options.scope), error);
    if (!token) {
        return Fail(error);
    }
    std::cout << *token << std::endl;
    std::cerr << "token " << options.name << " (" << options.scope
              << "): keep it now, it is not shown again\n";
    return kExitOk;
}

int ListTokens(const AccountOptions& options) {
    return ListRecords(
        Tokens(), options,
        [](const TokenRecord& record) {
            return SummaryLine(record) + "  last used " +
                   (record.last_used == 0 ? "never" : TimeText(record.last_used));
        },
        "no tokens; make one with: wharfkeepd token create NAME --scope read\n");
}

int RevokeToken(const AccountOptions& options) {
    std::string error;
    StoreRefusal why = StoreRefusal::kNone;
    if (!Tokens().Revoke(options.name, error, &why)) {
        return Fail(error, why);
    }
    std::cout << "revoked " << options.name << std::endl;
    return kExitOk;
}

// --- Users ---

UserStore Users() {
    return UserStore(platform::app_data_folder() / control::kUsersFileName);
}

// One line of standard input without its line end; nothing at its end.
std::optional<std::string> ReadLine() {
    std::string line;
    if (!std::getline(std::cin, line)) {
        return std::nullopt;
    }
    if (!line.empty() && line.back() == '\r') {
        line.pop_back();
    }
    return line;
}

// A line typed at the terminal with echo off, the prompt on standard error.
std::optional<std::string> ReadHidden(const char* prompt) {
    std::cerr << prompt << std::flush;
    termios saved{};
    bool restore = ::tcgetattr(STDIN_FILENO, &saved) == 0;
    if (restore) {
        termios quiet = saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        quiet.c_lflag |= ECHONL;
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    }
    std::optional<std::string> line = ReadLine();
    if (restore) {
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
    }
    return line;
}

// The new password: typed twice at a terminal, or one line of standard input.
std::optional<std::string> NewPassword(std::string& error) {
    if (!::isatty(STDIN_FILENO)) {
        std::optional<std::string> line = ReadLine();
        if (!line) {
            error = "no password on standard input (one line is read)";
        }
        return line;
    }
    std::optional<std::string> first = ReadHidden("New password: ");
    std::optional<std::string> second = first ? ReadHidden("Again: ") : std::nullopt;
    if (!first || !second) {
        error = "no password given";
        return std::nullopt;
    }
    if (*first != *second) {
        error = "the two passwords differ";
        return std::nullopt;
    }
    return first;
}

int AddUser(const AccountOptions& options) {
    std::string error;
    std::optional<std::string> password = NewPassword(error);
    if (!password) {
        return Fail(error);
    }
    std::filesystem::create_directories(platform::app_data_folder());
    if (!Users().Add(options.name, *control::ParseScope(options.scope), *password, error)) {
        return Fail(error);
    }
    std::cout << "added user " << options.name << " (" << options.scope << ")" << std::endl;
    return kExitOk;
}

int ChangePassword(const AccountOptions& options) {
    std::string error;
    UserStore store = Users();
    std::vector<UserRecord> users = store.List(error);
    if (!error.empty()) {
        return Fail(error);
    }
    bool known = std::any_of(users.begin(), users.end(),
                             [&](const UserRecord& user) { return user.name == options.name; });
    if (!known) {
        return Fail("no user named " + options.name, StoreRefusal::kUnknown);
    }
    StoreRefusal why = StoreRefusal::kNone;
    std::optional<std::string> password = NewPassword(error);
    if (!password || !store.SetPassword(options.name, *password, error, &why)) {
        return Fail(error, why);
    }
    std::cout << "changed the password of " << options.name << "; its open sessions have ended"
              << std::endl;
    return kExitOk;
}

int ListUsers(const AccountOptions& options) {
    return ListRecords(Users(), options, SummaryLine,
                       "no users; add one with: wharfkeepd user add NAME --scope admin\n");
}

int RemoveUser(const AccountOptions& options) {
    std::string error;
    StoreRefusal why = StoreRefusal::kNone;
    if (!Users().Remove(options.name, error, UserStore::LastAdmin::kMayGo, &why)) {
        return Fail(error, why);
    }
    std::cout << "removed user " << options.name << "; its open sessions have ended" << std::endl;
    return kExitOk;
}

}  // namespace

CLI::App* AddTokenCommands(CLI::App& app, AccountOptions& options) {
    CLI::App* token = AddFamily(
        app, options,
        {"token", "Make, list or revoke API tokens for remote control", "create",
         "Make a token and print it, once", CreateToken, "Name of the token",
         "read (every GET, events, metrics), operate (and actions) or admin (and settings, IP "
         "filter, tokens); default read",
         "List the tokens (never their text)", ListTokens});
    AddName(AddCommand(token, options, "revoke", "Revoke a token at once", RevokeToken), options,
            "Name of the token");
    return token;
}

CLI::App* AddUserCommands(CLI::App& app, AccountOptions& options) {
    CLI::App* user = AddFamily(
        app, options,
        {"user", "Add, list or remove the web console's users", "add",
         "Add a user; the password is read from the terminal or standard input", AddUser,
         "User name",
         "read (sees everything), operate (and actions) or admin (and settings, IP filter); "
         "default read",
         "List the users (never their passwords)", ListUsers});
    AddName(AddCommand(user, options, "remove", "Remove a user; their sessions end", RemoveUser),
            options, "User name");
    AddName(AddCommand(user, options, "passwd",
                       "Change a user's password (read as for add); their sessions end",
                       ChangePassword),
            options, "User name");
    return user;
}

int RunAccountCommand(const AccountOptions& options) {
    return options.run(options);
}

}  // namespace wharfkeep::app
