#include "stats/rate_limit.h"

#include <event2/bufferevent.h>
#include <sys/time.h>

#include <stdexcept>

namespace peerfeed {

void token_bucket_cfg_deleter::operator()(ev_token_bucket_cfg* cfg) const {
    ev_token_bucket_cfg_free(cfg);
}

token_bucket_cfg_ptr make_token_bucket_cfg(std::uint32_t bytes_per_second) {
    const timeval tick{1, 0};
    const std::uint32_t write_rate = configured_write_rate(bytes_per_second);
    return token_bucket_cfg_ptr(
        ev_token_bucket_cfg_new(unlimited_rate, unlimited_rate, write_rate, write_rate, &tick));
}

rate_limit_group::rate_limit_group(event_base* base, std::uint32_t bytes_per_second)
    : cfg_(make_token_bucket_cfg(bytes_per_second)), limit_(bytes_per_second) {
    if (cfg_) {
        group_ = bufferevent_rate_limit_group_new(base, cfg_.get());
    }
    if (group_ == nullptr) {
        throw std::runtime_error("cannot create the rate-limit group");
    }
}

rate_limit_group::~rate_limit_group() {
    // The group goes first: it must not outlive the configuration it was given.
    bufferevent_rate_limit_group_free(group_);
}

void rate_limit_group::set_limit(std::uint32_t bytes_per_second) {
    token_bucket_cfg_ptr next = make_token_bucket_cfg(bytes_per_second);
    if (!next || bufferevent_rate_limit_group_set_cfg(group_, next.get()) != 0) {
        return;
    }
    cfg_ = std::move(next);
    limit_ = bytes_per_second;
}

int rate_limit_group::add(bufferevent* connection) {
    return bufferevent_add_to_rate_limit_group(connection, group_);
}

void rate_limit_group::remove(bufferevent* connection) {
    bufferevent_remove_from_rate_limit_group(connection);
}

}  // namespace peerfeed
