// moovwright: restructures MP4 files in place into the streaming layout, one after another,
// and prints each file's result code and text. With --check it only validates them.
//
//   moovwright [--check] FILE...
//
// Exit status: 0 when every file succeeded, 1 otherwise.

#include <CLI/CLI.hpp>

#include <cstdio>
#include <string>
#include <vector>

#include "convert.h"
#include "core/result.h"
#include "stream_job.h"
#include "tool_cli.h"

namespace {

uint32_t restructure(const std::string& path) {
    moovwright::CMoovwright job;
    job.SetSync(1);
    job.SetFile(path.c_str());
    job.Start();
    return job.GetResult();
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"Restructures MP4 files in place into the streaming layout."};
    std::vector<std::string> files;
    bool checkOnly = false;
    app.add_option("files", files, "MP4 files (H.264 video, AAC audio)")->required();
    app.add_flag("--check", checkOnly, "only validate the files, change nothing");
    if (std::optional<int> exit_code = tools::ParseCommandLine(app, "moovwright", argc, argv)) {
        return *exit_code;
    }

    bool allGood = true;
    for (const std::string& file : files) {
        const uint32_t result =
            checkOnly ? moovwright::CheckStreamingSource(file) : restructure(file);
        std::printf("%s: %u %s\n", file.c_str(), result, moovwright::ResultText(result));
        std::fflush(stdout);
        allGood = allGood && result == MW_OK;
    }
    return allGood ? 0 : 1;
}
