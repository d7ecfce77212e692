// The services part on the real servers, without a document or a window: start and stop,
// a busy port, limits, the plain records and the callbacks routed to whoever is attached.

#include "wharfkeep/host/services.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "platform/free_port.h"
#include "platform/unique_fd.h"

namespace wharfkeep::host {
namespace {

constexpr const char* kGcid = "0123456789ABCDEF0123456789ABCDEF01234567";

// Answers as a host with one published file and one refused address.
class FakeQueries : public ServerQueries {
public:
    std::string PublishedPath(const std::string& gcid, bool descriptor) override {
        if (gcid != kGcid) {
            return {};
        }
        return descriptor ? "/media/.a.mp4.sts" : "/media/a.mp4";
    }
    bool RefusePeer(std::uint32_t address) override {
        last_peer = address;
        return address == 0x0A000001;
    }
    bool ExportPublishedList(const std::string& path) override {
        exported = path;
        return true;
    }
    std::uint32_t last_peer = 0;
    std::string exported;
};

// Holds a TCP port so that a server cannot bind it.
class PortHolder {
public:
    PortHolder() : port_(platform::free_tcp_port()), fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port_);
        address.sin_addr.s_addr = htonl(INADDR_ANY);
        bound_ = ::bind(fd_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                 ::listen(fd_.get(), 1) == 0;
    }
    std::uint16_t port() const { return port_; }
    bool bound() const { return bound_; }

private:
    std::uint16_t port_;
    platform::UniqueFd fd_;
    bool bound_ = false;
};

TEST(Services, StartStopAndTheCountersOfBoundPorts) {
    Services services;
    const std::uint16_t peer_port = platform::free_tcp_port();
    const std::uint16_t list_port = platform::free_tcp_port();
    ASSERT_EQ(services.Start(peer_port, list_port), StartOutcome::kStarted);
    EXPECT_TRUE(services.Running());
    ServiceCounters counters = services.Counters();
    EXPECT_TRUE(counters.running);
    EXPECT_EQ(ntohs(counters.peer_address.sin_port), peer_port);
    EXPECT_EQ(ntohs(counters.list_address.sin_port), list_port);
    EXPECT_TRUE(services.Resources().empty()) << "no peer has asked for anything";
    EXPECT_TRUE(services.Connections(kGcid).empty());

    services.Stop();
    EXPECT_FALSE(services.Running());
    counters = services.Counters();
    EXPECT_FALSE(counters.running);
    EXPECT_TRUE(services.Resources().empty());
}

TEST(Services, ABusyPortSaysWhichAndLeavesNothingRunning) {
    PortHolder held;
    ASSERT_TRUE(held.bound());
    Services services;
    EXPECT_EQ(services.Start(held.port(), platform::free_tcp_port()),
              StartOutcome::kTransferPortBusy);
    EXPECT_FALSE(services.Running());
    EXPECT_EQ(services.Start(platform::free_tcp_port(), held.port()),
              StartOutcome::kProtocolPortBusy);
    EXPECT_FALSE(services.Running()) << "the peer server stops again";
    EXPECT_EQ(services.Start(70000, platform::free_tcp_port()), StartOutcome::kTransferPortBusy)
        << "a port beyond 16 bits is not cut to another port";
    EXPECT_FALSE(services.Running());
}

TEST(Services, LimitsAndTheUploadDecisionReachThePeerServer) {
    Services services;
    services.SetConnectionLimit(17);
    services.ApplyUploadDecision({schedule::UploadMode::Normal, 64000, -1});
    ServiceCounters counters = services.Counters();
    EXPECT_EQ(counters.connection_limit, 17u);
    EXPECT_EQ(counters.speed_limit, 64000u);
    services.ApplyUploadDecision({schedule::UploadMode::Paused, 0, -1});
    EXPECT_EQ(services.Counters().speed_limit, 0u);
    services.SetConnectionLimit(0);
    services.ApplyUploadDecision({schedule::UploadMode::Normal, 0, -1});
}

TEST(Services, CallbacksAnswerForTheAttachedQueriesAndAsClosedAfterwards) {
    FakeQueries queries;
    Services services;
    services.Attach(&queries);

    char path[260] = {};
    ASSERT_TRUE(Services::LocalPathForGcid(kGcid, path, sizeof path));
    EXPECT_STREQ(path, "/media/a.mp4");
    ASSERT_TRUE(Services::DescriptorPathForGcid(kGcid, path, sizeof path));
    EXPECT_STREQ(path, "/media/.a.mp4.sts");
    EXPECT_FALSE(Services::LocalPathForGcid("FF", path, sizeof path));
    EXPECT_FALSE(Services::LocalPathForGcid(nullptr, path, sizeof path));

    // A path that does not fit whole is refused, never cut; one that fits exactly is copied.
    char short_by_one[12] = {};
    EXPECT_FALSE(Services::LocalPathForGcid(kGcid, short_by_one, sizeof short_by_one));
    char exact[13] = {};
    EXPECT_TRUE(Services::LocalPathForGcid(kGcid, exact, sizeof exact));

    in_addr peer{};
    peer.s_addr = htonl(0x0A000001);
    EXPECT_TRUE(Services::RefusePeer(&peer));
    EXPECT_EQ(queries.last_peer, 0x0A000001u) << "first octet most significant";
    peer.s_addr = htonl(0x0A000002);
    EXPECT_FALSE(Services::RefusePeer(&peer));
    EXPECT_FALSE(Services::RefusePeer(nullptr));
    EXPECT_TRUE(Services::ExportPublishedList("/tmp/list"));
    EXPECT_EQ(queries.exported, "/tmp/list");
    EXPECT_FALSE(Services::ExportPublishedList(nullptr));

    services.Detach();
    std::memset(path, 0, sizeof path);
    EXPECT_FALSE(Services::LocalPathForGcid(kGcid, path, sizeof path));
    EXPECT_STREQ(path, "") << "the buffer is left as it was";
    peer.s_addr = htonl(0x0A000001);
    EXPECT_FALSE(Services::RefusePeer(&peer));
    queries.exported.clear();
    EXPECT_TRUE(Services::ExportPublishedList("/tmp/other"));
    EXPECT_EQ(queries.exported, "") << "nothing written after the detach";
}

TEST(Services, DetachingAnotherOwnerLeavesTheAttachedQueries) {
    FakeQueries first;
    FakeQueries second;
    Services old_owner;
    old_owner.Attach(&first);
    {
        Services new_owner;
        new_owner.Attach(&second);
        old_owner.Detach();  // must not clear the newer attachment
        char path[260] = {};
        EXPECT_TRUE(Services::LocalPathForGcid(kGcid, path, sizeof path));
    }
    char path[260] = {};
    EXPECT_FALSE(Services::LocalPathForGcid(kGcid, path, sizeof path))
        << "the new owner detached on destruction";
}

TEST(GcidField, StopsAtFortyCharactersOrAZero) {
    char full[40];
    std::memset(full, 'A', sizeof full);
    EXPECT_EQ(GcidFieldText(full), std::string(40, 'A'));
    char empty[40] = {};
    EXPECT_EQ(GcidFieldText(empty), "");
    char short_one[40] = {'A', 'B'};
    EXPECT_EQ(GcidFieldText(short_one), "AB");
}

}  // namespace
}  // namespace wharfkeep::host
