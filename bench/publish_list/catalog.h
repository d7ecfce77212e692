#pragma once
// A large made-up catalog for the benchmarks: media rows spread evenly over folders, in the
// states a long-running server accumulates, written through the resource database itself
// (no real files are read or published).

#include <string>

#include "wharfkeep/database/resource_database.h"

namespace wharfkeep::bench {

struct CatalogShape {
    int rows = 100000;
    int folders = 200;
    std::string root = "/srv/catalog/";  // every folder lies directly under it
};

// The path of folder `index` (ending with "/").
std::string CatalogFolder(const CatalogShape& shape, int index);

// Adds the folders (with their file and published counts) and the media rows to `db`.
// False when the database refused a row (it already holds part of the catalog).
bool GenerateCatalog(ResourceDatabase& db, const CatalogShape& shape);

}  // namespace wharfkeep::bench
