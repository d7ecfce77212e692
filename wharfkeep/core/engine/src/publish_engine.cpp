#include "wharfkeep/engine/publish_engine.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iostream>
#include <limits>
#include <system_error>

#include "catalogd/catalogd.h"
#include "digest_pipeline.h"
#include "moovwright_binding.h"
#include "parsefile.h"
#include "peerfeed/peerfeed.h"
#include "platform/app_paths.h"
#include "platform/ini_file.h"
#include "wharfkeep/byte_order.h"
#include "wharfkeep/engine/media_probe.h"
#include "wharfkeep/engine/publish_reasons.h"
#include "wharfkeep/engine/stream_description.h"
#include "wharfkeep/my_exception.h"
#include "wharfkeep/report/publish_report.h"

namespace wharfkeep {

// Told by the restructuring job, on its worker thread, how the job ended.
class MyPublishEngineListener : public IStreamAdvise {
public:
    // `job` is the object whose end this listener hears of; it outlives every call.
    MyPublishEngineListener(MyPublishEngine& engine, IMoovwright* job)
        : engine_(engine), job_(job) {}

    std::uint32_t OnStreamDone() override {
        engine_.done_ = true;
        wake_publisher();
        return 0;
    }
    std::uint32_t OnStreamError(std::uint32_t result) override {
        const char* text = job_ ? job_->GetErrorText(result) : nullptr;
        engine_.error_text_ = text ? text : "";
        engine_.error_code_ = result;
        engine_.failed_ = true;  // published last: PublishFile reads the fields after it
        wake_publisher();
        return 0;
    }

private:
    void wake_publisher() {
        { std::lock_guard lock(engine_.job_end_mutex_); }
        engine_.job_ended_.notify_all();
    }

    MyPublishEngine& engine_;
    IMoovwright* job_;
};

namespace {

constexpr std::size_t kMaxReportMasterId = 255;
constexpr std::size_t kReadBlockSize = std::size_t{1} << 20;
// How much of a folder's next file is read ahead while the current one is published: the
// restructuring's first windows.
constexpr std::int64_t kPrepareReadAhead = std::int64_t{8} << 20;

// The 64-byte free box appended behind the media data of a restructured file that has
// too little room after it.
std::vector<std::uint8_t> trailing_free_box() {
    std::vector<std::uint8_t> box(64, 0);
    write_be32(box, 0, 64);
    std::memcpy(box.data() + 4, "free", 4);
    return box;
}

bool write_at(int fd, std::uint64_t offset, std::span<const std::uint8_t> bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n =
            ::pwrite(fd, bytes.data() + done, bytes.size() - done, off_t(offset + done));
        if (n <= 0) {
            return false;
        }
        done += std::size_t(n);
    }
    return true;
}

// Makes room behind the media data of an already restructured file. A media-data box
// whose size field is 0 ("to the end of the file") first gets its explicit size, so the
// appended box is not taken for media data; one too large for a 32-bit size cannot.
int prepare_restructured_file(const std::string& path, const MediaProbeResult& probe) {
    if (probe.data_box_flag != 0) {
        return kPublished;
    }
    const Mp4BoxHeader& media = *probe.media_box;
    const bool needs_size = media.size_runs_to_end;
    if (needs_size && media.size > std::numeric_limits<std::uint32_t>::max()) {
        return kPublishNotStreamable;
    }
    const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        throw CMyException("The file ponit is null");
    }
    std::uint8_t size_field[4];
    write_be32(size_field, 0, static_cast<std::uint32_t>(media.size));
    const bool ok = (!needs_size || write_at(fd, media.offset, size_field)) &&
                    write_at(fd, probe.file_size, trailing_free_box()) && ::fsync(fd) == 0;
    ::close(fd);
    if (!ok) {
        throw CMyException("cannot append the trailing free box to " + path + ": " +
                           std::strerror(errno));
    }
    return kPublished;
}

// Reads the file front to back in large blocks into the digest stage. A file that cannot
// be read to the end leaves the stage short, and the digests are then taken the old way,
// which names the failure. A cancel stops the reading.
void feed_file(const std::string& path, DigestPipeline& digests,
               const std::atomic<bool>& cancelled) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat status {};
    if (fd < 0 || ::fstat(fd, &status) != 0) {
        if (fd >= 0) {
            ::close(fd);
        }
        return;
    }
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    digests.OnOutputStart(std::uint64_t(status.st_size));
    std::vector<std::uint8_t> block(kReadBlockSize);
    while (!cancelled) {
        const ssize_t got = ::read(fd, block.data(), block.size());
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            break;
        }
        digests.OnOutputBytes(block.data(), std::size_t(got));
    }
    ::close(fd);
}

// The facts of the published file from the digest stage; when it has none (a library
// without the write sink, a short read, a file changed meanwhile) they are read from the
// file as they always were.
parsefile finish_digests(const std::string& path, DigestPipeline& digests) {
    std::optional<parsefile> media = digests.Finish();
    struct stat status {};
    if (media && ::stat(path.c_str(), &status) == 0 &&
        std::uint64_t(status.st_size) == media->file_size) {
        return std::move(*media);
    }
    parsefileGCID identifier(path);
    const std::string gcid = identifier.compute();
    return parsefile::parse(path, gcid);
}

}  // namespace

MyPublishEngine::MyPublishEngine(PublishEngineOptions options)
    : options_(std::move(options)),
      library_(std::make_unique<MoovwrightBinding>(options_.library_candidates.empty()
                                                       ? MoovwrightBinding::default_candidates()
                                                       : options_.library_candidates)),
      listener_(std::make_unique<MyPublishEngineListener>(*this, library_->job())),
      reporter_(options_.publish_endpoint
                    ? *options_.publish_endpoint
                    : LoadReportEndpoints(platform::IniFile::load_app_profile()).publish,
                platform::app_data_folder(), options_.report_timeouts) {
    if (!options_.log_error) {
        options_.log_error = [](const std::string& text) {
            std::cerr << "wharfkeep: error: " << text << "\n";
        };
    }
    startup_thread_ = std::thread([this] { run_startup(); });
}

ReportEndpoint MyPublishEngine::ReloadReportEndpoint() {
    if (!options_.publish_endpoint) {
        reporter_.set_endpoint(LoadReportEndpoints(platform::IniFile::load_app_profile()).publish);
    }
    return reporter_.endpoint();
}

MyPublishEngine::~MyPublishEngine() {
    if (prepare_thread_.joinable()) {
        prepare_thread_.join();
    }
    {
        std::lock_guard lock(startup_mutex_);
        stopping_ = true;
    }
    startup_wake_.notify_all();
    startup_thread_.join();
    // The job object goes before the listener it may still call.
    library_.reset();
}

void MyPublishEngine::run_startup() {
    {
        std::unique_lock lock(startup_mutex_);
        startup_wake_.wait_for(lock, options_.startup_delay, [this] { return stopping_.load(); });
    }
    if (!stopping_) {
        try {
            reporter_.ResendPendingReports(&stopping_);
        } catch (const CMyException&) {
            // The old log stays in place; the next start tries again.
        }
    }
    startup_finished_ = true;
}

void MyPublishEngine::SetLinkSettings(const std::string& ip_host, const std::string& domain_host,
                                      std::uint32_t peer_port, std::uint32_t list_port,
                                      const std::string& sid) {
    links_.set({ip_host, domain_host, peer_port, list_port, sid});
}

void MyPublishEngine::SetReportFolder(const std::string& folder) {
    reporter_.set_log_folder(folder);
}

void MyPublishEngine::SetReportMasterId(const std::string& master_id) {
    std::lock_guard lock(settings_mutex_);
    report_master_id_ = master_id.substr(0, kMaxReportMasterId);
}

bool MyPublishEngine::CanRestructure() const {
    return library_->job() != nullptr;
}

std::string MyPublishEngine::RestructureUnavailableReason() const {
    return library_->failure();
}

PublishFileResult MyPublishEngine::PublishFile(const std::string& path) {
    PublishFileResult result;
    publishing_ = true;
    try {
        result = publish(path);
    } catch (const CMyException& error) {
        result = PublishFileResult{};
        result.error = error.message();
    } catch (const std::exception& error) {
        result = PublishFileResult{};
        result.error = error.what();
    }
    done_ = false;
    failed_ = false;
    cancel_requested_ = false;
    publishing_ = false;
    return result;
}

void MyPublishEngine::PrepareNext(const std::string& path) {
    if (preparing_) {
        return;
    }
    if (prepare_thread_.joinable()) {
        prepare_thread_.join();
    }
    preparing_ = true;
    try {
        prepare_thread_ = std::thread([this, path] {
            // The probe's reads bring the boxes and the movie box into the page cache; the
            // probe and the job find them there. Its result is not kept: the file may change
            // before its turn, and the probe then is repeated at no cost anyway.
            try {
                const auto probe = MediaProbe(path);
                const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
                if (probe && fd >= 0) {
                    ::posix_fadvise(fd, 0, off_t{kPrepareReadAhead}, POSIX_FADV_WILLNEED);
                }
                if (fd >= 0) {
                    ::close(fd);
                }
            } catch (const std::exception&) {
                // Only a warm-up: the publication reports whatever is wrong with the file.
            }
            preparing_ = false;
        });
    } catch (const std::system_error&) {
        preparing_ = false;
    }
}

int MyPublishEngine::restructure(const std::string& path, IStreamWriteSink* sink,
                                 std::string& error) {
    IMoovwright* job = library_->job();
    if (!job) {
        error = "cannot restructure " + path + ": " + library_->failure();
        return kPublishFailed;
    }
    done_ = false;
    failed_ = false;
    const std::optional<platform::FileIdentity> before = platform::identify_file(path);
    // The sink stays set only for this job; the job calls it no more once it has ended.
    library_->SetWriteSink(sink);
    struct SinkRelease {
        const MoovwrightBinding& library;
        ~SinkRelease() { library.SetWriteSink(nullptr); }
    } release_sink{*library_};
    if (job->SetAdvise(listener_.get()) != 0 || job->SetFile(path.c_str()) != 0 ||
        job->SetSync(0) != 0 || job->Start() != 0) {
        error = "the restructuring library refused to start on " + path;
        return kPublishFailed;
    }
    while (!failed_) {
        if (done_) {
            return kPublished;
        }
        // A cancel that came before the job had begun would be forgotten by it: repeat it.
        if (cancel_requested_) {
            job->Cancel();
        }
        std::unique_lock lock(job_end_mutex_);
        job_ended_.wait_for(lock, options_.poll_interval, [this] { return done_ || failed_; });
    }
    const std::uint32_t code = error_code_.load();
    error = RestructureFailureReason(code, error_text_);
    if (code == MW_FAIL) {
        error = DiagnoseFailedRewrite(path, before).value_or(error);
    }
    return static_cast<int>(code);
}

PublishFileResult MyPublishEngine::publish(const std::string& path) {
    PublishFileResult result;
    const auto probe = MediaProbe(path);
    if (!probe) {
        result.code = kPublishProbeFailed;
        result.error = OpenFailureReason(path);
        return result;
    }
    if (probe->kind == kMediaNotStreamable) {
        result.code = kPublishNotStreamable;
        result.error = probe->not_streamable_reason;
        return result;
    }
    if (probe->header_word > 0) {
        result.code = kPublishHeaderRejected;
        result.error =
            "already restructured, but its streaming header refuses publication "
            "(header word " +
            std::to_string(probe->header_word) + ")";
        return result;
    }
    const LinkSettings settings = links_.get();
    if (settings.sid.empty()) {
        result.error = "no Master ID is set: the link key cannot be computed";
        return result;
    }
    // Restructuring writes a full copy beside the file before replacing it; without the room
    // for it the job would fill the disk and fail late. The file stays failed, so a later
    // publication of its folder tries it again once space is freed. A file already in the
    // streaming layout is only appended to and needs no copy.
    if (probe->kind == kMediaPlainMp4) {
        auto no_room = InsufficientSpaceReason(path, probe->file_size);
        if (no_room) {
            // The file the last job replaced may still be being freed beside us.
            library_->WaitForDisplacedFiles();
            no_room = InsufficientSpaceReason(path, probe->file_size);
        }
        if (no_room) {
            result.error = std::move(*no_room);
            return result;
        }
    }
    // The digest stage hashes the file's bytes while the job writes them, or while they are
    // read here for an already streamable file: either way the file is read once.
    DigestPipeline digests(path);
    if (probe->kind == kMediaPlainMp4) {
        result.code = restructure(path, &digests, result.error);
    } else {
        result.code = prepare_restructured_file(path, *probe);
        if (result.code == kPublished) {
            feed_file(path, digests, cancel_requested_);
        }
    }
    if (result.code == kPublished && cancel_requested_) {
        result.code = kPublishCancelled;
        result.error = "cancelled";
    }
    if (result.code != kPublished) {
        return result;
    }
    result.code = kPublishFailed;

    const parsefile media = finish_digests(path, digests);
    const std::string& gcid = media.gcid_text;
    if (cancel_requested_) {
        result.code = kPublishCancelled;
        result.error = "cancelled";
        return result;
    }
    const std::string sts_path = path + kStreamDescriptionSuffix;
    try {
        WriteStreamDescription(sts_path, BuildStreamDescription(media.check_digest, media.file_size,
                                                                media.gcid, media.pieces));
    } catch (const CMyException&) {
        const int cause = errno;
        throw CMyException("cannot write the stream-description file " + sts_path + ": " +
                           std::strerror(cause));
    }

    LinkFacts facts{media.gcid_text, media.check_digest, media.file_size, media.layout,
                    media.combined_digest};
    result.url =
        BuildPublishedLink(BuildPlainUrl(facts, settings), settings.sid, DisplayName(path));
    result.cid = gcid;
    result.sts_path = sts_path;
    {
        std::lock_guard lock(pending_mutex_);
        pending_reports_.emplace(result.url, path);
    }
    SendPendingReports();
    result.code = kPublished;
    return result;
}

void MyPublishEngine::SendPendingReports() {
    std::string master_id;
    {
        std::lock_guard lock(settings_mutex_);
        master_id = report_master_id_;
    }
    for (;;) {
        std::string link, path;
        {
            std::lock_guard lock(pending_mutex_);
            if (pending_reports_.empty()) {
                return;
            }
            auto entry = pending_reports_.begin();
            link = entry->first;
            path = entry->second;
            pending_reports_.erase(entry);
        }
        // The publication is complete by now: a report that cannot be built or kept is an
        // error for the log, never a failed publication.
        const auto message = BuildPublishReport(master_id, path, link);
        if (!message) {
            options_.log_error("the publish report of " + path +
                               " does not fit its 4096-byte buffer; it is not sent");
            continue;
        }
        try {
            reporter_.SendReport(*message);
        } catch (const CMyException& error) {
            options_.log_error("the publish report of " + path +
                               " could not be sent nor kept for later: " + error.message());
        }
    }
}

int MyPublishEngine::UnpublishFile(const std::string& cid, const std::string& sts_path) {
    if (cid.empty() && sts_path.empty()) {
        if (publishing_) {
            cancel_requested_ = true;
        }
        IMoovwright* job = library_->job();
        return job ? static_cast<int>(job->Cancel()) : 0;
    }
    std::error_code ignored;
    if (!sts_path.empty()) {
        std::filesystem::remove(sts_path, ignored);
    }
    vp_close_file(cid.c_str());
    return sts_close_file(cid.c_str());
}

int MyPublishEngine::GetProgress() const {
    IMoovwright* job = library_->job();
    if (!publishing_ || job == nullptr) {
        return 0;
    }
    return static_cast<int>(std::min<std::uint32_t>(job->GetProgress(), 100));
}

std::string MyPublishEngine::RelinkUrl(const std::string& link) const {
    return RebuildLink(link, links_.get()).value_or(link);
}

}  // namespace wharfkeep
