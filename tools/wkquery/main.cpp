// wkquery: asks a list server for the description of one published item, or for the list of
// published files.
//
//   wkquery HOST:PORT GCID     prints the decoded description, or "not found"
//   wkquery HOST:PORT --urls   prints the list
//
// Exit codes: 0 found (or list printed), 1 not found, 2 failure, 3 a description whose
// piece sizes do not add up to its total size.

#include <CLI/CLI.hpp>
#include <chrono>
#include <iostream>
#include <optional>
#include <string>

#include "list_client.h"
#include "movie_info.h"
#include "tool_cli.h"

namespace {

enum ExitCode : int {
    kFound = 0,
    kNotFound = 1,
    kFailure = 2,
    kInconsistent = 3,
};

int print_list(const wkquery::Endpoint& endpoint, std::chrono::milliseconds timeout) {
    wkquery::HttpReply reply =
        wkquery::exchange(endpoint, wkquery::list_request(endpoint), timeout);
    if (reply.status_code != 200) {
        std::cerr << "wkquery: the server answered " << reply.status << "\n";
        return kFailure;
    }
    std::cout << reply.body << std::flush;
    return kFound;
}

int print_description(const wkquery::Endpoint& endpoint, const peerfeed::cid_bytes& gcid,
                      std::chrono::milliseconds timeout) {
    catalogd::cmd_stream_query_movie_info query;
    query.gcid = gcid;
    std::vector<std::uint8_t> body = catalogd::encode_message(query);
    wkquery::HttpReply reply =
        wkquery::exchange(endpoint, wkquery::query_request(endpoint, body), timeout);
    if (reply.status_code == 404) {
        std::cout << "not found\n";
        return kNotFound;
    }
    if (reply.status_code != 200) {
        std::cerr << "wkquery: the server answered " << reply.status << "\n";
        return kFailure;
    }
    catalogd::cmd_stream_query_movie_info_resp response;
    try {
        response.Decode(reinterpret_cast<const std::uint8_t*>(reply.body.data()),
                        static_cast<std::uint32_t>(reply.body.size()));
    } catch (const std::exception& error) {
        std::cerr << "wkquery: the answer cannot be decoded: " << error.what() << "\n";
        return kFailure;
    }
    switch (response.result) {
        case catalogd::kResultFound:
            std::cout << wkquery::describe(response);
            return kFound;
        case catalogd::kResultNotFound:
            std::cout << "not found\n";
            return kNotFound;
        case catalogd::kResultInconsistentSizes:
            std::cout << wkquery::describe(response);
            std::cerr << "wkquery: the piece sizes do not add up to the total size\n";
            return kInconsistent;
        default:
            std::cerr << "wkquery: unknown result " << int{response.result} << "\n";
            return kFailure;
    }
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"Asks a list server for a published item's description or for the list."};
    app.footer(
        "Exit codes: 0 found or list printed, 1 not found, 2 failure, 3 the description's "
        "piece sizes do not add up.");
    std::string address;
    std::string gcid_text;
    bool list = false;
    double timeout_seconds = 10;
    app.add_option("address", address, "HOST:PORT of the list server")->required();
    app.add_option("gcid", gcid_text, "content identifier, 40 hexadecimal digits");
    app.add_flag("--urls", list, "print the list of published files instead");
    app.add_option("--timeout", timeout_seconds, "seconds to wait for the whole answer")
        ->check(CLI::PositiveNumber);
    if (std::optional<int> exit_code = tools::ParseCommandLine(app, "wkquery", argc, argv)) {
        return *exit_code;
    }

    std::optional<wkquery::Endpoint> endpoint = wkquery::parse_endpoint(address);
    if (!endpoint) {
        std::cerr << "wkquery: expected HOST:PORT, got \"" << address << "\"\n";
        return kFailure;
    }
    if (list == !gcid_text.empty()) {
        std::cerr << "wkquery: give either a GCID or --urls\n";
        return kFailure;
    }
    auto timeout = std::chrono::milliseconds(static_cast<long long>(timeout_seconds * 1000));
    try {
        if (list) {
            return print_list(*endpoint, timeout);
        }
        std::optional<peerfeed::cid_bytes> gcid = wkquery::parse_gcid(gcid_text);
        if (!gcid) {
            std::cerr << "wkquery: a GCID is 40 hexadecimal digits\n";
            return kFailure;
        }
        return print_description(*endpoint, *gcid, timeout);
    } catch (const std::exception& error) {
        std::cerr << "wkquery: " << error.what() << "\n";
        return kFailure;
    }
}
