#include "platform/app_paths.h"

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <vector>

namespace platform {
namespace {

std::string env_or_empty(const char* name) {
    const char* value = std::getenv(name);
    return value ? std::string(value) : std::string();
}

std::filesystem::path home_folder() {
    std::string home = env_or_empty("HOME");
    return home.empty() ? std::filesystem::path("/tmp") : std::filesystem::path(home);
}

// Reads XDG_DESKTOP_DIR="$HOME/..." from user-dirs.dirs; empty when absent.
std::string xdg_desktop_dir() {
    std::ifstream in(home_folder() / ".config" / "user-dirs.dirs");
    std::string line;
    const std::string key = "XDG_DESKTOP_DIR=";
    while (std::getline(in, line)) {
        if (line.rfind(key, 0) != 0) {
            continue;
        }
        std::string value = line.substr(key.size());
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
            value = value.substr(1, value.size() - 2);
        }
        if (value.rfind("$HOME", 0) == 0) {
            value = home_folder().string() + value.substr(5);
        }
        return value;
    }
    return {};
}

}  // namespace

std::filesystem::path app_data_folder() {
    std::string explicit_home = env_or_empty("WHARFKEEP_HOME");
    if (!explicit_home.empty()) {
        return explicit_home;
    }
    std::string xdg = env_or_empty("XDG_DATA_HOME");
    if (!xdg.empty()) {
        return std::filesystem::path(xdg) / "Wharfkeep";
    }
    return home_folder() / ".local" / "share" / "Wharfkeep";
}

std::filesystem::path ensure_app_data_folder() {
    std::filesystem::path folder = app_data_folder();
    std::filesystem::create_directories(folder);
    return folder;
}

std::filesystem::path app_data_file(const std::string& name) {
    return app_data_folder() / name;
}

namespace {

// The desktop folder the settings name, whether or not it exists.
std::filesystem::path chosen_desktop_folder() {
    std::string explicit_desktop = env_or_empty("WHARFKEEP_DESKTOP");
    if (!explicit_desktop.empty()) {
        return explicit_desktop;
    }
    std::string xdg = xdg_desktop_dir();
    return xdg.empty() ? home_folder() / "Desktop" : std::filesystem::path(xdg);
}

}  // namespace

std::filesystem::path desktop_folder() {
    std::filesystem::path folder = chosen_desktop_folder();
    std::error_code ignored;
    std::filesystem::create_directories(folder, ignored);
    return folder;
}

std::optional<std::filesystem::path> existing_desktop_folder() {
    std::filesystem::path folder = chosen_desktop_folder();
    std::error_code ignored;
    if (!env_or_empty("WHARFKEEP_DESKTOP").empty() ||
        std::filesystem::is_directory(folder, ignored)) {
        return desktop_folder();
    }
    return std::nullopt;
}

std::filesystem::path temp_folder() {
    std::string tmp = env_or_empty("TMPDIR");
    return tmp.empty() ? std::filesystem::path("/tmp") : std::filesystem::path(tmp);
}

std::optional<std::filesystem::path> make_temp_file(const std::string& prefix) {
    std::string pattern = (temp_folder() / (prefix + "XXXXXX")).string();
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    int fd = ::mkstemp(name.data());
    if (fd < 0) {
        return std::nullopt;
    }
    ::close(fd);
    return std::filesystem::path(name.data());
}

}  // namespace platform
