#include "publish_test_support.h"
#include "wharfkeep/host/host_test_access.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <thread>

namespace wharfkeep::ui::testing {

namespace fs = std::filesystem;

std::string TempHome::WriteFile(const std::string& relative, std::int64_t bytes) const {
    fs::path file = media() / relative;
    fs::create_directories(file.parent_path());
    int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd >= 0) {
        if (::ftruncate(fd, bytes) != 0) {
            std::abort();
        }
        ::close(fd);
    }
    return file.string();
}

void PumpSink::post(host::AppMessage message, std::int64_t wparam, host::AppPayload payload) {
    std::lock_guard lock(mutex_);
    queue_.push_back(Posted{message, wparam, std::move(payload)});
}

void PumpSink::show_message(const std::string&) {}

bool PumpSink::ask_yes_no(const std::string&) {
    return false;
}

std::vector<host::AppMessage> PumpSink::Pump(host::Host& host, CPWTPage* page) {
    std::vector<host::AppMessage> delivered;
    for (;;) {
        std::vector<Posted> batch;
        {
            std::lock_guard lock(mutex_);
            batch.swap(queue_);
        }
        if (batch.empty()) {
            return delivered;
        }
        for (Posted& posted : batch) {
            delivered.push_back(posted.message);
            seen.emplace_back(posted.message, posted.payload.text);
            if (deliver) {
                deliver(posted.message, posted.wparam, posted.payload);
                continue;
            }
            host.Document().HandleAppMessage(posted.message, posted.wparam, posted.payload);
            if (page == nullptr) {
                continue;
            }
            switch (posted.message) {
                case host::AppMessage::WM_APP_PUBLISH_STARTED:
                case host::AppMessage::WM_APP_PUBLISH_FINISHED:
                case host::AppMessage::WM_APP_MEDIA_CHANGED:
                    if (posted.payload.record) {
                        page->UpdateMediaLine(*posted.payload.record);
                    }
                    break;
                default:
                    break;
            }
            page->OnAppMessage(posted.message, posted.wparam, posted.payload);
        }
    }
}

bool PumpSink::PumpUntil(host::Host& host, CPWTPage* page, const std::function<bool()>& done,
                         std::chrono::milliseconds timeout) {
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < timeout.count()) {
        Pump(host, page);
        QCoreApplication::processEvents();
        if (done()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    Pump(host, page);
    return done();
}

void ScriptedPrompter::Message(const QString& text, const QString& caption, PromptIcon icon) {
    boxes.push_back({text, caption, icon});
}

bool ScriptedPrompter::YesNo(const QString& text, const QString& caption) {
    boxes.push_back({text, caption, PromptIcon::Warning});
    return answer;
}

bool ScriptedPrompter::OkCancel(const QString& text, const QString& caption) {
    boxes.push_back({text, caption, PromptIcon::Warning});
    return answer;
}

PublishFileResult RecordingEngine::PublishFile(const std::string& path) {
    std::unique_lock lock(state_->mutex);
    state_->published.push_back(path);
    if (state_->block) {
        state_->in_publish = true;
        state_->changed.notify_all();
        state_->changed.wait(lock, [this] { return state_->release; });
        state_->in_publish = false;
        state_->release = false;
    }
    return PublishFileResult{0,
                             std::string(40, 'A'),
                             path + ".sts",
                             "pvessa://url=recorded|sid=1|key=0|name=" + path,
                             {}};
}

bool RecordingEngine::WaitInPublish(State& state) {
    std::unique_lock lock(state.mutex);
    return state.changed.wait_for(lock, std::chrono::seconds(10), [&] { return state.in_publish; });
}

void RecordingEngine::Release(State& state) {
    std::lock_guard lock(state.mutex);
    state.release = true;
    state.block = false;
    state.changed.notify_all();
}

int RecordingEngine::GetProgress() {
    std::lock_guard lock(state_->mutex);
    return state_->progress;
}

std::string RecordingEngine::RelinkUrl(const std::string& url) {
    std::lock_guard lock(state_->mutex);
    state_->relinked.push_back(url);
    return url + "|relinked";
}

HostFixture::HostFixture() {
    host = std::make_unique<host::Host>(sink, std::make_unique<RecordingEngine>(engine));
    if (!host->Open()) {
        std::abort();
    }
}

HostFixture::~HostFixture() {
    host.reset();
}

void HostFixture::AddMedia(const std::string& path, std::int64_t size, int state,
                           const std::string& file_date, const std::string& url) {
    ResourceDatabase& db = host::HostTestAccess::Database(*host);
    db.AddMedia(path, size, file_date);
    MediaValue values[] = {{MediaColumn::State, std::to_string(state)}, {MediaColumn::URL, url}};
    db.UpdateMedia(values, path);
}

void HostFixture::AddDirectory(const std::string& path) {
    host::HostTestAccess::Database(*host).AddDirectory(
        path, display_name_of(path.substr(0, path.size() - 1)), 0);
}

}  // namespace wharfkeep::ui::testing
