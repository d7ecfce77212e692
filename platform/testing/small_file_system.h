#pragma once
// For tests of full disks: a tmpfs of a few hundred KiB mounted on a fresh folder and
// removed again with the object. Mounting needs root (and a kernel that lets this
// process mount); when that is not possible, available() is false and why() says so, so
// that the test can skip with that message.

#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

namespace platform::testing {

class SmallFileSystem {
public:
    explicit SmallFileSystem(std::size_t size_kib) {
        if (::geteuid() != 0) {
            why_ = "mounting a small file system needs root";
            return;
        }
        std::string folder =
            (std::filesystem::temp_directory_path() / "wk-small-fs-XXXXXX").string();
        if (::mkdtemp(folder.data()) == nullptr) {
            why_ = std::string("cannot create a mount point: ") + std::strerror(errno);
            return;
        }
        const std::string options = "size=" + std::to_string(size_kib) + "k,mode=0777";
        if (::mount("tmpfs", folder.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) != 0) {
            why_ = std::string("cannot mount a tmpfs: ") + std::strerror(errno);
            ::rmdir(folder.c_str());
            return;
        }
        path_ = folder;
    }
    SmallFileSystem(const SmallFileSystem&) = delete;
    SmallFileSystem& operator=(const SmallFileSystem&) = delete;
    ~SmallFileSystem() {
        if (path_.empty())
            return;
        ::umount2(path_.c_str(), MNT_DETACH);
        ::rmdir(path_.c_str());
    }

    bool available() const { return !path_.empty(); }
    const std::string& why() const { return why_; }
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
    std::string why_;
};

}  // namespace platform::testing
