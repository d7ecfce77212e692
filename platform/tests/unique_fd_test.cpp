#include "platform/unique_fd.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <utility>

namespace platform {
namespace {

bool is_open(int fd) {
    return ::fcntl(fd, F_GETFD) != -1;
}

int open_pipe_end(int& other) {
    int ends[2];
    if (::pipe(ends) != 0) {
        return -1;
    }
    other = ends[1];
    return ends[0];
}

TEST(UniqueFd, ClosesExactlyOnceWhateverPathTheDescriptorTakes) {
    int write_end = -1;
    const int read_end = open_pipe_end(write_end);
    ASSERT_GE(read_end, 0);
    ::close(write_end);
    {
        UniqueFd owner(read_end);
        EXPECT_TRUE(owner.valid());
        UniqueFd moved(std::move(owner));
        EXPECT_FALSE(owner.valid());
        EXPECT_EQ(moved.get(), read_end);
        EXPECT_TRUE(is_open(read_end));
    }
    EXPECT_FALSE(is_open(read_end)) << "the last owner closes it";

    int second_write = -1;
    const int second = open_pipe_end(second_write);
    ASSERT_GE(second, 0);
    UniqueFd a(second);
    UniqueFd b(second_write);
    a = std::move(b);  // closes `second`, takes the write end
    EXPECT_FALSE(is_open(second));
    EXPECT_EQ(a.get(), second_write);
    a.reset();
    EXPECT_FALSE(is_open(second_write));
    EXPECT_FALSE(a.valid());
}

TEST(UniqueFd, ReleaseHandsTheDescriptorBackOpen) {
    int write_end = -1;
    const int read_end = open_pipe_end(write_end);
    ASSERT_GE(read_end, 0);
    UniqueFd writer(write_end);
    int released = -1;
    {
        UniqueFd owner(read_end);
        released = owner.release();
        EXPECT_FALSE(owner.valid());
    }
    EXPECT_EQ(released, read_end);
    EXPECT_TRUE(is_open(read_end));
    ::close(read_end);
    UniqueFd empty;
    EXPECT_FALSE(empty);
    empty.reset();  // nothing to close
}

}  // namespace
}  // namespace platform
