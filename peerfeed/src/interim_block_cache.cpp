// A block cache without a page pool: each read is a pread of exactly the requested bytes
// on the loop thread, delivered from the cache's wake-up event on the next loop pass.
// It keeps the open-file sharing and the release and close rules of the real cache, so
// the server serves correctly until the paged cache with its disk thread replaces it.

#include <event2/event.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <deque>
#include <map>
#include <stdexcept>
#include <vector>

#include "block_cache_interface.h"
#include "stats_interface.h"

namespace peerfeed {
namespace {

std::atomic<std::uint64_t> process_disk_bytes_read{0};

struct open_file {
    std::string path;
    int fd = -1;
    int users = 0;
    std::uint64_t size = 0;

    void close_handle() {
        if (fd >= 0) {
            ::close(fd);
            fd = -1;
        }
    }
};

struct interim_link final : file_link {
    std::shared_ptr<open_file> file;
    vp_data_handler* session = nullptr;
    std::uint64_t serial = 0;
};

class interim_block_cache final : public block_cache_interface {
public:
    ~interim_block_cache() override { stop(); }

    void start(event_base* loop, const vp_settings&, gcid_path_resolver resolve_path) override {
        resolve_path_ = std::move(resolve_path);
        disk_speed_ = make_speed_meter();
        wake_ = event_new(loop, -1, 0, &interim_block_cache::on_wake, this);
        if (wake_ == nullptr) {
            throw std::runtime_error("cannot create the cache wake-up event");
        }
    }

    void stop() override {
        if (wake_ != nullptr) {
            event_free(wake_);
            wake_ = nullptr;
        }
        results_.clear();
        for (auto& [gcid, file] : files_) {
            file->close_handle();
        }
        files_.clear();
        links_.clear();
    }

    file_link* open(vp_data_handler& session, const std::string& gcid,
                    std::uint64_t size) override {
        std::shared_ptr<open_file>& file = files_[gcid];
        if (!file) {
            file = std::make_shared<open_file>();
        }
        if (file->path.empty() && !resolve_path_(gcid, file->path)) {
            file->path.clear();
            return nullptr;
        }
        if (file->fd < 0 && !open_handle(*file)) {
            return nullptr;
        }
        if (file->size != size) {
            if (file->users == 0) {
                file->close_handle();
            }
            return nullptr;
        }
        auto link = std::make_unique<interim_link>();
        link->file = file;
        link->session = &session;
        link->serial = ++last_serial_;
        file->users += 1;
        interim_link* raw = link.get();
        links_.emplace(raw->serial, std::move(link));
        return raw;
    }

    void release(file_link* link) override {
        auto* own = static_cast<interim_link*>(link);
        if (--own->file->users == 0) {
            own->file->close_handle();
        }
        links_.erase(own->serial);
    }

    std::uint32_t submit(vp_data_handler&, file_link& link, std::uint64_t offset,
                         std::uint32_t length) override {
        auto& own = static_cast<interim_link&>(link);
        read_result result{next_id_++, own.serial, true, {}};
        if (own.file->fd >= 0) {
            result.data.resize(length);
            const ssize_t got =
                ::pread(own.file->fd, result.data.data(), length, static_cast<off_t>(offset));
            if (got == static_cast<ssize_t>(length)) {
                result.failed = false;
                process_disk_bytes_read += length;
                disk_speed_->add(length);
            }
        }
        results_.push_back(std::move(result));
        event_active(wake_, 0, 0);
        return results_.back().id;
    }

    void close_file(const std::string& gcid) override {
        auto found = files_.find(gcid);
        if (found == files_.end()) {
            return;
        }
        found->second->close_handle();
        found->second->path.clear();
        files_.erase(found);
    }

    void close_all_files() override {
        for (auto& [gcid, file] : files_) {
            file->close_handle();
            file->path.clear();
        }
        files_.clear();
    }

    block_cache_statistics statistics() const override {
        block_cache_statistics stats;
        stats.disk_bytes_read = process_disk_bytes_read.load();
        stats.disk_read_speed = disk_speed_ ? disk_speed_->speed() : 0;
        return stats;
    }

private:
    struct read_result {
        std::uint32_t id;
        std::uint64_t link_serial;
        bool failed;
        std::vector<std::uint8_t> data;
    };

    static bool open_handle(open_file& file) {
        struct stat status {};
        if (::stat(file.path.c_str(), &status) != 0 || !S_ISREG(status.st_mode) ||
            status.st_size <= 0) {
            return false;
        }
        file.fd = ::open(file.path.c_str(), O_RDONLY | O_CLOEXEC);
        if (file.fd < 0) {
            return false;
        }
        file.size = static_cast<std::uint64_t>(status.st_size);
        ::posix_fadvise(file.fd, 0, 0, POSIX_FADV_SEQUENTIAL);
        return true;
    }

    static void on_wake(int, short, void* self) {
        static_cast<interim_block_cache*>(self)->deliver();
    }

    void deliver() {
        std::deque<read_result> ready;
        ready.swap(results_);
        for (read_result& result : ready) {
            // A session that released its link hears nothing more.
            auto found = links_.find(result.link_serial);
            if (found != links_.end()) {
                found->second->session->on_read_complete(result.id, result.failed,
                                                         result.data.data());
            }
        }
    }

    gcid_path_resolver resolve_path_;
    event* wake_ = nullptr;
    std::map<std::string, std::shared_ptr<open_file>> files_;
    std::map<std::uint64_t, std::unique_ptr<interim_link>> links_;
    std::deque<read_result> results_;
    std::uint64_t last_serial_ = 0;
    std::uint32_t next_id_ = 1;
    std::unique_ptr<speed_meter> disk_speed_;
};

}  // namespace

std::unique_ptr<block_cache_interface> make_block_cache() {
    return std::make_unique<interim_block_cache>();
}

}  // namespace peerfeed
