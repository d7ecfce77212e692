#include "private_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

namespace wharfkeep::control {

FileLock::FileLock(const std::filesystem::path& file) {
    std::filesystem::path lock = file;
    lock += ".lock";
    file_.reset(::open(lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    if (file_) {
        ::flock(file_.get(), LOCK_EX);
    }
}

bool WritePrivateFile(const std::filesystem::path& file, const std::string& text,
                      std::string& error) {
    std::filesystem::path partial = file;
    partial += ".partial";
    bool written = false;
    {
        platform::UniqueFd out(
            ::open(partial.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
        written =
            out &&
            ::write(out.get(), text.data(), text.size()) == static_cast<ssize_t>(text.size()) &&
            ::fsync(out.get()) == 0;
    }
    if (!written || ::rename(partial.c_str(), file.c_str()) != 0) {
        ::unlink(partial.c_str());
        error = "cannot write " + file.string();
        return false;
    }
    return true;
}

std::string FileStamp(const std::filesystem::path& file) {
    struct stat info {};
    if (::stat(file.c_str(), &info) != 0) {
        return "none";
    }
    std::ostringstream stamp;
    stamp << info.st_ino << ':' << info.st_size << ':' << info.st_mtim.tv_sec << '.'
          << info.st_mtim.tv_nsec;
    return stamp.str();
}

std::optional<nlohmann::json> ReadEntryList(const std::filesystem::path& file,
                                            const EntryLayout& layout, std::string& error) {
    std::ifstream in(file);
    if (!in) {
        std::error_code ignored;
        if (!std::filesystem::exists(file, ignored)) {
            return nlohmann::json::array();
        }
        error = "cannot read " + file.string();
        return std::nullopt;
    }
    nlohmann::json document = nlohmann::json::parse(in, nullptr, false);
    if (document.is_discarded() || !document.is_object() || !document.contains(layout.list) ||
        !document[layout.list].is_array()) {
        error = file.string() + " is damaged; remove it and " + layout.remedy;
        return std::nullopt;
    }
    return std::move(document[layout.list]);
}

std::optional<CredentialsEntry> ReadEntry(const nlohmann::json& item, const char* secret) {
    const auto is_text = [&](const char* key) {
        return item.value(key, nlohmann::json()).is_string();
    };
    if (!item.is_object() || !is_text("name") || !is_text(secret) || !is_text("scope")) {
        return std::nullopt;
    }
    std::optional<Scope> scope = ParseScope(item["scope"].get<std::string>());
    if (!scope) {
        return std::nullopt;
    }
    return CredentialsEntry{item["name"].get<std::string>(), *scope,
                            item.value("created", std::int64_t{0})};
}

nlohmann::json ToJson(const CredentialsEntry& entry) {
    return {{"name", entry.name}, {"scope", ScopeName(entry.scope)}, {"created", entry.created}};
}

}  // namespace wharfkeep::control
