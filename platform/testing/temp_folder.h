#pragma once
// A fresh folder for one test, removed with everything in it when the test ends. TempHome
// also points WHARFKEEP_HOME at it while it lives.

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

}  // namespace platform::testing
