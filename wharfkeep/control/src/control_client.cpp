#include "wharfkeep/control/control_client.h"

#include <curl/curl.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cctype>
#include <memory>
#include <mutex>

#include "wharfkeep/control/tls_identity.h"

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

// Hexadecimal digits only, upper case: fingerprints compare whatever their separators.
std::string FingerprintDigits(const std::string& text) {
    std::string digits;
    for (char c : text) {
        if (std::isxdigit(static_cast<unsigned char>(c))) {
            digits += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        }
    }
    return digits;
}

// The server's own certificate must have the pinned fingerprint; who signed it does not
// matter then.
int VerifyPinned(int, X509_STORE_CTX* store) {
    if (X509_STORE_CTX_get_error_depth(store) != 0) {
        return 1;
    }
    auto* tls =
        static_cast<SSL*>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
    const auto* pinned =
        static_cast<const std::string*>(SSL_CTX_get_app_data(SSL_get_SSL_CTX(tls)));
    X509* certificate = X509_STORE_CTX_get_current_cert(store);
    return certificate != nullptr && pinned != nullptr &&
           FingerprintDigits(CertificateFingerprint(certificate)) == *pinned;
}

CURLcode PinFingerprint(CURL*, void* ssl_context, void* pinned) {
    auto* context = static_cast<SSL_CTX*>(ssl_context);
    SSL_CTX_set_app_data(context, pinned);
    SSL_CTX_set_verify(context, SSL_VERIFY_PEER, VerifyPinned);
    return CURLE_OK;
}

struct Connection {
    CurlHandle handle;
    HeaderList headers;
    std::string pinned;  // fingerprint digits, read by the TLS check during the transfer
};

void SetRemote(Connection& connection, const RemoteTarget& remote) {
    CURL* curl = connection.handle.get();
    curl_easy_setopt(curl, CURLOPT_SSLVERSION, CURL_SSLVERSION_TLSv1_2);
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "https");
    if (!remote.ca_file.empty()) {
        curl_easy_setopt(curl, CURLOPT_CAINFO, remote.ca_file.c_str());
        // A self-signed certificate given as its own authority is for one host: its names
        // are still checked.
    } else if (!remote.fingerprint.empty()) {
        connection.pinned = FingerprintDigits(remote.fingerprint);
        // The pin replaces the chain check (the callback below refuses any other
        // certificate); the name is not checked, as the certificate is known exactly.
        curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 0L);
        curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 0L);
        curl_easy_setopt(curl, CURLOPT_SSL_CTX_FUNCTION, PinFingerprint);
        curl_easy_setopt(curl, CURLOPT_SSL_CTX_DATA, &connection.pinned);
    }
    if (!remote.token.empty()) {
        std::string authorization = "Authorization: Bearer " + remote.token;
        connection.headers.reset(
            curl_slist_append(connection.headers.release(), authorization.c_str()));
    }
}

std::unique_ptr<Connection> NewConnection(const std::filesystem::path& socket_path,
                                          const std::optional<RemoteTarget>& remote,
                                          const std::string& target) {
    InitCurlOnce();
    auto connection = std::make_unique<Connection>();
    connection->handle.reset(curl_easy_init());
    if (!connection->handle) {
        return nullptr;
    }
    CURL* curl = connection->handle.get();
    std::string url;
    if (remote) {
        url = remote->url;
        while (!url.empty() && url.back() == '/') {
            url.pop_back();
        }
        url += target;
        SetRemote(*connection, *remote);
    } else {
        curl_easy_setopt(curl, CURLOPT_UNIX_SOCKET_PATH, socket_path.c_str());
        url = "http://localhost" + target;
    }
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, connection->headers.get());
    return connection;
}

// The event stream's parser: lines ending in "\n", an empty line ends an event.
struct StreamState {
    std::string pending;
    std::string type;
    std::string data;
    bool subscribed = false;
    bool stop = false;
    bool lagged = false;
    const std::function<bool(const std::string&, const std::string&)>* on_event;
    const std::function<bool()>* on_subscribed;
};

void TakeLine(StreamState& state, const std::string& line) {
    if (line.empty()) {
        if (state.type == "lagged") {
            state.lagged = true;  // the server ends the stream after this
        } else if (!state.type.empty() && !(*state.on_event)(state.type, state.data)) {
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

// What went wrong, in terms of the check the operator chose for the server's certificate.
std::string TransferError(CURLcode result, const std::optional<RemoteTarget>& remote) {
    bool certificate_refused =
        result == CURLE_PEER_FAILED_VERIFICATION || result == CURLE_SSL_CONNECT_ERROR;
    if (remote && certificate_refused) {
        std::string check = !remote->ca_file.empty()
                                ? "the authority in " + remote->ca_file.string()
                            : !remote->fingerprint.empty() ? "the pinned fingerprint"
                                                           : "the system's trusted authorities";
        return std::string(curl_easy_strerror(result)) + ": the server's certificate fails " +
               check;
    }
    const char* serving = remote ? "the server" : "the instance";
    switch (result) {
        case CURLE_PARTIAL_FILE:
        case CURLE_GOT_NOTHING:
        case CURLE_RECV_ERROR:
        case CURLE_SEND_ERROR:
            return std::string("the connection ended before the answer was complete: ") + serving +
                   " stopped or restarted";
        case CURLE_COULDNT_CONNECT:
            return std::string("cannot connect: ") + serving + " is not running";
        default:
            return curl_easy_strerror(result);
    }
}

}  // namespace

ControlClient::ControlClient(std::filesystem::path socket_path, long timeout_seconds)
    : socket_path_(std::move(socket_path)), timeout_seconds_(timeout_seconds) {}

ControlClient::ControlClient(RemoteTarget remote, long timeout_seconds)
    : remote_(std::move(remote)), timeout_seconds_(timeout_seconds) {}

ClientAnswer ControlClient::Get(const std::string& target) const {
    return Send("GET", target, "");
}

ClientAnswer ControlClient::Send(const std::string& method, const std::string& target,
                                 const std::string& json_body) const {
    ClientAnswer answer;
    std::unique_ptr<Connection> connection = NewConnection(socket_path_, remote_, target);
    if (!connection) {
        answer.error = "cannot start an HTTP client";
        return answer;
    }
    CURL* curl = connection->handle.get();
    HeaderList& headers = connection->headers;
    headers.reset(curl_slist_append(headers.release(), "Content-Type: application/json"));
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
        answer.error = TransferError(result, remote_);
        return answer;
    }
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &answer.status);
    return answer;
}

std::string ControlClient::Watch(
    const std::function<bool(const std::string&, const std::string&)>& on_event,
    const std::function<bool()>& on_subscribed) const {
    std::unique_ptr<Connection> connection = NewConnection(socket_path_, remote_, "/events");
    if (!connection) {
        return "cannot start an HTTP client";
    }
    CurlHandle& handle = connection->handle;
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
    if (state.lagged) {
        return "the server closed the event stream: this client fell behind the events";
    }
    if (result != CURLE_OK) {
        return TransferError(result, remote_);
    }
    long status = 0;
    curl_easy_getinfo(handle.get(), CURLINFO_RESPONSE_CODE, &status);
    return status == 200 ? "the event stream ended" : "the event stream was refused";
}

}  // namespace wharfkeep::control
