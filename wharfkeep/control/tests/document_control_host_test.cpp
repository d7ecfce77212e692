// The control interface's host over a real document, driven directly (no HTTP): what it
// checks before it touches the document, that every change goes through the document on
// the user-interface thread, how it answers when that thread is busy or the host closed,
// and what it makes of the document's events.

#include <gtest/gtest.h>
#include <limits>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <deque>
#include <functional>
#include <future>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "catalogd/catalogd.h"
#include "document_control_host.h"
#include "host_test_support.h"
#include "nlohmann/json.hpp"
#include "peerfeed/peerfeed.h"
#include "platform/free_port.h"
#include "wharfkeep/control/control_client.h"
#include "wharfkeep/control/control_json.h"
#include "wharfkeep/control/control_server.h"
#include "wharfkeep/host/host.h"
#include "wharfkeep/host/host_test_access.h"
#include "wharfkeep/host/settings.h"
#include "wharfkeep/iprules/address_range.h"

namespace wharfkeep::control {
namespace {

using namespace std::chrono_literals;
using host::testing::FakeEngine;
using host::testing::RecordingSink;
using host::testing::TempHome;

// Runs posted tasks one at a time on a thread of its own, as the window's event loop does.
// While held, tasks wait: a user-interface thread busy with something long.
class UiThread {
public:
    UiThread() : thread_([this] { Run(); }) {}
    ~UiThread() {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
            held_ = false;
        }
        changed_.notify_all();
        thread_.join();
    }

    UiPoster Poster() {
        return [this](std::function<void()> task) {
            std::lock_guard lock(mutex_);
            tasks_.push_back(std::move(task));
            ++posted_;
            changed_.notify_all();
        };
    }
    void Hold(bool held) {
        std::lock_guard lock(mutex_);
        held_ = held;
        changed_.notify_all();
    }
    int posted() {
        std::lock_guard lock(mutex_);
        return posted_;
    }

private:
    void Run() {
        std::unique_lock lock(mutex_);
        for (;;) {
            changed_.wait(lock, [this] { return stopping_ || (!held_ && !tasks_.empty()); });
            if (tasks_.empty()) {
                return;  // stopping with nothing left
            }
            std::function<void()> task = std::move(tasks_.front());
            tasks_.pop_front();
            lock.unlock();
            task();
            lock.lock();
        }
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::function<void()>> tasks_;
    bool held_ = false;
    bool stopping_ = false;
    int posted_ = 0;
    std::thread thread_;
};

const std::string kGcid = "00112233445566778899AABBCCDDEEFF00112233";

class DocumentControlHostTest : public ::testing::Test {
protected:
    DocumentControlHostTest()
        : engine_state(std::make_shared<FakeEngine::State>()),
          host(std::make_unique<host::Host>(sink, std::make_unique<FakeEngine>(engine_state))) {
        host->Open();
        control = std::make_unique<DocumentControlHost>(*host, ui.Poster(), "1.2.3", 300ms);
    }
    ~DocumentControlHostTest() override {
        control.reset();
        vp_stop();
        sts_stop();
    }

    MediaRecord AddRow(const std::string& path, int state, const std::string& cid = {}) {
        return host::testing::StoreMediaRow(host::HostTestAccess::Database(*host), path, state,
                                            cid);
    }

    // Runs `act` while a client of a fresh control server, fed by the document's events as
    // a running instance is, watches the event stream; returns what it received up to the
    // first event of type `last` (whose reason is `last_reason`, when given), or all it got
    // within 10 s.
    std::vector<std::pair<std::string, nlohmann::json>> Watch(const std::string& last,
                                                              const std::function<void()>& act,
                                                              const std::string& last_reason = "") {
        ControlServerOptions options;
        options.socket_path = home.path() / "control.sock";
        std::string error;
        std::unique_ptr<ControlServer> server = ControlServer::Start(*control, options, error);
        EXPECT_NE(server, nullptr) << error;
        if (server == nullptr) {
            return {};
        }
        control->SetServer(server.get());
        host->Events().Subscribe(control.get());
        std::promise<void> subscribed;
        std::promise<void> ended;
        std::vector<std::pair<std::string, nlohmann::json>> received;
        std::thread watcher([&] {
            ControlClient(options.socket_path, 10)
                .Watch(
                    [&](const std::string& type, const std::string& data) {
                        received.emplace_back(type, nlohmann::json::parse(data));
                        const bool more = type != last || (!last_reason.empty() &&
                                                           received.back().second.value(
                                                               "reason", "") != last_reason);
                        if (!more) {
                            ended.set_value();
                        }
                        return more;
                    },
                    [&] {
                        subscribed.set_value();
                        return true;
                    });
        });
        if (subscribed.get_future().wait_for(5s) == std::future_status::ready) {
            act();
            EXPECT_EQ(ended.get_future().wait_for(10s), std::future_status::ready)
                << "no " << last << " event came";
        } else {
            ADD_FAILURE() << "the client did not subscribe";
        }
        host->Events().Unsubscribe(control.get());
        control->SetServer(nullptr);
        server.reset();  // ends a stream still open
        watcher.join();
        return received;
    }

    int StateOf(const std::string& path) {
        const std::vector<MediaRecord> rows = host->Library().ListedUnder(path);
        return rows.empty() ? 99 : rows.front().state;
    }

    TempHome home;
    RecordingSink sink;
    std::shared_ptr<FakeEngine::State> engine_state;
    std::unique_ptr<host::Host> host;
    UiThread ui;
    std::unique_ptr<DocumentControlHost> control;
};

TEST_F(DocumentControlHostTest, SettingsAreAllCheckedBeforeAnyIsApplied) {
    Outcome refused =
        control->ChangeSettings({{"VP_UploadSpeedLimit", "5000"}, {"VP_Port", "70000"}});
    EXPECT_EQ(refused.kind, Outcome::kInvalid);
    EXPECT_NE(refused.message.find("VP_Port"), std::string::npos) << refused.message;
    EXPECT_EQ(host->Settings().Setting(host::kVpUploadSpeedLimit), 0u) << "half a change applied";

    for (const SettingChange& bad : std::vector<SettingChange>{{"VP_ConnLimit", "-1"},
                                                               {"VP_ConnLimit", "12abc"},
                                                               {"AccessWay", "2"},
                                                               {"AccessIP", "300.1.1.1"},
                                                               {"AccessDomain", "a\nb"},
                                                               {"Master_ID", "XYZ"},
                                                               {"NoSuchSetting", "1"}}) {
        EXPECT_EQ(control->ChangeSettings({bad}).kind, Outcome::kInvalid) << bad.first;
    }
    EXPECT_NE(control->ChangeSettings({{"NoSuchSetting", "1"}}).message.find("VP_ConnLimit"),
              std::string::npos)
        << "an unknown setting is answered with the known ones";

    Outcome done = control->ChangeSettings(
        {{"VP_UploadSpeedLimit", "5000"}, {"VP_ConnLimit", "7"}, {"AccessIP", "192.0.2.44"}});
    ASSERT_EQ(done.kind, Outcome::kDone) << done.message;
    EXPECT_EQ(vp_get_speed_limit(), 5000u) << "the peer server has the new limit";
    EXPECT_EQ(vp_get_connection_limit(), 7u);
    std::map<std::string, std::string> values;
    for (const SettingRow& row : control->Settings().settings) {
        values[row.key] = row.value;
    }
    EXPECT_EQ(values.size(), settings::AllSettings().size()) << "every setting is listed";
    EXPECT_EQ(values["VP_UploadSpeedLimit"], "5000");
    EXPECT_EQ(values["VP_ConnLimit"], "7");
    EXPECT_EQ(values["AccessIP"], "192.0.2.44");
}

TEST_F(DocumentControlHostTest, PathsMustBeAbsoluteAndKnownBeforeTheDocumentIsAsked) {
    const std::string media = home.media().string();
    EXPECT_EQ(control->AddFolder("media", true).kind, Outcome::kInvalid);
    EXPECT_EQ(control->AddFolder("/", false).kind, Outcome::kInvalid);
    EXPECT_EQ(control->AddFolder(media + "/missing", false).kind, Outcome::kNotFound);
    EXPECT_EQ(control->Rescan(media).kind, Outcome::kNotFound) << "not an added folder";
    EXPECT_EQ(control->RemoveFolder(media).kind, Outcome::kNotFound);
    EXPECT_EQ(control->Publish("clip.mp4").kind, Outcome::kInvalid);
    EXPECT_EQ(control->Publish(media + "/unknown.mp4").kind, Outcome::kNotFound);
    EXPECT_EQ(control->Withdraw("clip.mp4").kind, Outcome::kInvalid);
    EXPECT_EQ(control->Withdraw(kGcid).kind, Outcome::kNotFound);
    EXPECT_EQ(control->ExportLinks("", "links.txt").kind, Outcome::kInvalid);
    EXPECT_TRUE(engine_state->published.empty());
}

TEST_F(DocumentControlHostTest, WithdrawTakesAGcidInAnyCaseAFileOrAFolder) {
    const std::string media = home.media().string();
    AddRow(media + "/a/one.mp4", host::kPublished, kGcid);
    AddRow(media + "/b/two.mp4", host::kPublished, std::string(40, 'C'));
    AddRow(media + "/b/three.mp4", host::kPublished, std::string(40, 'D'));

    std::string lower = kGcid;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    EXPECT_EQ(control->Withdraw(lower).kind, Outcome::kDone);
    EXPECT_NE(StateOf(media + "/a/one.mp4"), host::kPublished);

    EXPECT_EQ(control->Withdraw(media + "/b/two.mp4/").kind, Outcome::kDone);
    EXPECT_NE(StateOf(media + "/b/two.mp4"), host::kPublished);
    EXPECT_EQ(StateOf(media + "/b/three.mp4"), host::kPublished) << "only the file named";

    Outcome folder = control->Withdraw(media + "/b");
    EXPECT_EQ(folder.kind, Outcome::kDone);
    EXPECT_NE(folder.message.find("2 files"), std::string::npos) << folder.message;
    EXPECT_NE(StateOf(media + "/b/three.mp4"), host::kPublished);
}

TEST_F(DocumentControlHostTest, PublishingAFileAlreadyPublishedOrQueuedIsAConflict) {
    const std::string media = home.media().string();
    AddRow(media + "/done.mp4", host::kPublished, kGcid);
    AddRow(media + "/queued.mp4", host::kWaiting);
    EXPECT_EQ(control->Publish(media + "/done.mp4").kind, Outcome::kConflict);
    EXPECT_EQ(control->Publish(media + "/queued.mp4").kind, Outcome::kConflict);
    EXPECT_EQ(StateOf(media + "/done.mp4"), host::kPublished);
}

TEST_F(DocumentControlHostTest, IpRangesAreCheckedAndReachTheFilter) {
    EXPECT_EQ(control->AddIpRange("10.0.0.9", "not an address").kind, Outcome::kInvalid);
    ASSERT_EQ(control->AddIpRange("10.0.0.9", "10.0.0.1").kind, Outcome::kDone);
    IpFilterReport filter = control->IpFilter();
    ASSERT_EQ(filter.ranges.size(), 1u);
    EXPECT_EQ(filter.ranges[0].first, "10.0.0.1") << "a range given backwards is turned round";
    EXPECT_EQ(filter.ranges[0].last, "10.0.0.9");
    EXPECT_EQ(control->DeleteIpRange(1).kind, Outcome::kNotFound);
    EXPECT_EQ(control->SetIpFilterEnabled(true).kind, Outcome::kDone);
    EXPECT_TRUE(control->IpFilter().enabled);
    EXPECT_EQ(control->DeleteIpRange(0).kind, Outcome::kDone);
    EXPECT_TRUE(control->IpFilter().ranges.empty());
}

// A user-interface thread that does not come round within the wait: the caller is
// answered, and the change it asked for is not made later behind its back.
TEST_F(DocumentControlHostTest, BusyUserInterfaceIsAnsweredWithinTheWaitAndChangesNothing) {
    const std::uint32_t stored = host->Settings().Setting(host::kVpConnLimit);
    ui.Hold(true);
    const auto started = std::chrono::steady_clock::now();
    Outcome outcome = control->ChangeSettings({{"VP_ConnLimit", "9"}});
    EXPECT_EQ(outcome.kind, Outcome::kUnavailable);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
    EXPECT_EQ(control->Status().stopped_reason, "the instance is busy");
    ui.Hold(false);
    // Whatever was posted runs now; the abandoned change must not.
    EXPECT_EQ(host->Settings().Setting(host::kVpConnLimit), stored);
    EXPECT_NE(stored, 9u);
}

TEST_F(DocumentControlHostTest, FoldersCarryTheirCountsAndWhetherWatched) {
    ResourceDatabase& db = host::HostTestAccess::Database(*host);
    ASSERT_TRUE(db.AddDirectory("/m/a/", "a", 3));
    ASSERT_TRUE(db.AddDirectory("/m/b/", "b", 1));
    std::vector<FolderRow> folders = control->Folders();
    ASSERT_EQ(folders.size(), 2u);
    EXPECT_EQ(folders[0].path, "/m/a/");
    EXPECT_EQ(folders[0].files, 3u);
    EXPECT_EQ(folders[1].name, "b");
    EXPECT_FALSE(folders[0].watched);
}

TEST_F(DocumentControlHostTest, ReadinessNeedsTheDatabaseTheListenersAndDiskSpace) {
    // Services were never started here: the listeners fail, the rest passes.
    std::vector<HealthCheck> ready = control->Readiness();
    ASSERT_EQ(ready.size(), 3u);
    EXPECT_EQ(ready[0].name, "database");
    EXPECT_TRUE(ready[0].ok) << ready[0].reason;
    EXPECT_EQ(ready[1].name, "listeners");
    EXPECT_FALSE(ready[1].ok);
    EXPECT_NE(ready[1].reason.find("not listening"), std::string::npos) << ready[1].reason;
    EXPECT_EQ(ready[2].name, "disk_space");

    host::HostTestAccess::Database(*host).Close();
    ready = control->Readiness();
    EXPECT_FALSE(ready[0].ok);
    EXPECT_EQ(ready[0].reason, "the database is not open");

    EXPECT_TRUE(StateFolderSpace(home.path(), 0).ok);
    HealthCheck full = StateFolderSpace(home.path(), std::numeric_limits<std::uint64_t>::max());
    EXPECT_FALSE(full.ok);
    EXPECT_NE(full.reason.find("below the floor of 18446744073709551615 bytes"), std::string::npos)
        << full.reason;
    EXPECT_FALSE(StateFolderSpace(home.path() / "gone", 0).ok);
}

TEST_F(DocumentControlHostTest, LivenessFailsWhileTheUserInterfaceLoopIsStuck) {
    std::vector<HealthCheck> live = control->Liveness();
    ASSERT_EQ(live.size(), 1u);
    EXPECT_TRUE(live[0].ok) << live[0].reason;
    ui.Hold(true);
    live = control->Liveness();
    ui.Hold(false);
    EXPECT_FALSE(live[0].ok);
    EXPECT_NE(live[0].reason.find("within 300 ms"), std::string::npos) << live[0].reason;
}

// While the servers run, /livez asks their loops too; stopped ones are not asked.
TEST_F(DocumentControlHostTest, LivenessAsksTheLoopsOfTheRunningServers) {
    ASSERT_EQ(vp_start(platform::free_tcp_port()), 0);
    ASSERT_EQ(sts_start(platform::free_tcp_port()), 0);
    std::vector<HealthCheck> live = control->Liveness();
    std::vector<std::string> names;
    for (const HealthCheck& check : live) {
        names.push_back(check.name);
        EXPECT_TRUE(check.ok) << check.name << ": " << check.reason;
    }
    EXPECT_EQ(names,
              (std::vector<std::string>{"host_loop", "peer_server_loop", "list_server_loop"}));
    sts_stop();
    live = control->Liveness();
    ASSERT_EQ(live.size(), 2u);
    EXPECT_EQ(live[1].name, "peer_server_loop");
}

TEST_F(DocumentControlHostTest, ClosedHostAnswersAtOnceWithoutPosting) {
    control->Close();
    const int posted = ui.posted();
    EXPECT_EQ(control->SetIpFilterEnabled(true).kind, Outcome::kUnavailable);
    EXPECT_EQ(control->SetServicesRunning(true).kind, Outcome::kUnavailable);
    EXPECT_LE(ui.posted() - posted, 1) << "at most the progress watcher's last round";
    EXPECT_FALSE(host->IpFilter().Rules().enabled);
}

TEST_F(DocumentControlHostTest, MetricsCountWhatTheDocumentReports) {
    MediaRecord record = AddRow(home.media().string() + "/bad.mp4", host::kPublishing);
    control->OnHostEvent(host::PublicationStarted{record});
    record.state = host::kNotStreamable;
    control->OnHostEvent(host::PublicationFinished{record, 26, "variable frame rate", true});
    record.state = host::kPublished;
    control->OnHostEvent(host::PublicationFinished{record, 0, "", true});
    control->OnHostEvent(host::PeerRefused{0x0A000005u});
    control->OnHostEvent(host::PeerRefused{0x0A000006u});
    control->OnHostEvent(host::ServicesStopped{"transfer port 8189 is in use"});

    sts_query_stat queries{};
    ASSERT_EQ(sts_get_query_stat(&queries), 0);
    MetricsReport metrics = control->Metrics();
    EXPECT_EQ(metrics.publications_by_outcome["not_streamable"], 1u);
    EXPECT_EQ(metrics.publications_by_outcome["published"], 1u);
    // Refusals are the servers' own counts by reason; the events only feed the event stream,
    // so they are not counted a second time.
    const std::map<std::string, std::uint64_t> no_refusals = {
        {"deny_list", 0}, {"not_allowed", 0}, {"connection_limit", 0}, {"address_limit", 0}};
    EXPECT_EQ(metrics.refused_by_reason, no_refusals);
    EXPECT_GE(metrics.restructuring_seconds, 0.0);
    EXPECT_EQ(metrics.status.stopped_reason, "transfer port 8189 is in use");
    EXPECT_FALSE(metrics.status.running);
    EXPECT_EQ(metrics.status.version, "1.2.3");
    EXPECT_EQ(metrics.status.media_by_state[host::kPublishing], 1u);
    ASSERT_EQ(metrics.list_queries_by_answer.size(), 5u);
    EXPECT_GE(metrics.list_queries_by_answer["not_found"], queries.not_found);
    EXPECT_GE(metrics.list_queries_by_answer["list"], queries.lists);
}

// Progress reaches subscribers from the host's progress events: once per event, only for
// the file being published, with a speed worked out from the file's size.
TEST_F(DocumentControlHostTest, ProgressEventsOfTheFileBeingPublishedReachSubscribers) {
    MediaRecord record = AddRow(home.media().string() + "/clip.mp4", host::kPublishing);
    record.file_size = 1 << 20;
    std::vector<std::pair<std::string, nlohmann::json>> received =
        Watch(kEventPublishFinished, [&] {
            control->OnHostEvent(host::PublicationStarted{record});
            control->OnHostEvent(host::PublicationProgress{record.local_path, 40});
            control->OnHostEvent(
                host::PublicationProgress{home.media().string() + "/other.mp4", 10});
            control->OnHostEvent(host::PublicationProgress{record.local_path, 90});
            record.state = host::kPublished;
            control->OnHostEvent(host::PublicationFinished{record, 0, "", true});
        });

    std::vector<std::string> types;
    std::vector<int> percents;
    for (const auto& [type, data] : received) {
        types.push_back(type);
        if (type == kEventPublishProgress) {
            EXPECT_EQ(data.at("path"), record.local_path);
            percents.push_back(data.at("percent").get<int>());
        }
    }
    const std::vector<std::string> expected_types = {kEventPublishStarted, kEventPublishProgress,
                                                     kEventPublishProgress, kEventPublishFinished};
    EXPECT_EQ(types, expected_types);
    EXPECT_EQ(percents, (std::vector<int>{40, 90}));
}

// Every change of the IP filter tells subscribers how it changed, once; a refused change
// or one to what holds already tells them nothing, so a page does not reload for it.
TEST_F(DocumentControlHostTest, IpFilterChangesReachSubscribersAndRefusalsDoNot) {
    // The last change below ends the watch.
    std::vector<std::pair<std::string, nlohmann::json>> received = Watch(
        kEventIpFilterChanged,
        [&] {
            EXPECT_EQ(control->AddIpRange("10.0.0.1", "bad").kind, Outcome::kInvalid);
            EXPECT_EQ(control->AddIpRange("10.0.0.1", "10.0.0.9").kind, Outcome::kDone);
            EXPECT_EQ(control->DeleteIpRange(5).kind, Outcome::kNotFound);
            EXPECT_EQ(control->SetIpFilterDenyList(false).kind, Outcome::kDone);  // holds
            EXPECT_EQ(control->SetIpFilterEnabled(true).kind, Outcome::kDone);
            EXPECT_EQ(control->SetIpFilterEnabled(true).kind, Outcome::kDone);  // holds
            EXPECT_EQ(control->DeleteIpRange(0).kind, Outcome::kDone);
            EXPECT_EQ(control->SetIpFilterDenyList(true).kind, Outcome::kDone);
            EXPECT_EQ(control->SetIpFilterEnabled(false).kind, Outcome::kDone);
        },
        "disable");

    std::vector<std::string> reasons;
    std::uint64_t last_id = 0;
    for (const auto& [type, data] : received) {
        if (type != kEventIpFilterChanged) {
            continue;
        }
        reasons.push_back(data.value("reason", ""));
        EXPECT_TRUE(data.contains("time")) << data.dump();
        const std::uint64_t id = data.value("id", std::uint64_t{0});
        EXPECT_GT(id, last_id) << "ids only grow: " << data.dump();
        last_id = id;
    }
    EXPECT_EQ(reasons, (std::vector<std::string>{"add", "enable", "delete", "type", "disable"}));
}

// A long block list is parsed and stored beside the other requests: the status is answered
// promptly, and from the user-interface thread, while it is imported, and the import's answer
// still counts every range.
TEST_F(DocumentControlHostTest, ALongBlockListImportHoldsUpNoOtherRequest) {
    ControlServerOptions options;
    options.socket_path = home.path() / "control.sock";
    std::string error;
    std::unique_ptr<ControlServer> server = ControlServer::Start(*control, options, error);
    ASSERT_NE(server, nullptr) << error;
    constexpr std::uint32_t kLines = 200000;
    std::string list;
    for (std::uint32_t line = 0; line < kLines; ++line) {
        const std::uint32_t first = line * 1024;  // apart, so that none merges with another
        list += iprules::FormatAddress(first) + " - " + iprules::FormatAddress(first + 3) +
                " , 000 , entry " + std::to_string(line) + "\n";
    }
    auto import = std::async(std::launch::async, [&] {
        return ControlClient(options.socket_path, 60)
            .Send("POST", "/actions/ipfilter-import", nlohmann::json{{"text", list}}.dump());
    });
    int probes = 0;
    const auto give_up = std::chrono::steady_clock::now() + 60s;
    while (import.wait_for(20ms) != std::future_status::ready &&
           std::chrono::steady_clock::now() < give_up) {
        const auto asked = std::chrono::steady_clock::now();
        ClientAnswer status = ControlClient(options.socket_path, 10).Get("/status");
        const auto took = std::chrono::steady_clock::now() - asked;
        EXPECT_EQ(status.status, 200) << status.error;
        EXPECT_EQ(status.body.find("the instance is busy"), std::string::npos) << status.body;
        EXPECT_LT(took, 1s) << "GET /status took "
                            << std::chrono::duration_cast<std::chrono::milliseconds>(took).count()
                            << " ms during the import";
        ++probes;
    }
    ASSERT_EQ(import.wait_for(0s), std::future_status::ready) << "the import did not end";
    EXPECT_GT(probes, 0) << "no request was made while the import ran";
    ClientAnswer answer = import.get();
    ASSERT_EQ(answer.status, 200) << answer.error << answer.body;
    const nlohmann::json report = nlohmann::json::parse(answer.body);
    EXPECT_EQ(report.value("lines", ""), std::to_string(kLines));
    EXPECT_EQ(report.value("added", ""), std::to_string(kLines));
    EXPECT_EQ(report.value("already", ""), "0");
    EXPECT_EQ(host->IpFilter().Rules().ranges.size(), kLines);
}

// Peer sessions the peer server reports reach subscribers with the peer's address and port.
TEST_F(DocumentControlHostTest, PeerSessionsReachSubscribersWithAddressAndPort) {
    std::vector<std::pair<std::string, nlohmann::json>> received = Watch(kEventPeerLeft, [&] {
        host->Events().Notify(host::PeerConnected{0x0A000001, 50000});
        host->Events().Notify(host::PeerLeft{0x0A000001, 50000});
    });
    ASSERT_EQ(received.size(), 2u);
    EXPECT_EQ(received[0].first, kEventPeerConnected);
    EXPECT_EQ(received[0].second.value("address", ""), "10.0.0.1:50000");
    EXPECT_EQ(received[1].second.value("address", ""), "10.0.0.1:50000");
}

// Watch switched on and off and a folder removed tell subscribers which folder; refusals
// and a switch to what already holds tell them nothing.
TEST_F(DocumentControlHostTest, FolderChangesReachSubscribersAndRefusalsDoNot) {
    home.WriteMedia("a.mp4");
    const std::string media = home.media().string();
    std::atomic<int> counter{0};
    std::atomic<bool> cancel{false};
    ASSERT_NE(host->Directories().ImportDirectory(media, counter, cancel), nullptr);

    std::vector<std::pair<std::string, nlohmann::json>> received = Watch(kEventFolderRemoved, [&] {
        EXPECT_EQ(control->SetFolderWatched(media + "/none", true).kind, Outcome::kNotFound);
        EXPECT_EQ(control->SetFolderWatched(media, true).kind, Outcome::kDone);
        EXPECT_EQ(control->SetFolderWatched(media, true).kind, Outcome::kDone);
        EXPECT_EQ(control->SetFolderWatched(media, false).kind, Outcome::kDone);
        EXPECT_EQ(control->RemoveFolder(media + "/none").kind, Outcome::kNotFound);
        EXPECT_EQ(control->RemoveFolder(media).kind, Outcome::kDone);
    });

    std::vector<std::string> seen;
    for (const auto& [type, data] : received) {
        if (type == kEventFolderWatchChanged) {
            EXPECT_EQ(data.value("path", ""), media + "/");
            seen.push_back(data.value("watched", false) ? "watched" : "not watched");
        } else if (type == kEventFolderRemoved) {
            EXPECT_EQ(data.value("path", ""), media + "/");
            seen.push_back("removed");
        }
    }
    EXPECT_EQ(seen, (std::vector<std::string>{"watched", "not watched", "removed"}));
}

// Every key of the settings table, whichever part of the host keeps it, tells subscribers
// that it changed; a refused list of changes tells them nothing.
TEST_F(DocumentControlHostTest, EverySettingChangeReachesSubscribersAndRefusalsDoNot) {
    // A valid value other than a new database's for each key.
    const std::vector<SettingChange> changes{
        {"UseIPFilter", "1"},
        {"IP_NameListType", "1"},
        {"VP_UploadSpeedLimit", "5000"},
        {"VP_ConnLimit", "9"},
        {"VP_Port", "18189"},
        {"STS_Port", "18190"},
        {"VP_AutoStart", "0"},
        {"VP_AddrConnLimit", "5"},
        {"VP_AltUploadSpeedLimit", "700"},
        {"VP_AltScheduleOn", "1"},
        {"VP_AltScheduleDays", "mon,wed,sat"},
        {"VP_AltScheduleFrom", "08:30"},
        {"VP_AltScheduleTo", "17:45"},
        {"VP_AltLimitManual", "1"},
        {"VP_UploadPaused", "1"},
        {"WatchSettleSeconds", "7"},
        {"WatchRescanSeconds", "90"},
        {"Master_ID", "0123456789ABCDEF01"},
        {"AccessWay", "1"},
        {"AccessIP", "192.0.2.44"},
        {"AccessDomain", "media.example.org"},
    };
    std::set<std::string> expected;
    for (const settings::SettingEntry& entry : settings::AllSettings()) {
        expected.insert(entry.key);
    }
    std::set<std::string> listed;
    for (const auto& [key, value] : changes) {
        listed.insert(key);
    }
    ASSERT_EQ(listed, expected) << "a key of the table has no change here";

    std::vector<std::pair<std::string, nlohmann::json>> received = Watch(
        kEventSettingsChanged,
        [&] {
            EXPECT_EQ(
                control->ChangeSettings({{"VP_UploadPaused", "1"}, {"VP_Port", "70000"}}).kind,
                Outcome::kInvalid);
            for (const SettingChange& change : changes) {
                Outcome outcome = control->ChangeSettings({change});
                EXPECT_EQ(outcome.kind, Outcome::kDone) << change.first << ": " << outcome.message;
            }
        },
        "AccessDomain");

    std::vector<std::string> keys;
    for (const auto& [type, data] : received) {
        if (type == kEventSettingsChanged) {
            keys.push_back(data.value("reason", ""));
        }
    }
    std::vector<std::string> wanted;
    for (const auto& [key, value] : changes) {
        wanted.push_back(key);
    }
    EXPECT_EQ(keys, wanted) << "one event per change, in order, none for the refusal";
}

TEST(MediaRows, FilterByFolderAndStateAndGiveReasonsOfFailuresOnly) {
    TempHome home;
    RecordingSink sink;
    host::Host host(sink, std::make_unique<FakeEngine>(std::make_shared<FakeEngine::State>()));
    host.Open();
    ResourceDatabase& db = host::HostTestAccess::Database(host);
    for (const auto& [path, state] :
         std::vector<std::pair<std::string, int>>{{"/m/a/one.mp4", host::kNotStreamable},
                                                  {"/m/a/two.mp4", host::kPublished},
                                                  {"/m/ab/three.mp4", host::kNotStreamable}}) {
        db.AddMedia(path, 10, "2024-01-01 00:00:00");
        MediaRecord record;
        record.local_path = path;
        record.state = state;
        db.StoreMedia(record);
        db.SetFailureReason(path, "variable frame rate");
    }
    std::vector<MediaRow> folder = MediaRows(host.Library(), MediaFilter{"/m/a/", std::nullopt});
    ASSERT_EQ(folder.size(), 2u) << "/m/ab is not inside /m/a";
    for (const MediaRow& row : folder) {
        EXPECT_EQ(row.reason.empty(), row.state >= 0) << row.path;
    }
    std::vector<MediaRow> failed = MediaRows(host.Library(), MediaFilter{"", host::kNotStreamable});
    EXPECT_EQ(failed.size(), 2u);
    vp_stop();
    sts_stop();
}

// The pages read from the database's indexes hold the rows, in the order, that sorting every
// row in memory gives: every key both ways, with a folder, a state and a text to look for.
TEST(MediaRows, PagesFromTheIndexesMatchSortingEveryRow) {
    TempHome home;
    RecordingSink sink;
    host::Host host(sink, std::make_unique<FakeEngine>(std::make_shared<FakeEngine::State>()));
    host.Open();
    ResourceDatabase& db = host::HostTestAccess::Database(host);
    for (int i = 0; i < 40; ++i) {
        char path[40];
        std::snprintf(path, sizeof(path), "/m/%s/Clip%02d.mp4", i % 3 ? "a" : "B", (i * 7) % 40);
        db.AddMedia(path, 1000 + (i % 4), "2024-01-01 00:00:00");
        MediaRecord record;
        record.local_path = path;
        record.file_size = 1000 + (i % 4);
        record.state = i % 5 == 0 ? host::kPublished : i % 5 == 1 ? host::kFailed : 0;
        if (record.state == host::kPublished) {
            record.cid = "ABCDEF" + std::to_string(i);
            record.publish_date = "2024-02-" + std::to_string(10 + i % 7) + " 00:00:00";
        }
        db.StoreMedia(record);
        if (record.state == host::kFailed) {
            db.SetFailureReason(path, "cannot open");
        }
    }
    using Key = MediaPageQuery::Key;
    for (Key key : {Key::kPath, Key::kName, Key::kSize, Key::kState, Key::kTime}) {
        for (bool descending : {false, true}) {
            for (const auto& [folder, state, text] :
                 std::vector<std::tuple<std::string, std::optional<int>, std::string>>{
                     {"", std::nullopt, ""},
                     {"/m/a", std::nullopt, ""},
                     {"", host::kPublished, ""},
                     {"", std::nullopt, "clip1"},
                     {"", std::nullopt, "abcdef2"}}) {
                MediaPageQuery query;
                query.filter = MediaFilter{folder, state};
                query.text = text;
                query.sort = key;
                query.descending = descending;
                query.offset = 3;
                query.limit = 9;
                MediaPageReport indexed = MediaRowsPage(host.Library(), query);
                MediaPageReport sorted = PageOfRows(MediaRows(host.Library(), query.filter), query);
                EXPECT_EQ(indexed.total, sorted.total) << folder << " " << text;
                ASSERT_EQ(indexed.rows.size(), sorted.rows.size()) << folder << " " << text;
                for (std::size_t i = 0; i < indexed.rows.size(); ++i) {
                    EXPECT_EQ(indexed.rows[i].path, sorted.rows[i].path)
                        << "key " << static_cast<int>(key) << (descending ? " desc " : " asc ")
                        << folder << " " << text << " row " << i;
                    EXPECT_EQ(indexed.rows[i].reason, sorted.rows[i].reason);
                }
            }
        }
    }
    vp_stop();
    sts_stop();
}

// The whole text a scrape gets from a real host, process figures included, passes the
// Prometheus linter. Without promtool installed the check is skipped.
TEST_F(DocumentControlHostTest, MetricsTextPassesPromtool) {
    AddRow(home.media().string() + "/a.mp4", host::kPublished);
    AddRow(home.media().string() + "/b.mp4", host::kNotStreamable);
    control->OnHostEvent(host::PeerRefused{0x0A000005u});
    MetricsReport metrics = control->Metrics();
    ASSERT_TRUE(metrics.process.has_value());
    const double now = static_cast<double>(std::time(nullptr));
    EXPECT_LE(metrics.process->start_time_seconds, now + 1);
    EXPECT_GT(metrics.process->start_time_seconds, now - 86400 * 365);
    EXPECT_GE(metrics.process->open_fds, 3);
    EXPECT_GT(metrics.process->resident_bytes, 0);
    // The peer server's histograms come with their bounds, whether or not it ran.
    ASSERT_EQ(metrics.peer_request_wait_seconds.count("disk"), 1u);
    ASSERT_FALSE(metrics.peer_request_wait_seconds["send"].buckets.empty());
    EXPECT_EQ(metrics.peer_request_wait_seconds["send"].buckets.front().first, 0.0001);
    metrics.peer_answer_bytes = {{{1024, 1}, {4096, 3}}, 4, 9000};
    const std::string text = MetricsText(metrics);
    EXPECT_NE(text.find("wharfkeep_media_files{state=\"not_streamable\"} 1\n"), std::string::npos);
    EXPECT_NE(text.find("process_start_time_seconds "), std::string::npos);
    EXPECT_NE(text.find("# TYPE wharfkeep_peer_answer_bytes histogram\n"
                        "wharfkeep_peer_answer_bytes_bucket{le=\"1024\"} 1\n"
                        "wharfkeep_peer_answer_bytes_bucket{le=\"4096\"} 3\n"
                        "wharfkeep_peer_answer_bytes_bucket{le=\"+Inf\"} 4\n"
                        "wharfkeep_peer_answer_bytes_sum 9000\n"
                        "wharfkeep_peer_answer_bytes_count 4\n"),
              std::string::npos)
        << text;
    EXPECT_NE(
        text.find("wharfkeep_peer_request_wait_seconds_bucket{stage=\"disk\",le=\"0.0001\"} "),
        std::string::npos)
        << text;
    EXPECT_NE(text.find("wharfkeep_peer_request_wait_seconds_count{stage=\"send\"} "),
              std::string::npos)
        << text;

    if (std::system("command -v promtool >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "promtool is not installed (Debian package prometheus)";
    }
    char name[] = "/tmp/wk-metrics-XXXXXX";
    const int fd = mkstemp(name);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    close(fd);
    const std::string command = std::string("promtool check metrics < ") + name + " 2>&1";
    std::string verdict;
    int status = -1;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        char buffer[512];
        while (std::fgets(buffer, sizeof buffer, pipe)) {
            verdict += buffer;
        }
        status = pclose(pipe);
    }
    std::remove(name);
    EXPECT_EQ(status, 0) << verdict << "\n" << text;
    EXPECT_EQ(verdict, "") << text;
}

}  // namespace
}  // namespace wharfkeep::control
