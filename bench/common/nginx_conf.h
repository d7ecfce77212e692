#pragma once
// What the benchmarks that run nginx beside our servers write into its configuration.

#include <filesystem>
#include <string>

namespace bench {

// The http-block directives that keep every temporary folder nginx may use under `folder`
// (its built-in ones are under /var and need root), one a line.
inline std::string nginx_temp_paths(const std::filesystem::path& folder) {
    std::string text;
    for (const char* kind : {"client_body", "proxy", "fastcgi", "uwsgi", "scgi"}) {
        text += std::string("  ") + kind + "_temp_path " + folder.string() + ";\n";
    }
    return text;
}

}  // namespace bench
