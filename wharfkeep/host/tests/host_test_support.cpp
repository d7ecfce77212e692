#include "host_test_support.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "wharfkeep/host/host.h"

namespace wharfkeep::host::testing {

MediaRecord StoreMediaRow(ResourceDatabase& db, const std::string& path, int state,
                          const std::string& cid) {
    db.AddMedia(path, 100, "2024-01-01 00:00:00");
    MediaRecord record;
    record.local_path = path;
    record.file_size = 100;
    record.state = state;
    record.cid = cid;
    record.sts_path = path + ".sts";
    record.url = "pvessa://url=x|sid=y|key=z|name=n";
    db.StoreMedia(record);
    return record;
}

std::string TempHome::WriteMedia(const std::string& relative, std::size_t bytes) const {
    std::filesystem::path file = media() / relative;
    std::filesystem::create_directories(file.parent_path());
    std::ofstream out(file, std::ios::binary);
    out << std::string(bytes, 'm');
    return file.string();
}

void RecordingSink::post(AppMessage message, std::int64_t wparam, AppPayload payload) {
    {
        std::lock_guard lock(mutex_);
        queue_.push_back(PostedMessage{message, wparam, std::move(payload)});
    }
    posted_.notify_all();
}

void RecordingSink::show_message(const std::string& text) {
    messages_shown.push_back(text);
}

bool RecordingSink::ask_yes_no(const std::string& text) {
    questions_asked.push_back(text);
    return answer_;
}

bool RecordingSink::WaitFor(AppMessage message, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return posted_.wait_for(lock, timeout, [&] {
        for (const PostedMessage& posted : queue_) {
            if (posted.message == message) {
                return true;
            }
        }
        return false;
    });
}

std::vector<PostedMessage> RecordingSink::Take() {
    std::lock_guard lock(mutex_);
    std::vector<PostedMessage> taken = std::move(queue_);
    queue_.clear();
    return taken;
}

std::vector<PostedMessage> RecordingSink::Pump(Host& host) {
    std::vector<PostedMessage> all;
    for (;;) {
        std::vector<PostedMessage> batch = Take();
        if (batch.empty()) {
            return all;
        }
        for (PostedMessage& posted : batch) {
            handled.emplace_back(posted.message, posted.wparam);
            host.Document().HandleAppMessage(posted.message, posted.wparam, posted.payload);
            all.push_back(std::move(posted));
        }
    }
}

bool RecordingSink::PumpUntil(Host& host, const std::function<bool()>& done,
                              std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        Pump(host);
        if (done()) {
            return true;
        }
        std::unique_lock lock(mutex_);
        posted_.wait_for(lock, std::chrono::milliseconds(20), [&] { return !queue_.empty(); });
    }
    Pump(host);
    return done();
}

void FakeEngine::SetReportFolder(const std::string& folder) {
    std::lock_guard lock(state_->mutex);
    state_->report_folder = folder;
}

void FakeEngine::SetLinkSettings(const std::string& ip_host, const std::string& domain_host,
                                 unsigned peer_port, unsigned list_port, const std::string& sid) {
    std::lock_guard lock(state_->mutex);
    state_->ip_host = ip_host;
    state_->domain_host = domain_host;
    state_->peer_port = peer_port;
    state_->list_port = list_port;
    state_->sid = sid;
}

void FakeEngine::SetReportMasterId(const std::string& master_id) {
    std::lock_guard lock(state_->mutex);
    state_->report_master_id = master_id;
}

std::string FakeEngine::CidFor(const std::string& path) {
    std::size_t hash = std::hash<std::string>{}(path);
    char text[41];
    std::snprintf(text, sizeof text, "%016zX%016zX%08X", hash, ~hash, 0xC0FFEEu);
    return text;
}

void FakeEngine::PrepareNext(const std::string& path) {
    std::lock_guard lock(state_->mutex);
    state_->prepared.emplace_back(path, state_->published.size());
}

PublishFileResult FakeEngine::PublishFile(const std::string& path) {
    std::function<void(const std::string&)> hook;
    {
        std::lock_guard lock(state_->mutex);
        state_->published.push_back(path);
        hook = state_->on_publish;
    }
    if (hook) {
        hook(path);
    }
    std::unique_lock lock(state_->mutex);
    int code = state_->results.count(path) ? state_->results[path] : 0;
    if (state_->block) {
        state_->in_publish = true;
        state_->cancel_requested = false;
        state_->release = false;
        state_->changed.notify_all();
        state_->changed.wait(lock, [&] { return state_->release || state_->cancel_requested; });
        if (state_->cancel_requested) {
            code = kPublishCancelled;
        }
        state_->in_publish = false;
    }
    PublishFileResult outcome;
    outcome.code = code;
    outcome.cid = CidFor(path);
    outcome.sts_path = path + ".sts";
    outcome.url = "pvessa://url=" + path + "|sid=" + state_->sid + "|key=0|name=x";
    return outcome;
}

int FakeEngine::UnpublishFile(const std::string& cid, const std::string& sts_path) {
    std::lock_guard lock(state_->mutex);
    if (cid.empty() && sts_path.empty()) {
        ++state_->cancels;
        if (state_->ignore_cancels > 0) {
            --state_->ignore_cancels;
        } else if (state_->in_publish) {
            state_->cancel_requested = true;
            state_->changed.notify_all();
        }
        return 0;
    }
    state_->unpublished.emplace_back(cid, sts_path);
    return 0;
}

int FakeEngine::GetProgress() {
    std::lock_guard lock(state_->mutex);
    return state_->progress;
}

void FakeEngine::ReloadReportEndpoint() {
    std::lock_guard lock(state_->mutex);
    ++state_->endpoint_reloads;
}

std::string FakeEngine::RelinkUrl(const std::string& url) {
    std::lock_guard lock(state_->mutex);
    return url + "|relinked=" + state_->ip_host + state_->domain_host + ":" +
           std::to_string(state_->peer_port);
}

bool FakeEngine::WaitInPublish(State& state, std::chrono::milliseconds timeout) {
    std::unique_lock lock(state.mutex);
    return state.changed.wait_for(lock, timeout, [&] { return state.in_publish; });
}

void FakeEngine::Release(State& state) {
    std::lock_guard lock(state.mutex);
    state.release = true;
    state.changed.notify_all();
}

OpenedDocument::OpenedDocument()
    : host(std::make_unique<Host>(sink, std::make_unique<FakeEngine>(engine))) {
    host->Open();
}

OpenedDocument::~OpenedDocument() {
    host.reset();
}

int OpenedDocument::StateOf(const std::string& path) {
    const std::vector<MediaRecord> rows = host->Library().MediaAt(path);
    return rows.empty() ? -100 : rows.front().state;
}

}  // namespace wharfkeep::host::testing
