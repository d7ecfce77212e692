#include "platform/log.h"

#include <spdlog/details/log_msg.h>
#include <spdlog/logger.h>
#include <spdlog/pattern_formatter.h>
#include <spdlog/sinks/ostream_sink.h>
#include <spdlog/sinks/stdout_color_sinks.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <mutex>

#include "platform/ini_file.h"
#include "platform/lookup_table.h"

namespace platform::log {
namespace {

constexpr LookupRow<Level, const char*> kLevelNames[] = {{Level::error, "error"},
                                                         {Level::warning, "warning"},
                                                         {Level::info, "info"},
                                                         {Level::debug, "debug"}};

// The syslog priorities journald files the levels at.
constexpr LookupRow<Level, int> kJournalPriorities[] = {
    {Level::error, 3}, {Level::warning, 4}, {Level::info, 6}, {Level::debug, 7}};

constexpr LookupRow<Level, spdlog::level::level_enum> kSpdlogLevels[] = {
    {Level::error, spdlog::level::err},
    {Level::warning, spdlog::level::warn},
    {Level::info, spdlog::level::info},
    {Level::debug, spdlog::level::debug}};

spdlog::level::level_enum to_spdlog(Level level) {
    return look_up(kSpdlogLevels, level, spdlog::level::info);
}

Level from_spdlog(spdlog::level::level_enum level) {
    switch (level) {
        case spdlog::level::critical:
        case spdlog::level::err:
            return Level::error;
        case spdlog::level::warn:
            return Level::warning;
        case spdlog::level::info:
            return Level::info;
        default:
            return Level::debug;
    }
}

// "%*" in a pattern: the "<N>" syslog priority that journald reads off a line's start.
class JournalPriorityFlag : public spdlog::custom_flag_formatter {
public:
    void format(const spdlog::details::log_msg& message, const std::tm&,
                spdlog::memory_buf_t& out) override {
        fmt::format_to(std::back_inserter(out), "<{}>",
                       journal_priority(from_spdlog(message.level)));
    }
    std::unique_ptr<custom_flag_formatter> clone() const override {
        return std::make_unique<JournalPriorityFlag>();
    }
};

void use_form(spdlog::sinks::sink& sink, bool journal) {
    if (journal) {
        auto formatter = std::make_unique<spdlog::pattern_formatter>();
        formatter->add_flag<JournalPriorityFlag>('*').set_pattern("%*%v");
        sink.set_formatter(std::move(formatter));
    } else {
        sink.set_pattern("%Y-%m-%d %H:%M:%S %^%l%$: %v");
    }
}

std::atomic<Level> threshold{Level::info};
std::mutex logger_mutex;
std::shared_ptr<spdlog::logger> current_logger;  // guarded by logger_mutex
// Held while a line is written, so that the drawn line is not replaced under a writer.
std::mutex drawn_line_mutex;
DrawnLine* drawn_line = nullptr;  // guarded by drawn_line_mutex

std::shared_ptr<spdlog::logger> make_stderr_logger() {
    auto sink = std::make_shared<spdlog::sinks::stderr_color_sink_mt>();
    use_form(*sink, stderr_is_journal());
    auto logger = std::make_shared<spdlog::logger>("wharfkeep", std::move(sink));
    logger->set_level(spdlog::level::trace);  // the threshold is ours
    return logger;
}

std::shared_ptr<spdlog::logger> logger() {
    std::lock_guard lock(logger_mutex);
    if (!current_logger) {
        current_logger = make_stderr_logger();
    }
    return current_logger;
}

void replace_logger(std::shared_ptr<spdlog::logger> replacement) {
    std::lock_guard lock(logger_mutex);
    current_logger = std::move(replacement);
}

}  // namespace

std::optional<Level> parse_level(std::string_view text) {
    const std::string word(text);
    auto same_ignoring_case = [](const char* name, const std::string& probe) {
        return strcasecmp(name, probe.c_str()) == 0;
    };
    if (strcasecmp(word.c_str(), "warn") == 0) {
        return Level::warning;
    }
    return key_of(kLevelNames, word, same_ignoring_case);
}

std::string_view level_name(Level level) {
    return look_up(kLevelNames, level, "info");
}

int journal_priority(Level level) {
    return look_up(kJournalPriorities, level, 6);
}

Level configured_level(const IniFile& ini, const std::optional<std::string>& command_line) {
    if (command_line) {
        if (std::optional<Level> level = parse_level(*command_line)) {
            return *level;
        }
    }
    if (std::optional<Level> level = parse_level(ini.get_string("log", "level", ""))) {
        return *level;
    }
    return Level::info;
}

bool stderr_is_journal() {
    const char* stream = std::getenv("JOURNAL_STREAM");
    if (stream == nullptr) {
        return false;
    }
    unsigned long long device = 0;
    unsigned long long inode = 0;
    if (std::sscanf(stream, "%llu:%llu", &device, &inode) != 2) {
        return false;
    }
    struct stat status {};
    if (::fstat(STDERR_FILENO, &status) != 0) {
        return false;
    }
    return status.st_dev == device && status.st_ino == inode;
}

void init(Level level) {
    set_level(level);
    replace_logger(make_stderr_logger());
}

void init_stream(std::ostream& out, Level level, bool journal) {
    set_level(level);
    auto sink = std::make_shared<spdlog::sinks::ostream_sink_mt>(out, true);
    use_form(*sink, journal);
    auto stream_logger = std::make_shared<spdlog::logger>("wharfkeep", std::move(sink));
    stream_logger->set_level(spdlog::level::trace);
    replace_logger(std::move(stream_logger));
}

void set_drawn_line(DrawnLine* line) {
    std::lock_guard lock(drawn_line_mutex);
    drawn_line = line;
}

void set_level(Level level) {
    threshold.store(level);
}

Level current_level() {
    return threshold.load();
}

bool enabled(Level level) {
    return static_cast<int>(level) <= static_cast<int>(threshold.load());
}

void write(Level level, std::string_view text) {
    if (!enabled(level)) {
        return;
    }
    if (!text.empty() && text.back() == '\n') {
        text.remove_suffix(1);
    }
    std::shared_ptr<spdlog::logger> writer = logger();
    auto write_line = [&] { writer->log(to_spdlog(level), "{}", text); };
    std::lock_guard lock(drawn_line_mutex);
    if (drawn_line != nullptr) {
        drawn_line->around_log_line(write_line);
    } else {
        write_line();
    }
}

}  // namespace platform::log
