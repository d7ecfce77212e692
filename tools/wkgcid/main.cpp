// wkgcid FILE...: prints, for each file, its GCID, check digest and combined digest, one
// line each: "<GCID> <check digest> <combined digest> <file>". A file that cannot be read
// is reported on standard error and makes the exit status 1.

#include <CLI/CLI.hpp>

#include <cstdio>
#include <string>
#include <vector>

#include "tool_cli.h"
#include "wharfkeep/gcid/gcid.h"
#include "wharfkeep/my_exception.h"

namespace {

std::string describe(const std::string& path) {
    wharfkeep::parsefileGCID gcid(path);
    gcid.compute();

    wharfkeep::SourceFile file(path);
    if (file.open("rb") != 0) {
        throw wharfkeep::CMyException("The file ponit is null");
    }
    const std::uint64_t size = file.size();
    const auto check = wharfkeep::compute_check_digest(file, size);
    const auto combined = wharfkeep::combined_digest(gcid.digest(), check, size);
    return gcid.text() + ' ' + wharfkeep::digest_to_hex(check) + ' ' +
           wharfkeep::digest_to_hex(combined) + ' ' + path;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"Prints the GCID, check digest and combined digest of each file"};
    std::vector<std::string> files;
    app.add_option("FILE", files, "media files")->required();
    if (std::optional<int> exit_code = tools::ParseCommandLine(app, "wkgcid", argc, argv)) {
        return *exit_code;
    }

    int status = 0;
    for (const std::string& path : files) {
        try {
            std::printf("%s\n", describe(path).c_str());
        } catch (const wharfkeep::CMyException& error) {
            std::fprintf(stderr, "wkgcid: %s: %s\n", path.c_str(), error.what());
            status = 1;
        }
    }
    return status;
}
