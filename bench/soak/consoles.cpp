#include "consoles.h"

#include <curl/curl.h>

#include <chrono>
#include <cstdio>
#include <deque>
#include <optional>
#include <regex>
#include <set>
#include <string_view>
#include <thread>
#include <vector>

namespace wharfkeep::bench {
namespace {

using namespace std::chrono_literals;

// What each page asks for when it is shown (the publish page: its folders and a first page
// of rows; the events page shows the stream's history and asks nothing).
const std::vector<std::vector<std::string>> kPages = {
    {"/status"},
    {"/resources", "/connections"},
    {"/folders", "/media?offset=0&limit=100&sort=name&order=asc"},
    {"/settings"},
    {"/ipfilter", "/status"},
    {},
};

struct Tally {
    std::atomic<std::uint64_t> requests{0};
    std::atomic<std::uint64_t> failures{0};
    std::atomic<std::uint64_t> page_loads{0};
    std::atomic<std::uint64_t> event_bytes{0};
    std::atomic<std::uint64_t> stats_events{0};
    std::atomic<int> streams_open{0};
};

std::size_t Append(char* data, std::size_t size, std::size_t count, void* body) {
    static_cast<std::string*>(body)->append(data, size * count);
    return size * count;
}

// One console's connection for its requests, kept alive, with the session's cookie.
class Session {
public:
    explicit Session(std::uint16_t port) : base_("https://127.0.0.1:" + std::to_string(port)) {
        curl_ = curl_easy_init();
        curl_easy_setopt(curl_, CURLOPT_SSL_VERIFYPEER, 0L);  // the bench's own server
        curl_easy_setopt(curl_, CURLOPT_SSL_VERIFYHOST, 0L);
        curl_easy_setopt(curl_, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(curl_, CURLOPT_COOKIEFILE, "");
        curl_easy_setopt(curl_, CURLOPT_TIMEOUT, 30L);
        curl_easy_setopt(curl_, CURLOPT_WRITEFUNCTION, Append);
    }
    ~Session() { curl_easy_cleanup(curl_); }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // The body, or nothing when the answer was not 200.
    std::optional<std::string> Get(const std::string& target, const std::string& post = "") {
        std::string body;
        curl_easy_setopt(curl_, CURLOPT_URL, (base_ + target).c_str());
        curl_easy_setopt(curl_, CURLOPT_WRITEDATA, &body);
        if (post.empty()) {
            curl_easy_setopt(curl_, CURLOPT_HTTPGET, 1L);
        } else {
            curl_easy_setopt(curl_, CURLOPT_COPYPOSTFIELDS, post.c_str());
        }
        long status = 0;
        if (curl_easy_perform(curl_) == CURLE_OK) {
            curl_easy_getinfo(curl_, CURLINFO_RESPONSE_CODE, &status);
        }
        return status == 200 ? std::optional<std::string>(body) : std::nullopt;
    }

    // "name=value" of the session cookie the login set.
    std::string Cookie() const {
        curl_slist* cookies = nullptr;
        curl_easy_getinfo(curl_, CURLINFO_COOKIELIST, &cookies);
        std::string cookie;
        for (curl_slist* item = cookies; item != nullptr; item = item->next) {
            // Netscape format: domain, subdomains, path, secure, expiry, name, value.
            std::vector<std::string> fields;
            std::string line = item->data;
            for (std::size_t start = 0, tab = 0; tab != std::string::npos; start = tab + 1) {
                tab = line.find('\t', start);
                fields.push_back(line.substr(start, tab - start));
            }
            if (fields.size() == 7) {
                cookie = fields[5] + "=" + fields[6];
            }
        }
        curl_slist_free_all(cookies);
        return cookie;
    }

    const std::string& base() const { return base_; }

private:
    std::string base_;
    CURL* curl_;
};

// The files a browser fetches for the console: the page, what it links, and every module
// those import, followed transitively.
bool LoadConsoleFiles(Session& session) {
    std::optional<std::string> page = session.Get("/");
    if (!page) {
        return false;
    }
    static const std::regex linked(R"((?:href|src)="(/assets/[^"]+)\")");
    static const std::regex imported(R"(from '\./([^']+)')");
    static const std::regex imported_up(R"(from '\.\./([^']+)')");
    std::deque<std::string> wanted;
    for (std::sregex_iterator it(page->begin(), page->end(), linked), end; it != end; ++it) {
        wanted.push_back((*it)[1]);
    }
    std::set<std::string> fetched;
    while (!wanted.empty()) {
        const std::string path = wanted.front();
        wanted.pop_front();
        if (!fetched.insert(path).second) {
            continue;
        }
        std::optional<std::string> file = session.Get(path);
        if (!file) {
            return false;
        }
        const std::string folder = path.substr(0, path.rfind('/') + 1);
        for (std::sregex_iterator it(file->begin(), file->end(), imported), end; it != end; ++it) {
            wanted.push_back(folder + (*it)[1].str());
        }
        const std::string up = folder.substr(0, folder.rfind('/', folder.size() - 2) + 1);
        for (std::sregex_iterator it(file->begin(), file->end(), imported_up), end; it != end;
             ++it) {
            wanted.push_back(up + (*it)[1].str());
        }
    }
    return true;
}

// The console's event stream, read to the end, opened again when the server closes it.
void ReadEvents(const std::string& base, const std::string& cookie, Tally& tally,
                const std::atomic<bool>& stop) {
    const auto count = [&tally](std::string_view chunk) {
        tally.event_bytes += chunk.size();
        for (std::size_t at = chunk.find("event: stats"); at != std::string_view::npos;
             at = chunk.find("event: stats", at + 1)) {
            tally.stats_events += 1;
        }
    };
    while (!stop.load()) {
        tally.streams_open += 1;
        ReadEventStream(base + "/events", "Cookie: " + cookie, count, stop);
        tally.streams_open -= 1;
        if (!stop.load()) {
            tally.failures += 1;  // a console's stream is not meant to end
            std::this_thread::sleep_for(200ms);
        }
    }
}

void RunConsole(int index, const ConsoleLoad& load, Tally& tally, const std::atomic<bool>& stop) {
    Session session(load.port);
    const std::string login =
        R"({"user":")" + load.user + R"(","password":")" + load.password + R"("})";
    // The server checks passwords a few at a time and refuses logins past its queue: the
    // consoles open one after another, as people arrive, and retry for a minute when refused
    // (a password check takes long on a busy machine).
    std::this_thread::sleep_for(std::chrono::milliseconds(300 * index));
    bool logged_in = false;
    const auto give_up = std::chrono::steady_clock::now() + 60s;
    while (!logged_in && !stop.load() && std::chrono::steady_clock::now() < give_up) {
        logged_in = session.Get("/login", login).has_value();
        if (!logged_in) {
            std::this_thread::sleep_for(1s);
        }
    }
    const char* failed = !logged_in                   ? "log in"
                         : !LoadConsoleFiles(session) ? "load the console's files"
                         : !session.Get("/session")   ? "read its session"
                                                      : nullptr;
    if (failed != nullptr) {
        std::fprintf(stderr, "console %d could not %s\n", index, failed);
        tally.failures += 1;
        return;
    }
    tally.page_loads += 1;
    std::thread events(ReadEvents, session.base(), session.Cookie(), std::ref(tally),
                       std::cref(stop));
    for (std::size_t page = static_cast<std::size_t>(index); !stop.load(); ++page) {
        for (const std::string& target : kPages[page % kPages.size()]) {
            tally.requests += 1;
            tally.failures += session.Get(target) ? 0 : 1;
        }
        for (int tick = 0; tick < 20 && !stop.load(); ++tick) {
            std::this_thread::sleep_for(100ms);
        }
    }
    events.join();
}

}  // namespace

namespace {

struct StreamReader {
    const std::function<void(std::string_view)>* on_bytes;
    const std::atomic<bool>* stop;
};

std::size_t HandOver(char* data, std::size_t size, std::size_t count, void* arg) {
    (*static_cast<StreamReader*>(arg)->on_bytes)(std::string_view(data, size * count));
    return size * count;
}

int StopWhenAsked(void* arg, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    return static_cast<StreamReader*>(arg)->stop->load() ? 1 : 0;
}

}  // namespace

void ReadEventStream(const std::string& url, const std::string& header,
                     const std::function<void(std::string_view)>& on_bytes,
                     const std::atomic<bool>& stop) {
    StreamReader reader{&on_bytes, &stop};
    CURL* curl = curl_easy_init();
    curl_slist* headers = curl_slist_append(nullptr, header.c_str());
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 0L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 0L);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, HandOver);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &reader);
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, StopWhenAsked);
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &reader);
    curl_easy_perform(curl);
    curl_slist_free_all(headers);
    curl_easy_cleanup(curl);
}

bool RunConsoles(const ConsoleLoad& load, const std::atomic<bool>& stop) {
    Tally tally;
    std::vector<std::thread> consoles;
    const auto began = std::chrono::steady_clock::now();
    for (int i = 0; i < load.consoles; ++i) {
        consoles.emplace_back(RunConsole, i, std::cref(load), std::ref(tally), std::cref(stop));
    }
    for (std::thread& console : consoles) {
        console.join();
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    std::printf(
        "consoles: %llu of %d loaded; %llu page requests, %llu failures; %.1f KiB of events, "
        "%.1f stats events per console per second\n",
        static_cast<unsigned long long>(tally.page_loads.load()), load.consoles,
        static_cast<unsigned long long>(tally.requests.load()),
        static_cast<unsigned long long>(tally.failures.load()),
        static_cast<double>(tally.event_bytes.load()) / 1024,
        static_cast<double>(tally.stats_events.load()) / load.consoles / seconds);
    return tally.failures == 0 && tally.page_loads == static_cast<std::uint64_t>(load.consoles);
}

}  // namespace wharfkeep::bench
