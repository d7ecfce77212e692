#pragma once
// The command line of every tool follows one convention, as wharfkeepd's does: --help and
// --version (which prints "NAME VERSION") end the program with 0, and every parse error
// with 2, the code for bad arguments.

#include <CLI/CLI.hpp>

#include <optional>
#include <string>

#include "platform/version.h"

namespace tools {

inline constexpr int kExitBadArguments = 2;

// Adds --version and parses. Returns the exit code when the program should end now (help,
// version or bad arguments, with CLI11's message printed), nothing when it should go on.
inline std::optional<int> ParseCommandLine(CLI::App& app, const std::string& program, int argc,
                                           char** argv) {
    app.set_version_flag("--version", program + " " + platform::kVersion);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        return app.exit(error) == 0 ? 0 : kExitBadArguments;
    }
    return std::nullopt;
}

}  // namespace tools
