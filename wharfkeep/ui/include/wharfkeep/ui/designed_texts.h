#pragma once
// The window's designed labels for the host's states, in the window's language (see
// translations.h). Everything else (the command line, the control interface, the logs, the
// metrics) names them in English words (host::StateName, schedule::ModeName).

#include <QString>

#include "wharfkeep/schedule/upload_schedule.h"

namespace wharfkeep::ui {

// The publish page's text of a publish state; an unknown state shows as its number.
QString StateText(int state);
// The status bar's, tray's and status page's text of an upload mode.
QString UploadModeText(schedule::UploadMode mode);

}  // namespace wharfkeep::ui
