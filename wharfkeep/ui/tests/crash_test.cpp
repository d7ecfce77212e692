// The crash handler in a child process that faults: exit code, log lines, dump, reporter.

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest/QtTest>

#include <signal.h>

#include "platform/crash_handler.h"

namespace {

struct Crash {
    int exit_code = -1;
    QString log;
    QString error_output;
};

QString ProbePath() {
    return QStringLiteral(WK_CRASH_PROBE);
}

Crash RunProbe(const QString& home, const QString& how) {
    QProcess probe;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("WHARFKEEP_HOME", home);
    // Sanitizer runtimes would report the fault themselves before the handler runs.
    environment.insert(
        "ASAN_OPTIONS",
        "handle_segv=0:handle_abort=0:handle_sigfpe=0:handle_sigbus=0:handle_sigill=0");
    environment.insert("UBSAN_OPTIONS", "handle_segv=0:handle_abort=0:handle_sigfpe=0");
    environment.insert("TSAN_OPTIONS", "handle_segv=0:handle_abort=0:handle_sigfpe=0");
    probe.setProcessEnvironment(environment);
    probe.start(ProbePath(), {how});
    Crash crash;
    if (!probe.waitForFinished(20000)) {
        probe.kill();
        return crash;
    }
    crash.exit_code = probe.exitStatus() == QProcess::NormalExit ? probe.exitCode() : -1;
    crash.error_output = QString::fromUtf8(probe.readAllStandardError());
    QFile log(QDir(home).filePath("PWTExcept.log"));
    if (log.open(QIODevice::ReadOnly)) {
        crash.log = QString::fromUtf8(log.readAll());
    }
    return crash;
}

}  // namespace

class CrashTest : public QObject {
    Q_OBJECT
private slots:
    void signalsMapToExceptionCodes();
    void faultWritesLogAndExitsWithOne();
    void abortAndDivisionHaveTheirCodes();
    void faultOnAnotherThread();
    void dumpAndMessageWhenSwitchedOn();
    void reporterBesideTheProgramGetsTheReport();
};

void CrashTest::signalsMapToExceptionCodes() {
    QCOMPARE(platform::crash_code_for_signal(SIGSEGV, 0).code, 0xC0000005u);
    QCOMPARE(QString(platform::crash_code_for_signal(SIGBUS, 0).name), QString("IN_PAGE_ERROR"));
    QCOMPARE(platform::crash_code_for_signal(SIGILL, 0).code, 0xC000001Du);
    QCOMPARE(platform::crash_code_for_signal(SIGFPE, FPE_INTDIV).code, 0xC0000094u);
    QCOMPARE(platform::crash_code_for_signal(SIGFPE, FPE_FLTINV).code, 0xC0000090u);
    QCOMPARE(platform::crash_code_for_signal(SIGABRT, 0).code, 0xC0000409u);
    QCOMPARE(QString(platform::exception_name(0xC00000FDu)), QString("STACK_OVERFLOW"));
    QCOMPARE(QString(platform::exception_name(0x80000003u)), QString("BREAKPOINT"));
    QVERIFY(platform::exception_name(0x12345678u) == nullptr);
    QCOMPARE(QString::fromStdString(platform::format_version({1, 2, 3, 4})),
             QString("1.02.3.0004"));
}

void CrashTest::faultWritesLogAndExitsWithOne() {
    QTemporaryDir home;
    Crash crash = RunProbe(home.path(), "segv");
    QCOMPARE(crash.exit_code, 1);
    const QStringList lines = crash.log.split("\r\n");
    QCOMPARE(lines.size(), 5);  // four lines and the empty text after the last CR LF
    QCOMPARE(lines[0], QString("//====================================================="));
    QVERIFY2(QRegularExpression("^//==\\d\\d/\\d\\d/\\d\\d \\d\\d:\\d\\d:\\d\\d$")
                 .match(lines[1])
                 .hasMatch(),
             qPrintable(lines[1]));
    QCOMPARE(lines[2], QString("Exception code: C0000005 ACCESS_VIOLATION"));
    // Address, loadable segment and offset, the module (the probe itself) with its version.
    QRegularExpression fault(
        "^Fault address:  [0-9A-F]{8,} [0-9A-F]{2}:[0-9A-F]{8,} (.+)\\[(.*)\\]\\[(.*)\\]$");
    QRegularExpressionMatch match = fault.match(lines[3]);
    QVERIFY2(match.hasMatch(), qPrintable(lines[3]));
    QCOMPARE(match.captured(1), ProbePath());
    QCOMPARE(match.captured(2),
             QString::fromStdString(platform::format_version(platform::program_version())));
    QVERIFY(
        QRegularExpression("^\\d{4}-\\d+-\\d+ \\d+\\.\\d+$").match(match.captured(3)).hasMatch());
    QVERIFY(!lines[3].contains(" 00:"));  // the fault lies in a loadable segment
    // No dump and no message without the switch.
    QCOMPARE(QDir(home.path()).entryList({"*.dmp"}).size(), 0);
    QVERIFY(!crash.error_output.contains("抓住了一个崩溃"));

    // A second crash appends.
    Crash again = RunProbe(home.path(), "segv");
    QCOMPARE(again.exit_code, 1);
    QCOMPARE(again.log.count("//====================================================="), 2);
}

void CrashTest::abortAndDivisionHaveTheirCodes() {
    QTemporaryDir home;
    Crash aborted = RunProbe(home.path(), "abort");
    QCOMPARE(aborted.exit_code, 1);
    QVERIFY2(aborted.log.contains("Exception code: C0000409 ABORT\r\n"), qPrintable(aborted.log));
#if defined(__x86_64__)
    QTemporaryDir other;
    Crash divided = RunProbe(other.path(), "fpe");
    QCOMPARE(divided.exit_code, 1);
    QVERIFY2(divided.log.contains("Exception code: C0000094 INT_DIVIDE_BY_ZERO\r\n"),
             qPrintable(divided.log));
#endif
    // A program that does not fault leaves no log.
    QTemporaryDir quiet;
    QCOMPARE(RunProbe(quiet.path(), "none").exit_code, 0);
    QVERIFY(!QFile::exists(QDir(quiet.path()).filePath("PWTExcept.log")));
}

void CrashTest::faultOnAnotherThread() {
    QTemporaryDir home;
    Crash crash = RunProbe(home.path(), "thread");
    QCOMPARE(crash.exit_code, 1);
    QVERIFY(crash.log.contains("Exception code: C0000005 ACCESS_VIOLATION\r\n"));
}

void CrashTest::dumpAndMessageWhenSwitchedOn() {
    QTemporaryDir home;
    QFile ini(QDir(home.path()).filePath("Wharfkeep.ini"));
    QVERIFY(ini.open(QIODevice::WriteOnly));
    ini.write("[crash]\nusedump=1\n");
    ini.close();
    Crash crash = RunProbe(home.path(), "segv");
    QCOMPARE(crash.exit_code, 1);
    const QStringList dumps = QDir(home.path()).entryList({"Crash *.dmp"});
    QCOMPARE(dumps.size(), 1);
    QVERIFY2(QRegularExpression("^Crash \\d{4}-\\d\\d-\\d\\d \\d\\d-\\d\\d-\\d\\d\\.dmp$")
                 .match(dumps[0])
                 .hasMatch(),
             qPrintable(dumps[0]));
    QFile dump(QDir(home.path()).filePath(dumps[0]));
    QVERIFY(dump.open(QIODevice::ReadOnly));
    QByteArray text = dump.readAll();
    QVERIFY(text.contains("ACCESS_VIOLATION"));
    QVERIFY(text.contains("backtrace:"));
    QVERIFY(crash.error_output.contains("抓住了一个崩溃"));
    QVERIFY(crash.log.contains("Exception code: C0000005"));
}

void CrashTest::reporterBesideTheProgramGetsTheReport() {
    // The reporter is looked up beside the program: the probe's folder holds only the probe.
    QTemporaryDir home;
    const QString reporter = QFileInfo(ProbePath()).dir().filePath("Faultmail");
    const QString record = QDir(home.path()).filePath("report.txt");
    QFile script(reporter);
    QVERIFY(script.open(QIODevice::WriteOnly));
    script.write(QString("#!/bin/sh\nprintf '%s' \"$1\" > '%1'\n").arg(record).toUtf8());
    script.close();
    script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    Crash crash = RunProbe(home.path(), "segv");
    QCOMPARE(crash.exit_code, 1);
    QFile report(record);
    for (int i = 0; i < 100 && !report.exists(); ++i) {
        QTest::qWait(50);
    }
    QTest::qWait(50);
    QVERIFY(report.open(QIODevice::ReadOnly));
    QString text = QString::fromUtf8(report.readAll());
    QFile::remove(reporter);
    QVERIFY2(
        QRegularExpression(
            "^ecs=0\\.01\\.0\\.0000&meedb=0\\.00\\.00\\.00&code=C0000005&name=ACCESS_VIOLATION"
            "&address=[0-9A-F]+&base=[0-9A-F]+&rva=[0-9A-F]+&module=crash_probe"
            "&ver=0\\.01\\.0\\.0000&date=[0-9. -]+&os=\\d+\\.\\d+&app=.*crash_probe&pid=Wharfkeep$")
            .match(text)
            .hasMatch(),
        qPrintable(text));
    QVERIFY(text.size() <= 1023);
    QVERIFY(crash.log.contains("Exception code: C0000005"));  // the log is still written
}

QTEST_MAIN(CrashTest)
#include "crash_test.moc"
