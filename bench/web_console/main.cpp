// The web console as its browser meets the server, over TLS on loopback:
//
//   bench_web_console [--rows N] [--rounds R] [--import-lines L] [--wharfkeepd PATH]
//
// Makes an application-data folder with a catalog of N media rows (the publish_list
// benchmark's generator), a user and a TCP listener, starts `wharfkeepd serve` on it, and
// times with one kept-alive client (libcurl):
// - a login (POST /login; the password check is Argon2id at its interactive limits) and
//   the status page's GET /status with the new session, on a new connection each round;
// - the publish page's GET /media requests: the first page, a page deep in the list, sorts
//   by size, name and time, substring filters (one that only paths can hold, one that CIDs
//   can hold too, one sorted) and a state filter, 100 rows each.
// - with --import-lines, the upload of a block list of L lines (POST /actions/ipfilter-import)
//   while a second client asks GET /status again and again: the import's time and the longest
//   wait of a status request meanwhile (which an import must not hold up).
// Each figure is the median and the best of R rounds, beside its target (1 s for the login
// and status, 100 ms for a page of the list). The machine's load average is printed too.

#include <curl/curl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "catalog.h"
#include "platform/free_port.h"
#include "wharfkeep/control/control_users.h"
#include "wharfkeep/database/resource_database.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using wharfkeep::ResourceDatabase;
using wharfkeep::ServerAccessSettings;

size_t Keep(char* data, size_t size, size_t count, void* body) {
    static_cast<std::string*>(body)->append(data, size * count);
    return size * count;
}

struct Answer {
    long status = 0;
    std::string body;
    double milliseconds = 0;
};

class Client {
public:
    explicit Client(int port) : base_("https://127.0.0.1:" + std::to_string(port)) {
        curl_ = curl_easy_init();
        curl_easy_setopt(curl_, CURLOPT_SSL_VERIFYPEER, 0L);  // a self-signed certificate
        curl_easy_setopt(curl_, CURLOPT_SSL_VERIFYHOST, 0L);
        curl_easy_setopt(curl_, CURLOPT_COOKIEFILE, "");  // keeps the session cookie
        curl_easy_setopt(curl_, CURLOPT_TIMEOUT, 30L);
        curl_easy_setopt(curl_, CURLOPT_WRITEFUNCTION, Keep);
    }
    ~Client() { curl_easy_cleanup(curl_); }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    Answer Request(const std::string& target, const std::string& post_body = "",
                   const std::vector<std::string>& headers = {}) {
        Answer answer;
        curl_slist* list = nullptr;
        for (const std::string& header : headers) {
            list = curl_slist_append(list, header.c_str());
        }
        curl_easy_setopt(curl_, CURLOPT_HTTPHEADER, list);
        curl_easy_setopt(curl_, CURLOPT_URL, (base_ + target).c_str());
        curl_easy_setopt(curl_, CURLOPT_WRITEDATA, &answer.body);
        if (post_body.empty()) {
            curl_easy_setopt(curl_, CURLOPT_HTTPGET, 1L);
        } else {
            // Not copied: libcurl copies at most 8 MB, and the body outlives the request.
            curl_easy_setopt(curl_, CURLOPT_POSTFIELDSIZE_LARGE,
                             static_cast<curl_off_t>(post_body.size()));
            curl_easy_setopt(curl_, CURLOPT_POSTFIELDS, post_body.data());
        }
        auto started = Clock::now();
        if (curl_easy_perform(curl_) == CURLE_OK) {
            curl_easy_getinfo(curl_, CURLINFO_RESPONSE_CODE, &answer.status);
        }
        answer.milliseconds =
            std::chrono::duration<double, std::milli>(Clock::now() - started).count();
        curl_easy_setopt(curl_, CURLOPT_HTTPHEADER, nullptr);
        curl_slist_free_all(list);
        return answer;
    }

private:
    std::string base_;
    CURL* curl_;
};

// Processor time the server has used so far, user and system, in milliseconds.
double ServerCpuMilliseconds(pid_t server) {
    std::ifstream stat("/proc/" + std::to_string(server) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    std::size_t close = text.rfind(')');
    if (close == std::string::npos) {
        return 0;
    }
    std::vector<std::string> fields;
    std::string field;
    for (char c : text.substr(close + 2)) {
        if (c == ' ') {
            fields.push_back(field);
            field.clear();
        } else {
            field += c;
        }
    }
    // After the name: state is field 0, utime field 11, stime field 12 (in clock ticks).
    if (fields.size() < 13) {
        return 0;
    }
    double ticks = std::stod(fields[11]) + std::stod(fields[12]);
    return ticks * 1000.0 / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

struct Figure {
    double median = 0;
    double best = 0;
    double cpu = -1;  // the server's processor time per request, when measured
};

Figure Summary(std::vector<double> times) {
    std::sort(times.begin(), times.end());
    return {times[times.size() / 2], times.front()};
}

bool Print(const char* what, const Figure& figure, double target) {
    bool met = figure.median <= target;
    std::printf("%-44s median %7.1f ms  best %7.1f ms  server CPU %6.1f ms  target %5.0f ms  %s\n",
                what, figure.median, figure.best, figure.cpu, target, met ? "met" : "MISSED");
    return met;
}

// A list like the downloadable ones, "first - last , level , description", ranges apart.
std::string MakeBlockList(int lines) {
    std::string text;
    for (int line = 0; line < lines; ++line) {
        const auto first = static_cast<std::uint32_t>(line) * 1024;
        auto dotted = [](std::uint32_t address) {
            return std::to_string(address >> 24) + "." + std::to_string((address >> 16) & 255) +
                   "." + std::to_string((address >> 8) & 255) + "." + std::to_string(address & 255);
        };
        text += dotted(first) + " - " + dotted(first + 3) + " , 000 , entry " +
                std::to_string(line) + "\n";
    }
    return text;
}

// Imports a block list of `lines` while another client asks for the status without pause;
// false when either fails.
bool MeasureImport(int port, int lines) {
    Client importer(port);
    Client prober(port);
    const std::string login = R"({"user":"bench","password":"bench password"})";
    const nlohmann::json session =
        nlohmann::json::parse(importer.Request("/login", login).body, nullptr, false);
    prober.Request("/login", login);
    if (!session.is_object() || !session.contains("csrf")) {
        std::fprintf(stderr, "the importer could not log in\n");
        return false;
    }
    // A change needs the session's CSRF token; without "Expect:" the body comes at once, as a
    // browser sends it.
    const std::vector<std::string> headers{"X-CSRF-Token: " + session["csrf"].get<std::string>(),
                                           "Content-Type: application/json", "Expect:"};
    const std::string body = nlohmann::json{{"text", MakeBlockList(lines)}}.dump();
    auto import = std::async(std::launch::async, [&] {
        return importer.Request("/actions/ipfilter-import", body, headers);
    });
    std::vector<double> waits;
    while (import.wait_for(std::chrono::milliseconds(0)) != std::future_status::ready) {
        Answer status = prober.Request("/status");
        if (status.status != 200) {
            std::fprintf(stderr, "GET /status during the import: %ld\n", status.status);
            return false;
        }
        waits.push_back(status.milliseconds);
    }
    Answer answer = import.get();
    nlohmann::json report = nlohmann::json::parse(answer.body, nullptr, false);
    if (answer.status != 200 || !report.is_object()) {
        std::fprintf(stderr, "the import answered %ld: %s\n", answer.status,
                     answer.body.substr(0, 200).c_str());
        return false;
    }
    std::printf("import of %d lines (%s added)                 %7.1f ms\n", lines,
                report.value("added", "?").c_str(), answer.milliseconds);
    if (!waits.empty()) {
        std::printf("GET /status meanwhile: %zu answered, median %.1f ms, longest %.1f ms\n",
                    waits.size(), Summary(waits).median,
                    *std::max_element(waits.begin(), waits.end()));
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"The web console's server side at a large catalog"};
    int rows = 100000;
    int rounds = 9;
    std::string wharfkeepd = WHARFKEEPD_PATH;
    app.add_option("--rows", rows, "Media rows in the catalog");
    app.add_option("--rounds", rounds, "Rounds of each measurement");
    int import_lines = 0;
    app.add_option("--import-lines", import_lines,
                   "Also import a block list of this many lines while the status is asked");
    app.add_option("--wharfkeepd", wharfkeepd, "The program to serve with");
    CLI11_PARSE(app, argc, argv);

    std::string pattern = (fs::temp_directory_path() / "wk-bench-web-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    const fs::path home = pattern;
    ::setenv("WHARFKEEP_HOME", home.c_str(), 1);
    {
        ResourceDatabase db;
        ServerAccessSettings settings;
        wharfkeep::bench::CatalogShape shape;
        shape.rows = rows;
        if (!db.OpenDefault("0.0.0.0", "", settings) ||
            !wharfkeep::bench::GenerateCatalog(db, shape)) {
            std::fprintf(stderr, "cannot make the catalog in %s\n", home.c_str());
            return 1;
        }
    }
    const int port = platform::free_tcp_port();
    std::ofstream(home / "Wharfkeep.ini") << "[control]\nlisten = 127.0.0.1:" << port << "\n";
    std::string error;
    if (!wharfkeep::control::UserStore(home / wharfkeep::control::kUsersFileName)
             .Add("bench", wharfkeep::control::Scope::kAdmin, "bench password", error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    pid_t server = ::fork();
    if (server == 0) {
        // The catalog's waiting rows are published (and fail: no files) at the start; their
        // lines are not the benchmark's.
        std::freopen("/dev/null", "w", stdout);
        std::freopen("/dev/null", "w", stderr);
        ::execl(wharfkeepd.c_str(), wharfkeepd.c_str(), "--log-level", "warning", "serve",
                static_cast<char*>(nullptr));
        ::_exit(127);
    }
    curl_global_init(CURL_GLOBAL_DEFAULT);
    bool up = false;
    for (auto deadline = Clock::now() + std::chrono::seconds(60); Clock::now() < deadline;) {
        Client probe(port);
        if (probe.Request("/").status != 0) {
            up = true;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    // The figures are taken once the server has settled: those start-up publications done.
    for (auto deadline = Clock::now() + std::chrono::seconds(180); up && Clock::now() < deadline;) {
        double before = ServerCpuMilliseconds(server);
        std::this_thread::sleep_for(std::chrono::seconds(1));
        if (ServerCpuMilliseconds(server) - before < 50) {
            break;
        }
    }
    int exit_code = 0;
    if (!up) {
        std::fprintf(stderr, "wharfkeepd serve did not answer on port %d\n", port);
        exit_code = 1;
    } else {
        double load[3] = {};
        ::getloadavg(load, 3);
        std::printf("bench_web_console: %d rows, %d rounds, load average %.2f\n", rows, rounds,
                    load[0]);
        std::vector<double> logins;
        std::vector<double> login_and_status;
        for (int round = 0; round < rounds; ++round) {
            Client client(port);
            Answer login =
                client.Request("/login", R"({"user":"bench","password":"bench password"})");
            Answer status = client.Request("/status");
            if (login.status != 200 || status.status != 200) {
                std::fprintf(stderr, "login %ld, status %ld: %s\n", login.status, status.status,
                             login.body.c_str());
                exit_code = 1;
                break;
            }
            logins.push_back(login.milliseconds);
            login_and_status.push_back(login.milliseconds + status.milliseconds);
        }
        if (exit_code == 0) {
            Print("POST /login (new TLS connection)", Summary(logins), 1000);
            exit_code |= !Print("login, then GET /status", Summary(login_and_status), 1000);
            Client client(port);
            client.Request("/login", R"({"user":"bench","password":"bench password"})");
            const std::string middle = std::to_string(rows / 2);
            const struct {
                const char* label;
                std::string target;
            } pages[] = {
                {"/media first page", "/media?offset=0&limit=100"},
                {"/media page in the middle", "/media?offset=" + middle + "&limit=100"},
                {"/media sorted by size, descending", "/media?sort=size&order=desc&limit=100"},
                {"/media sorted by name", "/media?sort=name&limit=100"},
                {"/media sorted by time, page in the middle",
                 "/media?sort=time&offset=" + middle + "&limit=100"},
                {"/media filtered by name (q=folder-017)", "/media?q=folder-017&limit=100"},
                {"/media filtered, text also in CIDs (q=00017)", "/media?q=00017&limit=100"},
                {"/media filtered by name, sorted by size",
                 "/media?q=folder-017&sort=size&order=desc&limit=100"},
                {"/media filtered by state (published)", "/media?state=1&limit=100"},
            };
            for (const auto& page : pages) {
                std::vector<double> times;
                const double cpu_before = ServerCpuMilliseconds(server);
                for (int round = 0; round < rounds; ++round) {
                    Answer answer = client.Request(page.target);
                    nlohmann::json body = nlohmann::json::parse(answer.body, nullptr, false);
                    if (answer.status != 200 || !body.is_object() || body["items"].empty()) {
                        std::fprintf(stderr, "%s: %ld %s\n", page.target.c_str(), answer.status,
                                     answer.body.substr(0, 200).c_str());
                        exit_code = 1;
                        break;
                    }
                    times.push_back(answer.milliseconds);
                }
                if (!times.empty()) {
                    Figure figure = Summary(times);
                    figure.cpu = (ServerCpuMilliseconds(server) - cpu_before) /
                                 static_cast<double>(times.size());
                    exit_code |= !Print(page.label, figure, 100);
                }
            }
        }
        if (exit_code == 0 && import_lines > 0 && !MeasureImport(port, import_lines)) {
            exit_code = 1;
        }
    }
    ::kill(server, SIGTERM);
    ::waitpid(server, nullptr, 0);
    std::error_code ignored;
    fs::remove_all(home, ignored);
    curl_global_cleanup();
    return exit_code;
}
