#pragma once
// For tests only: the raw database and IP filter table of a document, for tests that set up
// rows or read tables no operation of the document offers (an inactive IP list, a damaged
// setting). Production code goes through the document's typed operations.

#include "wharfkeep/host/server_host.h"

namespace wharfkeep::host {

struct DocumentTestAccess {
    static ResourceDatabase& Database(CPierwatchDoc& doc) { return *doc.database_; }
    static IpFilterTable& IpFilter(CPierwatchDoc& doc) { return doc.ip_filter_; }
};

}  // namespace wharfkeep::host
