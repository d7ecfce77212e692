#pragma once
// For tests only: the raw database and IP filter table of a host, for tests that set up
// rows or read tables no operation of the host offers (an inactive IP list, a damaged
// setting). Production code goes through the parts' typed operations.

#include "wharfkeep/host/host.h"

namespace wharfkeep::host {

struct HostTestAccess {
    static ResourceDatabase& Database(Host& host) { return *host.database_; }
    static IpFilterTable& IpFilter(Host& host) { return host.ip_table_; }
};

}  // namespace wharfkeep::host
