// The host's operations as every front end calls them, on a real database in a temporary
// application-data folder with the engine double: the answers and refusals each gives.

#include "wharfkeep/host/host_operations.h"

#include <gtest/gtest.h>

#include <fstream>

#include "host_test_support.h"
#include "wharfkeep/host/host.h"
#include "wharfkeep/host/media_state.h"

namespace wharfkeep::host {
namespace {

using testing::FakeEngine;

class HostOperationsTest : public ::testing::Test, protected testing::OpenedDocument {
protected:
    std::string Folder() const { return home.media().string(); }

    // Adds the media folder with its files and publishes them all.
    void AddAndPublish() {
        std::atomic<int> counter{0};
        std::atomic<bool> cancel{false};
        ASSERT_NE(host->Directories().ImportDirectory(Folder(), counter, cancel), nullptr);
        host->Directories().PublishDirectory(Folder() + "/");
        ASSERT_TRUE(sink.PumpUntil(*host, [&] { return host->Directories().PublishingIdle(); }));
        sink.Pump(*host);
    }
};

TEST(HostPaths, NamesAndPathsAreCheckedOnce) {
    EXPECT_TRUE(IsGcidText(std::string(40, 'a')));
    EXPECT_FALSE(IsGcidText(std::string(39, 'a')));
    EXPECT_FALSE(IsGcidText(std::string(39, 'a') + "g"));
    EXPECT_EQ(GcidKey("abcDEF"), "ABCDEF");
    EXPECT_EQ(NormalAbsolutePath("/a/b/../c//"), "/a/c");
    EXPECT_EQ(NormalAbsolutePath("/"), "/");
    EXPECT_EQ(NormalAbsolutePath("a/b"), std::nullopt);
    EXPECT_EQ(NormalAbsolutePath(std::string("/a\0b", 4)), std::nullopt);
    EXPECT_EQ(AbsolutePathText("/x/./y/"), "/x/y");
    EXPECT_EQ(AbsolutePathText("rel").front(), '/');
}

TEST(HostSettingsText, NextStartKeysSayWhenTheyApply) {
    EXPECT_EQ(SettingChangeText(settings::SettingOf("VP_ConnLimit"), "9"), "VP_ConnLimit=9");
    EXPECT_EQ(SettingChangeText(settings::SettingOf("WatchSettleSeconds"), "3"),
              "WatchSettleSeconds=3 (stored; applies at the next start)");
}

TEST_F(HostOperationsTest, WithdrawTakesAFileAFolderOrAGcid) {
    const std::string first = home.WriteMedia("a.mp4");
    const std::string second = home.WriteMedia("sub/b.mp4");
    const std::string third = home.WriteMedia("c.mp4");
    AddAndPublish();
    ASSERT_EQ(StateOf(first), kPublished);

    Outcome by_file = Withdraw(host->Directories(), host->Library(), first);
    EXPECT_EQ(by_file.kind, Outcome::kDone);
    EXPECT_EQ(by_file.message, "withdrew " + first);
    EXPECT_EQ(StateOf(first), kNotPublished);

    Outcome by_gcid = Withdraw(host->Directories(), host->Library(), FakeEngine::CidFor(third));
    EXPECT_EQ(by_gcid.message, "withdrew 1 files of " + FakeEngine::CidFor(third));
    EXPECT_EQ(StateOf(third), kNotPublished);

    Outcome by_folder = Withdraw(host->Directories(), host->Library(), Folder() + "/sub/");
    EXPECT_EQ(by_folder.message, "withdrew 1 files under " + Folder() + "/sub/");
    EXPECT_EQ(StateOf(second), kNotPublished);

    EXPECT_EQ(Withdraw(host->Directories(), host->Library(), Folder() + "/none.mp4").kind,
              Outcome::kNotFound);
    EXPECT_EQ(Withdraw(host->Directories(), host->Library(), std::string(40, '0')).kind,
              Outcome::kNotFound);
    EXPECT_EQ(Withdraw(host->Directories(), host->Library(), "relative.mp4").kind,
              Outcome::kInvalid);
}

TEST_F(HostOperationsTest, FolderOperationsRefuseAFolderNotAdded) {
    home.WriteMedia("a.mp4");
    const std::string other = home.path().string();
    for (const Outcome& outcome :
         {Rescan(host->Directories(), other), RemoveFolder(host->Directories(), other),
          SetFolderWatched(host->Watched(), other, true)}) {
        EXPECT_EQ(outcome.kind, Outcome::kNotFound);
        EXPECT_EQ(outcome.message, other + "/ is not an added folder");
    }
    AddAndPublish();
    EXPECT_EQ(Rescan(host->Directories(), Folder()).message,
              "rescanned " + Folder() + "/: 1 files, 1 published");
    EXPECT_EQ(SetFolderWatched(host->Watched(), Folder(), true).message, Folder() + "/ is watched");
    EXPECT_EQ(RemoveFolder(host->Directories(), Folder()).message, "removed " + Folder() + "/");
    EXPECT_EQ(AddedFolder(host->Directories(), Folder()), nullptr);
}

TEST_F(HostOperationsTest, PublishRefusesAFileAlreadyPublished) {
    const std::string file = home.WriteMedia("a.mp4");
    AddAndPublish();
    Outcome again = PublishFile(host->Directories(), host->Library(), file);
    EXPECT_EQ(again.kind, Outcome::kConflict);
    EXPECT_EQ(again.message, file + " is published already; withdraw it first to publish it again");
    EXPECT_EQ(PublishFile(host->Directories(), host->Library(), Folder() + "/missing.mp4").kind,
              Outcome::kNotFound);
    // A new file of an added folder is found by a rescan and queued.
    const std::string added = home.WriteMedia("new.mp4");
    EXPECT_EQ(PublishFile(host->Directories(), host->Library(), added).kind, Outcome::kAccepted);
}

TEST_F(HostOperationsTest, ExportWritesToTheGivenFileOrAnswersWithTheList) {
    home.WriteMedia("a.mp4");
    AddAndPublish();
    const std::string target = (home.path() / "links.txt").string();
    Outcome to_file = ExportLinks(host->Directories(), Folder(), target);
    ASSERT_EQ(to_file.kind, Outcome::kDone) << to_file.message;
    EXPECT_EQ(to_file.fields["file"], target);
    std::ifstream written(target, std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(written)),
                           std::istreambuf_iterator<char>());

    Outcome as_text = ExportLinks(host->Directories(), Folder(), "-");
    ASSERT_EQ(as_text.kind, Outcome::kDone);
    EXPECT_EQ(as_text.fields["links"], text);
    EXPECT_NE(text.find("a.mp4"), std::string::npos);
    EXPECT_EQ(
        ExportLinks(host->Directories(), "", (home.path() / "no" / "such" / "dir").string()).kind,
        Outcome::kConflict);
}

TEST_F(HostOperationsTest, SettingsChangeAllOrNothing) {
    Outcome refused =
        ChangeSettings(host->Settings(), {{"VP_ConnLimit", "7"}, {"VP_Port", "70000"}});
    EXPECT_EQ(refused.kind, Outcome::kInvalid);
    EXPECT_NE(host->Settings().SettingText("VP_ConnLimit"), "7");
    EXPECT_EQ(ChangeSettings(host->Settings(), {{"NoSuchKey", "1"}}).kind, Outcome::kInvalid);

    Outcome changed =
        ChangeSettings(host->Settings(), {{"VP_ConnLimit", "7"}, {"WatchRescanSeconds", "60"}});
    EXPECT_EQ(changed.kind, Outcome::kDone);
    EXPECT_EQ(changed.message,
              "VP_ConnLimit=7\nWatchRescanSeconds=60 (stored; applies at the next start)");
    EXPECT_EQ(host->Settings().SettingText("VP_ConnLimit"), "7");
}

TEST_F(HostOperationsTest, IpFilterEditsAnswerInWords) {
    EXPECT_EQ(AddIpRange(host->IpFilter(), 0x0A000001, 0x0A000009).message, "range added");
    EXPECT_EQ(DeleteIpRange(host->IpFilter(), 5).kind, Outcome::kNotFound);
    EXPECT_EQ(DeleteIpRange(host->IpFilter(), 0).message, "range deleted");
    EXPECT_EQ(SetIpFilterDenyList(host->IpFilter(), false).message,
              "the allow list is active already");
    EXPECT_EQ(SetIpFilterDenyList(host->IpFilter(), true).message, "deny list active");
    EXPECT_EQ(SetIpFilterEnabled(host->IpFilter(), true).message, "IP filter on");

    const iprules::BlockList list = iprules::ParseBlockList("a:1.2.3.4-1.2.3.9\n");
    Outcome imported = ImportIpRanges(host->IpFilter(), list);
    ASSERT_EQ(imported.kind, Outcome::kDone) << imported.message;
    EXPECT_EQ(imported.fields["added"], "1");
    EXPECT_EQ(ImportIpRanges(host->IpFilter(), iprules::ParseBlockList("garbage\n")).kind,
              Outcome::kInvalid);
}

// The IP filter's changes are told where they are made, so the window (which calls the
// document) and the operations (wharfkeepd, the control interface) each tell them once;
// what changes nothing tells nothing.
TEST_F(HostOperationsTest, EveryIpFilterChangeIsToldOnceWhoeverMakesIt) {
    struct Recorder : HostListener {
        void OnHostEvent(const HostEvent& event) override {
            if (const auto* changed = std::get_if<IpFilterChanged>(&event)) {
                told.push_back(changed->how);
            }
        }
        std::vector<std::string> told;
    } recorder;
    host->Events().Subscribe(&recorder);
    host->IpFilter().AddRange(0x0A000001, 0x0A000009);  // as the window's page does
    ASSERT_EQ(AddIpRange(host->IpFilter(), 0x0B000001, 0x0B000009).kind, Outcome::kDone);
    ASSERT_EQ(SetIpFilterEnabled(host->IpFilter(), true).kind, Outcome::kDone);
    host->IpFilter().SetEnabled(true);                                             // on already
    ASSERT_EQ(SetIpFilterDenyList(host->IpFilter(), false).kind, Outcome::kDone);  // active already
    ASSERT_EQ(DeleteIpRange(host->IpFilter(), 7).kind, Outcome::kNotFound);
    host->IpFilter().DeleteEntry(7);
    host->IpFilter().DeleteEntry(0);
    const iprules::BlockList list = iprules::ParseBlockList("a:1.2.3.4-1.2.3.9\n");
    ASSERT_EQ(ImportIpRanges(host->IpFilter(), list).kind, Outcome::kDone);
    ASSERT_EQ(ImportIpRanges(host->IpFilter(), list).kind, Outcome::kDone);  // listed already
    EXPECT_TRUE(host->IpFilter().SetDenyList(true));
    host->IpFilter().SetEnabled(false);
    host->Events().Unsubscribe(&recorder);
    EXPECT_EQ(recorder.told, (std::vector<std::string>{"add", "add", "enable", "delete", "import",
                                                       "type", "disable"}));
}

TEST_F(HostOperationsTest, RulesThatRefuseEveryPeerAreNamedByEachChangeThatMakesThem) {
    const std::string warning =
        "; warning: the allow list has no ranges: every peer is refused until one is added";
    EXPECT_EQ(SetIpFilterEnabled(host->IpFilter(), true).message, "IP filter on" + warning);
    ASSERT_EQ(AddIpRange(host->IpFilter(), 0x0A000001, 0x0A000009).message, "range added");
    EXPECT_EQ(DeleteIpRange(host->IpFilter(), 0).message, "range deleted" + warning);
    EXPECT_EQ(SetIpFilterDenyList(host->IpFilter(), true).message, "deny list active")
        << "an empty deny list refuses nobody";
    EXPECT_EQ(SetIpFilterDenyList(host->IpFilter(), false).message, "allow list active" + warning);
    EXPECT_EQ(SetIpFilterEnabled(host->IpFilter(), false).message, "IP filter off");
}

}  // namespace
}  // namespace wharfkeep::host
