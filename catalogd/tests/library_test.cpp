// libcatalogd.so as the host sees it: loaded by name, driven only through its exports.

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "http_client.h"
#include "movie_info.h"
#include "platform/free_port.h"

namespace catalogd {
namespace {

class SharedLibrary {
public:
    SharedLibrary() {
        const char* folder = std::getenv("WK_LIB_DIR");
        std::string path = std::string(folder ? folder : ".") + "/libcatalogd.so";
        // Kept loaded, as in the host: libevent's process-wide locks live as long as the
        // process, and unloading would only hide them from the leak checker.
        handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
    }
    ~SharedLibrary() {
        if (handle_ != nullptr) {
            dlclose(handle_);
        }
    }
    bool loaded() const { return handle_ != nullptr; }
    template <typename Function>
    Function find(const char* name) const {
        return reinterpret_cast<Function>(dlsym(handle_, name));
    }

private:
    void* handle_ = nullptr;
};

TEST(SharedLibrary, ExportsTheServerFunctionsOnly) {
    SharedLibrary library;
    ASSERT_TRUE(library.loaded()) << dlerror();
    for (const char* name : {"sts_start", "sts_stop", "sts_run_stat", "sts_get_bind_addr",
                             "sts_set_gcid2path_function", "sts_set_ip_filter_function",
                             "sts_set_export_lists_function", "sts_close_file",
                             "sts_close_all_files", "sts_get_query_stat", "sts_probe_loop"}) {
        EXPECT_NE(library.find<void*>(name), nullptr) << name;
    }
    // Internals, the test hooks among them, stay hidden.
    EXPECT_EQ(library.find<void*>("_ZN8catalogd7testing14listening_portEv"), nullptr);
}

TEST(SharedLibrary, AnswersAQueryOnTheGivenPort) {
    SharedLibrary library;
    ASSERT_TRUE(library.loaded()) << dlerror();
    auto start = library.find<int (*)(unsigned short)>("sts_start");
    auto stop = library.find<int (*)()>("sts_stop");
    auto run_stat = library.find<int (*)()>("sts_run_stat");
    ASSERT_TRUE(start && stop && run_stat);

    auto probe_loop = library.find<int (*)(unsigned)>("sts_probe_loop");
    ASSERT_TRUE(probe_loop);
    EXPECT_EQ(probe_loop(1000), 1) << "nothing runs yet";

    std::uint16_t port = platform::free_tcp_port();
    ASSERT_EQ(start(port), 0);
    EXPECT_EQ(run_stat(), 1);
    EXPECT_EQ(probe_loop(5000), 0) << "the service thread's loop answers";

    cmd_stream_query_movie_info query;
    query.gcid.fill(0x99);
    std::vector<std::uint8_t> body = encode_message(query);
    test::Client client(port);
    ASSERT_TRUE(client.send(test::query_request(std::string(body.begin(), body.end()))));
    std::string expected_header =
        "HTTP/1.1 200 OK\r\nContent-Length: 28\r\nConnection: close\r\n\r\n";
    std::optional<test::HttpResponse> response =
        test::parse_response(client.read_at_least(expected_header.size() + 28));
    ASSERT_TRUE(response);
    EXPECT_EQ(response->status, "200 OK");
    EXPECT_EQ(response->body.size(), 28u);

    EXPECT_EQ(stop(), 0);
    EXPECT_EQ(run_stat(), 0);
    EXPECT_EQ(probe_loop(1000), 1);
}

}  // namespace
}  // namespace catalogd
