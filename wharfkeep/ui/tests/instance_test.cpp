// The window program as a process: a second start hands over to the first and ends, a
// folder served by wharfkeepd is refused, SIGTERM ends the program cleanly, and SIGHUP
// reloads its configuration without dropping a peer.

#include <QDir>
#include <QLocalSocket>
#include <QProcess>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest/QtTest>

#include <signal.h>

#include <fstream>

#include "platform/free_port.h"
#include "wharfkeep/database/resource_database.h"
#include "wharfkeep/ui/application.h"

namespace {

QProcessEnvironment Environment(const QString& home) {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("WHARFKEEP_HOME", home);
    environment.insert("WHARFKEEP_DESKTOP", home + "/Desktop");
    environment.insert("QT_QPA_PLATFORM", "offscreen");
    return environment;
}

void PrepareHome(const QString& home) {
    wharfkeep::ResourceDatabase db;
    wharfkeep::ServerAccessSettings access;
    QVERIFY(db.Open(std::filesystem::path(home.toStdString()) / "Wharfkeep.sqlite", "10.1.2.3", "",
                    access));
    db.SetParam("VP_AutoStart", "0");
}

// Reads the merged output of `process` until it holds `text` (ten seconds at most).
bool WaitForOutput(QProcess& process, QByteArray& output, const char* text) {
    for (int i = 0; i < 100 && !output.contains(text); ++i) {
        process.waitForReadyRead(100);
        output += process.readAll();
    }
    return output.contains(text);
}

bool WaitForListener(const QString& name, QProcess& process) {
    for (int i = 0; i < 200; ++i) {
        QLocalSocket probe;
        probe.connectToServer(name);
        if (probe.waitForConnected(100)) {
            probe.disconnectFromServer();
            return true;
        }
        if (process.state() == QProcess::NotRunning) {
            return false;
        }
        QTest::qWait(50);
    }
    return false;
}

}  // namespace

class InstanceTest : public QObject {
    Q_OBJECT
private slots:
    void secondStartHandsOverAndEnds();
    void folderServedByAnotherProgramIsRefused();
    void sighupReloadsWithoutDroppingAPeer();
};

void InstanceTest::secondStartHandsOverAndEnds() {
    QTemporaryDir home;
    PrepareHome(home.path());
    QProcess first;
    first.setProcessEnvironment(Environment(home.path()));
    first.start(QStringLiteral(WK_WINDOW_PROGRAM));
    QVERIFY(first.waitForStarted());
    const QString name =
        wharfkeep::ui::SingleInstance::ServerName(std::filesystem::path(home.path().toStdString()));
    QVERIFY2(WaitForListener(name, first), first.readAllStandardError().constData());

    QProcess second;
    second.setProcessEnvironment(Environment(home.path()));
    second.start(QStringLiteral(WK_WINDOW_PROGRAM));
    QVERIFY(second.waitForFinished(15000));
    QCOMPARE(second.exitCode(), 0);
    QVERIFY(second.readAllStandardError().contains("brought forward"));

    QByteArray first_output;
    for (int i = 0; i < 100 && !first_output.contains("another start"); ++i) {
        first.waitForReadyRead(100);
        first_output += first.readAllStandardError();
    }
    QVERIFY2(first_output.contains("another start asked for the window"), first_output.constData());
    QCOMPARE(first.state(), QProcess::Running);

    first.terminate();  // SIGTERM ends it as "退出" does
    QVERIFY(first.waitForFinished(20000));
    QCOMPARE(first.exitStatus(), QProcess::NormalExit);
    QCOMPARE(first.exitCode(), 0);
}

void InstanceTest::folderServedByAnotherProgramIsRefused() {
    QTemporaryDir home;
    PrepareHome(home.path());
    QProcess daemon;
    daemon.setProcessEnvironment(Environment(home.path()));
    daemon.setProcessChannelMode(QProcess::MergedChannels);  // "serving" is a log line
    daemon.start(QStringLiteral(WK_DAEMON_PROGRAM), {"serve"});
    QVERIFY(daemon.waitForStarted());
    QByteArray output;
    for (int i = 0; i < 200 && !output.contains("serving"); ++i) {
        daemon.waitForReadyRead(100);
        output += daemon.readAllStandardOutput();
    }
    QVERIFY2(output.contains("serving"), output.constData());

    // Refused in the locale's language: the designed Chinese under zh_CN, English under C.
    const std::pair<const char*, const char*> locales[] = {{"zh_CN.UTF-8", "正在使用数据文件夹"},
                                                           {"C", "is using the data folder"}};
    for (const auto& [locale, refusal] : locales) {
        QProcessEnvironment environment = Environment(home.path());
        environment.insert(QStringLiteral("LC_ALL"), QString::fromLatin1(locale));
        QProcess window;
        window.setProcessEnvironment(environment);
        window.start(QStringLiteral(WK_WINDOW_PROGRAM));
        QVERIFY(window.waitForFinished(15000));
        QCOMPARE(window.exitCode(), 1);
        const QString error = QString::fromUtf8(window.readAllStandardError());
        QVERIFY2(error.contains(QString::fromUtf8(refusal)), qPrintable(error));
    }

    daemon.terminate();
    QVERIFY(daemon.waitForFinished(20000));
}

void InstanceTest::sighupReloadsWithoutDroppingAPeer() {
    QTemporaryDir home;
    const std::uint16_t peer_port = platform::free_tcp_port();
    {
        wharfkeep::ResourceDatabase db;
        wharfkeep::ServerAccessSettings access;
        QVERIFY(db.Open(std::filesystem::path(home.path().toStdString()) / "Wharfkeep.sqlite",
                        "10.1.2.3", "", access));
        db.SetParam("VP_AutoStart", "1");
        db.SetParam("VP_Port", std::to_string(peer_port));
        db.SetParam("STS_Port", std::to_string(platform::free_tcp_port()));
    }
    QProcess window;
    window.setProcessEnvironment(Environment(home.path()));
    window.setProcessChannelMode(QProcess::MergedChannels);
    window.start(QStringLiteral(WK_WINDOW_PROGRAM));
    QVERIFY(window.waitForStarted());
    QByteArray output;
    QVERIFY2(WaitForOutput(window, output, "services started"), output.constData());

    QTcpSocket peer;
    peer.connectToHost(QStringLiteral("127.0.0.1"), peer_port);
    QVERIFY(peer.waitForConnected(5000));
    std::ofstream(home.path().toStdString() + "/Wharfkeep.ini")
        << "[report]\npublish_host = 127.0.0.1\npublish_port = 1981\n";
    QCOMPARE(::kill(static_cast<pid_t>(window.processId()), SIGHUP), 0);
    QVERIFY2(WaitForOutput(window, output, "publish reports go to 127.0.0.1:1981"),
             output.constData());
    QCOMPARE(window.state(), QProcess::Running);
    QVERIFY(!peer.waitForDisconnected(300));
    QCOMPARE(peer.state(), QAbstractSocket::ConnectedState);

    window.terminate();
    QVERIFY(window.waitForFinished(20000));
    QCOMPARE(window.exitCode(), 0);
}

QTEST_MAIN(InstanceTest)
#include "instance_test.moc"
