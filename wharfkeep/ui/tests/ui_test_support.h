#pragma once
// A shell built the way the program builds it, on a fresh application-data folder, with
// scripted answers to every question and a recording URL opener.

#include <QTcpServer>
#include <QTemporaryDir>
#include <QUrl>
#include <QtTest/QtTest>

#include <deque>
#include <memory>
#include <vector>

#include "container_view.h"
#include "platform/free_port.h"
#include "qt_message_sink.h"
#include "wharfkeep/database/resource_database.h"
#include "wharfkeep/host/host.h"
#include "wharfkeep/host/publish_backend.h"
#include "wharfkeep/ui/main_frame.h"
#include "wharfkeep/ui/prompter.h"

namespace wharfkeep::ui::testing {

// Answers questions from a script (Yes/OK when the script is empty) and records them.
class ScriptedPrompter : public Prompter {
public:
    void Message(const QString& text, const QString&, PromptIcon) override {
        messages.push_back(text);
    }
    bool YesNo(const QString& text, const QString&) override { return Answer(text); }
    bool OkCancel(const QString& text, const QString&) override { return Answer(text); }

    std::deque<bool> answers;
    QStringList questions;
    QStringList messages;

private:
    bool Answer(const QString& text) {
        questions.push_back(text);
        if (answers.empty()) {
            return true;
        }
        bool answer = answers.front();
        answers.pop_front();
        return answer;
    }
};

// A fresh WHARFKEEP_HOME (and desktop) for one test; the database can be prepared before the
// document opens it.
class TestFolder {
public:
    TestFolder() {
        qputenv("WHARFKEEP_HOME", dir_.path().toUtf8());
        qputenv("WHARFKEEP_DESKTOP", (dir_.path() + "/Desktop").toUtf8());
    }
    QString path() const { return dir_.path(); }
    std::filesystem::path database_file() const {
        return std::filesystem::path(dir_.path().toStdString()) / "Wharfkeep.sqlite";
    }
    // Opens the database as the program will, with an access address set and the services
    // not started automatically; `prepare` adds rows.
    template <typename Prepare>
    void PrepareDatabase(Prepare&& prepare) {
        ResourceDatabase db;
        ServerAccessSettings access;
        QVERIFY(db.Open(database_file(), "10.1.2.3", "", access));
        db.SetParam("VP_AutoStart", "0");
        prepare(db);
    }
    void PrepareDatabase() {
        PrepareDatabase([](ResourceDatabase&) {});
    }

private:
    QTemporaryDir dir_;
};

// The document, the sink and the main window, torn down in the program's order.
struct Shell {
    explicit Shell(bool tray_available = true) {
        host = std::make_unique<host::Host>(sink, host::MakeLinkOnlyPublishBackend());
        host->Open();
        PageContext context{*host, sink, prompter};
        FrameOptions options;
        options.tray_available = tray_available;
        options.activity_report = false;
        frame = std::make_unique<CMainFrame>(context, options);
        frame->SetUrlOpener([this](const QUrl& url) { opened.push_back(url); });
        sink.SetWindowExists(true);
        sink.SetHandler(
            [this](host::AppMessage message, std::int64_t wparam, host::AppPayload& payload) {
                frame->Route(message, wparam, payload);
            });
    }
    ~Shell() {
        sink.SetHandler({});
        frame.reset();
        host.reset();
    }
    // Lets the posted messages be handled.
    static void Settle() {
        for (int i = 0; i < 5; ++i) {
            QCoreApplication::processEvents();
        }
    }
    CPWTPage* Page(PageSlot slot) const { return frame->Page(slot); }
    // Shows the window at the designed 800x600; false when it never reaches the screen.
    bool ShowAtDesignedSize() {
        frame->resize(800, 600);
        frame->show();
        return QTest::qWaitForWindowExposed(frame.get());
    }
    // Shows the window and waits until it has the keyboard; false when it never gets it.
    bool ShowActive() {
        frame->show();
        frame->activateWindow();
        return QTest::qWaitForWindowActive(frame.get());
    }

    ScriptedPrompter prompter;
    QtMessageSink sink{prompter};
    std::unique_ptr<host::Host> host;
    std::unique_ptr<CMainFrame> frame;
    std::vector<QUrl> opened;
};

}  // namespace wharfkeep::ui::testing
