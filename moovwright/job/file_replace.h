#pragma once
// The temporary file a job writes beside its source, and the replacement of the source by
// it. The source is only ever replaced by one rename(2) of a flushed file, so at every
// moment the source path holds either the original file or the complete new one.

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "platform/file_identity.h"

namespace moovwright {

// Longest path, terminator included, that the job accepts for the source and every name
// derived from it.
inline constexpr size_t kMaxPathBytes = 4096;

// Test hook: asked before each step of the replacement ("fsync", "rename"); returning true
// makes that step fail as if the system had refused it.
using ReplaceFaultHook = std::function<bool(std::string_view step)>;

class JobRecord;

// What says that the source is still the file the job read.
using SourceIdentity = platform::FileIdentity;

// Creates the first free "<source>_<n>.tmp" (n = 0, 1, ...) exclusively, so that two jobs
// never share one, and returns its name in `temp_path`; `record` (may be null) is told the
// name before the file is created and its identity after. Fails with 1 when the name would
// not fit kMaxPathBytes or no file can be created.
uint32_t claim_temporary_file(const std::string& source_path, std::string& temp_path,
                              JobRecord* record = nullptr);

// Gives the verified temporary file the source's permissions (and owner, where allowed),
// flushes it to disk and renames it over the source, then flushes the directory entry.
// Right before the rename the source must still be `read_source` (the file the job
// read); a source written to, replaced or touched meanwhile is left as it is now. On
// failure the source is untouched and the temporary file is left for the caller to
// remove; the result is 1.
uint32_t replace_with_temporary(const std::string& source_path, const std::string& temp_path,
                                const SourceIdentity& read_source,
                                const ReplaceFaultHook& fault = {});

// Removes the temporary file; 1 when it exists and cannot be removed.
uint32_t remove_temporary(const std::string& temp_path);

}  // namespace moovwright
