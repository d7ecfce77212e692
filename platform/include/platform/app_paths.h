#pragma once
// Where the program keeps its files: the application-data folder (database, INI file,
// logs), the desktop (link exports) and temporary files.

#include <filesystem>
#include <optional>
#include <string>

namespace platform {

// $WHARFKEEP_HOME, else $XDG_DATA_HOME/Wharfkeep, else ~/.local/share/Wharfkeep.
// The folder is not created; see ensure_app_data_folder().
std::filesystem::path app_data_folder();
// app_data_folder(), created with its parents when missing. Throws std::filesystem_error
// when it cannot be created.
std::filesystem::path ensure_app_data_folder();
// A file inside the application-data folder (the folder is not created).
std::filesystem::path app_data_file(const std::string& name);

// $WHARFKEEP_DESKTOP, else XDG_DESKTOP_DIR of ~/.config/user-dirs.dirs, else ~/Desktop;
// created when missing.
std::filesystem::path desktop_folder();
// desktop_folder() when it exists or $WHARFKEEP_DESKTOP names it; nothing on a machine
// without a desktop (a server), where nothing should be created in the home folder.
std::optional<std::filesystem::path> existing_desktop_folder();

// $TMPDIR, else /tmp.
std::filesystem::path temp_folder();
// Creates a new empty file with a unique name starting with `prefix` in temp_folder()
// and returns its path, or nothing when no file could be created.
std::optional<std::filesystem::path> make_temp_file(const std::string& prefix);

}  // namespace platform
