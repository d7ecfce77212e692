#include <event2/bufferevent.h>
#include <event2/event.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>

#include "stats/rate_limit.h"

namespace peerfeed {
namespace {

struct base_deleter {
    void operator()(event_base* base) const { event_base_free(base); }
};

TEST(TokenBucket, ZeroLimitMeansTheLargestRate) {
    EXPECT_EQ(configured_write_rate(0), 2147483647u);
    EXPECT_EQ(configured_write_rate(65536), 65536u);
    EXPECT_NE(make_token_bucket_cfg(0), nullptr);
    EXPECT_NE(make_token_bucket_cfg(1), nullptr);
}

TEST(RateLimitGroup, BucketFollowsTheConfiguredLimit) {
    std::unique_ptr<event_base, base_deleter> base(event_base_new());
    rate_limit_group group(base.get(), 65536);
    EXPECT_EQ(group.limit(), 65536u);
    EXPECT_LE(bufferevent_rate_limit_group_get_write_limit(group.get()), 65536);
    // Reading is never limited.
    EXPECT_GE(bufferevent_rate_limit_group_get_read_limit(group.get()), 2147483647);

    group.set_limit(0);
    EXPECT_EQ(group.limit(), 0u);
    group.set_limit(1000);
    EXPECT_EQ(group.limit(), 1000u);
    EXPECT_LE(bufferevent_rate_limit_group_get_write_limit(group.get()), 1000);
}

TEST(RateLimitGroup, MembersJoinAndLeave) {
    std::unique_ptr<event_base, base_deleter> base(event_base_new());
    rate_limit_group group(base.get(), 0);
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    bufferevent* connection = bufferevent_socket_new(base.get(), fds[0], BEV_OPT_CLOSE_ON_FREE);
    EXPECT_EQ(group.add(connection), 0);
    group.remove(connection);
    bufferevent_free(connection);
    ::close(fds[1]);
}

}  // namespace
}  // namespace peerfeed
