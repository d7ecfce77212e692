#pragma once
// A fresh folder for one test, removed with everything in it when the test ends. TempHome
// also points WHARFKEEP_HOME at it while it lives; TempHomeAndDesktop makes the program's
// application-data folder, its desktop and a media folder side by side in one.

#include <stdlib.h>

#include <filesystem>
#include <string>

namespace platform::testing {

class TempFolder {
public:
    explicit TempFolder(const std::string& prefix = "wk-test", const std::string& parent = "/tmp") {
        std::string pattern = parent + "/" + prefix + "-XXXXXX";
        if (::mkdtemp(pattern.data()) != nullptr) {
            path_ = pattern;
        }
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    ~TempFolder() {
        std::error_code ignored;
        if (!path_.empty()) {
            std::filesystem::remove_all(path_, ignored);
        }
    }

    // Empty when the folder could not be made.
    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

class TempHome : public TempFolder {
public:
    explicit TempHome(const std::string& prefix = "wk-home", const std::string& parent = "/tmp")
        : TempFolder(prefix, parent) {
        ::setenv("WHARFKEEP_HOME", path().c_str(), 1);
    }
    ~TempHome() { ::unsetenv("WHARFKEEP_HOME"); }
};

// home/ (WHARFKEEP_HOME), desktop/ (WHARFKEEP_DESKTOP) and media/ in one fresh folder.
class TempHomeAndDesktop : public TempFolder {
public:
    explicit TempHomeAndDesktop(const std::string& prefix = "wk-home") : TempFolder(prefix) {
        std::filesystem::create_directories(home());
        std::filesystem::create_directories(desktop());
        std::filesystem::create_directories(media());
        ::setenv("WHARFKEEP_HOME", home().c_str(), 1);
        ::setenv("WHARFKEEP_DESKTOP", desktop().c_str(), 1);
    }
    std::filesystem::path home() const { return path() / "home"; }
    std::filesystem::path desktop() const { return path() / "desktop"; }
    std::filesystem::path media() const { return path() / "media"; }
};

}  // namespace platform::testing
