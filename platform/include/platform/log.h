#pragma once
// The program's log: four levels, one process-wide threshold, and two forms of output on
// standard error. On a terminal (or into a file) each line reads "time level: text"; when
// standard error is the journal stream that systemd set up (JOURNAL_STREAM names it), each
// line starts with the syslog priority "<N>", so journald files it at the right level and
// adds the time itself.
//
// Thread-safe: any thread may write; the threshold and the output are swapped atomically.

#include <fmt/format.h>

#include <functional>
#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>

namespace platform {
class IniFile;
}

namespace platform::log {

enum class Level { error = 0, warning = 1, info = 2, debug = 3 };

// "error", "warning" (or "warn"), "info", "debug", case ignored; nothing for anything else.
std::optional<Level> parse_level(std::string_view text);
std::string_view level_name(Level level);
// The syslog priority journald files a line of this level at: 3, 4, 6 or 7.
int journal_priority(Level level);

// The threshold from the command line when given, else key "level" of section [log] of the
// INI file, else info. A value that is not a level name counts as absent.
Level configured_level(const IniFile& ini, const std::optional<std::string>& command_line);

// True when standard error is the stream named by JOURNAL_STREAM ("device:inode").
bool stderr_is_journal();

// Writes to standard error in the form stderr_is_journal() picks, at `level`.
void init(Level level);
// Writes to `out` instead (tests), in journal form when `journal` is true.
void init_stream(std::ostream& out, Level level, bool journal);

// A line drawn on the terminal without its end, such as a progress line rewritten in place,
// that a log line must not land inside: each log line is written by the `write_line` that
// around_log_line gets, which clears the drawn line first and draws it again after.
class DrawnLine {
public:
    virtual ~DrawnLine() = default;
    virtual void around_log_line(const std::function<void()>& write_line) = 0;
};
// Log lines step around `line` from now on (nullptr: around nothing). The caller keeps it
// alive until it is replaced; once this returns, no log line is inside the previous one.
void set_drawn_line(DrawnLine* line);

void set_level(Level level);
Level current_level();
bool enabled(Level level);

// One line (a trailing line feed is dropped; inner line feeds are kept).
void write(Level level, std::string_view text);

template <typename... Args>
void error(fmt::format_string<Args...> format, Args&&... args) {
    write(Level::error, fmt::format(format, std::forward<Args>(args)...));
}
template <typename... Args>
void warning(fmt::format_string<Args...> format, Args&&... args) {
    write(Level::warning, fmt::format(format, std::forward<Args>(args)...));
}
template <typename... Args>
void info(fmt::format_string<Args...> format, Args&&... args) {
    if (enabled(Level::info)) {
        write(Level::info, fmt::format(format, std::forward<Args>(args)...));
    }
}
template <typename... Args>
void debug(fmt::format_string<Args...> format, Args&&... args) {
    if (enabled(Level::debug)) {
        write(Level::debug, fmt::format(format, std::forward<Args>(args)...));
    }
}

}  // namespace platform::log
