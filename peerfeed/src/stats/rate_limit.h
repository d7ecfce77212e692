#pragma once
// The shared upload limit: one libevent rate-limit group that every session joins, with a
// token bucket that refills once a second. Reading is never limited.

#include <cstdint>
#include <memory>

struct event_base;
struct ev_token_bucket_cfg;
struct bufferevent;
struct bufferevent_rate_limit_group;

namespace peerfeed {

// The largest rate and burst the bucket is configured with; a limit of 0 stands for it.
inline constexpr std::uint32_t unlimited_rate = 2147483647u;

struct token_bucket_cfg_deleter {
    void operator()(ev_token_bucket_cfg* cfg) const;
};
using token_bucket_cfg_ptr = std::unique_ptr<ev_token_bucket_cfg, token_bucket_cfg_deleter>;

// Read rate and burst unlimited; write rate and burst `bytes_per_second` (0 = unlimited);
// tick one second.
token_bucket_cfg_ptr make_token_bucket_cfg(std::uint32_t bytes_per_second);

// The write rate a limit is configured with: 0 means none, and libevent takes no rate
// above 2^31 - 1.
constexpr std::uint32_t configured_write_rate(std::uint32_t bytes_per_second) {
    return bytes_per_second == 0 || bytes_per_second > unlimited_rate ? unlimited_rate
                                                                      : bytes_per_second;
}

// Owns the group and its current configuration. Loop thread only.
class rate_limit_group {
public:
    // Throws std::runtime_error when libevent cannot create the group.
    rate_limit_group(event_base* base, std::uint32_t bytes_per_second);
    ~rate_limit_group();
    rate_limit_group(const rate_limit_group&) = delete;
    rate_limit_group& operator=(const rate_limit_group&) = delete;

    // Replaces the configuration; the previous one is freed.
    void set_limit(std::uint32_t bytes_per_second);
    std::uint32_t limit() const { return limit_; }

    // Returns 0 on success, as libevent does.
    int add(bufferevent* connection);
    void remove(bufferevent* connection);

    bufferevent_rate_limit_group* get() const { return group_; }

private:
    token_bucket_cfg_ptr cfg_;
    bufferevent_rate_limit_group* group_ = nullptr;
    std::uint32_t limit_ = 0;
};

}  // namespace peerfeed
