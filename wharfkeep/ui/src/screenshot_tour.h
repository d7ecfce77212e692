#pragma once
// The screenshot tour (wharfkeep --screenshots DIR, run by scripts/screenshots): shows each
// page of the main window and each dialog the pages offer, saves a PNG of each into DIR,
// then ends the program as "退出" does.

#include <QString>

namespace wharfkeep::host {
class MessageSink;
}

namespace wharfkeep::ui {

class CMainFrame;

void RunScreenshotTour(CMainFrame& frame, host::MessageSink& main_window, const QString& folder);

}  // namespace wharfkeep::ui
