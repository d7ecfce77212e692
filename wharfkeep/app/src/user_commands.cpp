#include "user_commands.h"

#include <termios.h>
#include <unistd.h>

#include <ctime>
#include <iostream>
#include <nlohmann/json.hpp>
#include <optional>

#include "commands.h"
#include "platform/app_paths.h"
#include "wharfkeep/control/control_users.h"

namespace wharfkeep::app {
namespace {

using control::UserRecord;
using control::UserStore;

UserStore Store() {
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

std::string TimeText(std::int64_t seconds) {
    std::time_t time = seconds;
    char text[32];
    std::strftime(text, sizeof(text), "%Y-%m-%d %H:%M:%S", std::localtime(&time));
    return text;
}

int Fail(const std::string& error) {
    std::cerr << "wharfkeepd: " << error << "\n";
    return error.rfind("no user", 0) == 0 ? kExitNotFound : kExitFailed;
}

int Add(const UserOptions& options) {
    std::string error;
    std::optional<std::string> password = NewPassword(error);
    if (!password) {
        return Fail(error);
    }
    std::filesystem::create_directories(platform::app_data_folder());
    if (!Store().Add(options.name, *control::ParseScope(options.scope), *password, error)) {
        return Fail(error);
    }
    std::cout << "added user " << options.name << " (" << options.scope << ")" << std::endl;
    return kExitOk;
}

int Passwd(const UserOptions& options) {
    std::string error;
    UserStore store = Store();
    std::vector<UserRecord> users = store.List(error);
    bool known = std::any_of(users.begin(), users.end(),
                             [&](const UserRecord& user) { return user.name == options.name; });
    if (!error.empty() || !known) {
        return Fail(error.empty() ? "no user named " + options.name : error);
    }
    std::optional<std::string> password = NewPassword(error);
    if (!password || !store.SetPassword(options.name, *password, error)) {
        return Fail(error);
    }
    std::cout << "changed the password of " << options.name << "; its open sessions have ended"
              << std::endl;
    return kExitOk;
}

int List(const UserOptions& options) {
    std::string error;
    std::vector<UserRecord> users = Store().List(error);
    if (!error.empty()) {
        return Fail(error);
    }
    if (options.json) {
        nlohmann::json list = nlohmann::json::array();
        for (const UserRecord& user : users) {
            list.push_back({{"name", user.name},
                            {"scope", control::ScopeName(user.scope)},
                            {"created", user.created}});
        }
        std::cout << list.dump() << std::endl;
        return kExitOk;
    }
    for (const UserRecord& user : users) {
        std::cout << user.name << "  " << control::ScopeName(user.scope) << "  created "
                  << TimeText(user.created) << "\n";
    }
    if (users.empty()) {
        std::cout << "no users; add one with: wharfkeepd user add NAME --scope admin\n";
    }
    return kExitOk;
}

int Remove(const UserOptions& options) {
    std::string error;
    if (!Store().Remove(options.name, error)) {
        return Fail(error);
    }
    std::cout << "removed user " << options.name << "; its open sessions have ended" << std::endl;
    return kExitOk;
}

}  // namespace

CLI::App* AddUserCommands(CLI::App& app, UserOptions& options) {
    CLI::App* user = app.add_subcommand("user", "Add, list or remove the web console's users");
    user->require_subcommand(1);
    options.add = user->add_subcommand(
        "add", "Add a user; the password is read from the terminal or standard input");
    options.add->add_option("NAME", options.name, "User name")->required();
    options.add
        ->add_option("--scope", options.scope,
                     "read (sees everything), operate (and actions) or admin (and settings, "
                     "IP filter); default read")
        ->check(CLI::IsMember({"read", "operate", "admin"}))
        ->type_name("read|operate|admin");
    options.list = user->add_subcommand("list", "List the users (never their passwords)");
    options.list->add_flag("--json", options.json, "JSON");
    options.remove = user->add_subcommand("remove", "Remove a user; their sessions end");
    options.remove->add_option("NAME", options.name, "User name")->required();
    options.passwd = user->add_subcommand(
        "passwd", "Change a user's password (read as for add); their sessions end");
    options.passwd->add_option("NAME", options.name, "User name")->required();
    return user;
}

int RunUser(const UserOptions& options) {
    if (*options.add) {
        return Add(options);
    }
    if (*options.list) {
        return List(options);
    }
    if (*options.passwd) {
        return Passwd(options);
    }
    return Remove(options);
}

}  // namespace wharfkeep::app
