#pragma once
// HTTPS requests to a control server under test, through curl. The server's certificate is
// not checked here (its own tests pin the fingerprint), and the path goes out as written.

#include <curl/curl.h>

#include <string>
#include <vector>

namespace wharfkeep::control {

struct HttpsReply {
    long status = 0;  // 0 when no answer came
    std::string body;
    std::string headers;
};

inline size_t AppendTo(char* data, size_t size, size_t count, void* target) {
    static_cast<std::string*>(target)->append(data, size * count);
    return size * count;
}

// `method` on `url` with `headers`, and `body` when it is not empty. An answer whose transfer
// then fails (an event stream the server closes) keeps its status.
inline HttpsReply HttpsRequest(const std::string& method, const std::string& url,
                               const std::vector<std::string>& headers,
                               const std::string& body = "") {
    HttpsReply reply;
    CURL* curl = curl_easy_init();
    curl_slist* list = nullptr;
    for (const std::string& header : headers) {
        list = curl_slist_append(list, header.c_str());
    }
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, method.c_str());
    if (!body.empty()) {
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.c_str());
    }
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, list);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 0L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 0L);
    curl_easy_setopt(curl, CURLOPT_PATH_AS_IS, 1L);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, 10L);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, AppendTo);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &reply.body);
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, AppendTo);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, &reply.headers);
    curl_easy_perform(curl);
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &reply.status);
    curl_slist_free_all(list);
    curl_easy_cleanup(curl);
    return reply;
}

}  // namespace wharfkeep::control
