#include "wharfkeep/control/control_client.h"

#include <curl/curl.h>

#include <memory>
#include <mutex>

namespace wharfkeep::control {
namespace {

void InitCurlOnce() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct CurlDeleter {
    void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
struct HeaderListDeleter {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using CurlHandle = std::unique_ptr<CURL, CurlDeleter>;
using HeaderList = std::unique_ptr<curl_slist, HeaderListDeleter>;

size_t AppendBody(char* data, size_t size, size_t count, void* target) {
    static_cast<std::string*>(target)->append(data, size * count);
    return size * count;
}

CurlHandle NewHandle(const std::filesystem::path& socket_path, const std::string& target) {
    InitCurlOnce();
    CurlHandle handle(curl_easy_init());
    if (!handle) {
        return handle;
    }
    curl_easy_setopt(handle.get(), CURLOPT_UNIX_SOCKET_PATH, socket_path.c_str());
    std::string url = "http://localhost" + target;
    curl_easy_setopt(handle.get(), CURLOPT_URL, url.c_str());
    curl_easy_setopt(handle.get(), CURLOPT_NOSIGNAL, 1L);
    return handle;
}

// The event stream's parser: lines ending in "\n", an empty line ends an event.
struct StreamState {
    std::string pending;
    std::string type;
    std::string data;
    bool subscribed = false;
    bool stop = false;
    const std::function<bool(const std::string&, const std::string&)>* on_event;
    const std::function<bool()>* on_subscribed;
};

void TakeLine(StreamState& state, const std::string& line) {
    if (line.empty()) {
        if (!state.type.empty() && !(*state.on_event)(state.type, state.data)) {
            state.stop = true;
        }
        state.type.clear();
        state.data.clear();
    } else if (line[0] == ':') {
        if (!state.subscribed) {
            state.subscribed = true;
            if (*state.on_subscribed && !(*state.on_subscribed)()) {
                state.stop = true;
            }
        }
    } else if (line.rfind("event: ", 0) == 0) {
        state.type = line.substr(7);
    } else if (line.rfind("data: ", 0) == 0) {
        state.data += line.substr(6);
    }
}

size_t ReadStream(char* data, size_t size, size_t count, void* target) {
    auto& state = *static_cast<StreamState*>(target);
    state.pending.append(data, size * count);
    std::size_t newline;
    while (!state.stop && (newline = state.pending.find('\n')) != std::string::npos) {
        std::string line = state.pending.substr(0, newline);
        state.pending.erase(0, newline + 1);
        TakeLine(state, line);
    }
    // Returning less than given makes libcurl end the transfer.
    return state.stop ? 0 : size * count;
}

}  // namespace

ControlClient::ControlClient(std::filesystem::path socket_path, long timeout_seconds)
    : socket_path_(std::move(socket_path)), timeout_seconds_(timeout_seconds) {}

ClientAnswer ControlClient::Get(const std::string& target) const {
    return Send("GET", target, "");
}

ClientAnswer ControlClient::Send(const std::string& method, const std::string& target,
                                 const std::string& json_body) const {
    ClientAnswer answer;
    CurlHandle handle = NewHandle(socket_path_, target);
    if (!handle) {
        answer.error = "cannot start an HTTP client";
        return answer;
    }
    CURL* curl = handle.get();
    HeaderList headers(curl_slist_append(nullptr, "Content-Type: application/json"));
    headers.reset(curl_slist_append(headers.release(), "Expect:"));
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, method.c_str());
    if (method != "GET") {
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, json_body.c_str());
        curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, static_cast<long>(json_body.size()));
    }
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, timeout_seconds_);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, AppendBody);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &answer.body);
    CURLcode result = curl_easy_perform(curl);
    if (result != CURLE_OK) {
        answer.error = curl_easy_strerror(result);
        return answer;
    }
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &answer.status);
    return answer;
}

std::string ControlClient::Watch(
    const std::function<bool(const std::string&, const std::string&)>& on_event,
    const std::function<bool()>& on_subscribed) const {
    CurlHandle handle = NewHandle(socket_path_, "/events");
    if (!handle) {
        return "cannot start an HTTP client";
    }
    StreamState state;
    state.on_event = &on_event;
    state.on_subscribed = &on_subscribed;
    curl_easy_setopt(handle.get(), CURLOPT_WRITEFUNCTION, ReadStream);
    curl_easy_setopt(handle.get(), CURLOPT_WRITEDATA, &state);
    // The server sends a keep-alive comment every few seconds; a minute of silence is a
    // server that is gone.
    curl_easy_setopt(handle.get(), CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(handle.get(), CURLOPT_LOW_SPEED_TIME, 60L);
    CURLcode result = curl_easy_perform(handle.get());
    if (state.stop) {
        return "";
    }
    if (result != CURLE_OK) {
        return curl_easy_strerror(result);
    }
    long status = 0;
    curl_easy_getinfo(handle.get(), CURLINFO_RESPONSE_CODE, &status);
    return status == 200 ? "the event stream ended" : "the event stream was refused";
}

}  // namespace wharfkeep::control
