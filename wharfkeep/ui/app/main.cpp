// wharfkeep: the Wharfkeep window program.
//
//   wharfkeep                      the management window with its tray icon
//   wharfkeep --screenshots DIR    save a PNG of every page and dialog into DIR, then exit
//
// A second start brings the running window forward and ends. The application-data folder
// is $WHARFKEEP_HOME, else $XDG_DATA_HOME/Wharfkeep, else ~/.local/share/Wharfkeep.

#include <QApplication>
#include <QCommandLineParser>
#include <QMessageBox>

#include <cstdio>
#include <optional>

#include "platform/app_paths.h"
#include "platform/crash_handler.h"
#include "platform/version.h"
#include "wharfkeep/host/instance_lock.h"
#include "wharfkeep/ui/application.h"
#include "wharfkeep/ui/translations.h"

namespace {

void Refuse(const QString& text) {
    std::fprintf(stderr, "wharfkeep: %s\n", text.toUtf8().constData());
    // On a display the operator sees it; without one (offscreen) nobody could close the box.
    if (QGuiApplication::platformName() != QLatin1String("offscreen")) {
        QMessageBox::critical(nullptr, wharfkeep::ui::kApplicationTitle, text);
    }
}

QString StartupText(const char* text) {
    return QCoreApplication::translate("wharfkeep::ui::Startup", text);
}

}  // namespace

int main(int argc, char** argv) {
    std::filesystem::path folder = platform::app_data_folder();
    platform::install_crash_handler(folder, platform::program_version());

    QApplication application(argc, argv);
    QApplication::setApplicationName(wharfkeep::ui::kApplicationTitle);
    // The project's version, the same text that wharfkeepd --version prints.
    QApplication::setApplicationVersion(QString::fromUtf8(platform::kVersion));
    QApplication::setQuitOnLastWindowClosed(false);
    // The window speaks the system locale's language: Chinese under zh_*, English otherwise.
    if (!wharfkeep::ui::InstallTranslations(wharfkeep::ui::LanguageFor(QLocale::system()))) {
        std::fprintf(stderr, "wharfkeep: the window's translation could not be loaded\n");
    }

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Wharfkeep resource server window"));
    parser.addHelpOption();
    parser.addVersionOption();
    QCommandLineOption screenshots(
        QStringLiteral("screenshots"),
        QStringLiteral("Save a PNG of every page and dialog, then exit."), QStringLiteral("DIR"));
    parser.addOption(screenshots);
    parser.process(application);

    try {
        platform::ensure_app_data_folder();
    } catch (const std::exception& error) {
        Refuse(StartupText(QT_TRANSLATE_NOOP("wharfkeep::ui::Startup", "无法创建数据文件夹 %1: %2"))
                   .arg(QString::fromStdString(folder.string()), QString::fromUtf8(error.what())));
        return 1;
    }

    const QString name = wharfkeep::ui::SingleInstance::ServerName(folder);
    if (wharfkeep::ui::SingleInstance::HandOver(name)) {
        std::fprintf(stderr, "wharfkeep: the running window was brought forward\n");
        return 0;
    }
    // wharfkeepd and the window program share the folder's lock: one instance serves it.
    std::optional<wharfkeep::host::InstanceLock> lock =
        wharfkeep::host::InstanceLock::TryAcquire(folder);
    if (!lock) {
        std::optional<pid_t> holder = wharfkeep::host::InstanceLock::Holder(folder);
        Refuse(StartupText(QT_TRANSLATE_NOOP("wharfkeep::ui::Startup",
                                             "另一个Wharfkeep进程（%1）正在使用数据文件夹 %2。"))
                   .arg(holder ? QString::number(*holder) : QStringLiteral("?"),
                        QString::fromStdString(folder.string())));
        return 1;
    }
    wharfkeep::ui::SingleInstance instance;
    instance.Listen(name);

    wharfkeep::ui::AppOptions options;
    options.screenshot_folder = parser.value(screenshots);
    wharfkeep::ui::CPierwatchApp app(options);
    app.WatchTerminationSignals();
    QObject::connect(&instance, &wharfkeep::ui::SingleInstance::showRequested, &app, [&app] {
        std::fprintf(stderr, "wharfkeep: another start asked for the window\n");
        if (app.Frame() != nullptr) {
            app.Frame()->BringForward();
        }
    });
    if (!app.Start()) {
        return 1;
    }
    return application.exec();
}
