#pragma once
// The conversion a job runs: validate the source, write the streaming layout to the
// temporary file, then read that file back through its private index and prove it against
// the source before the job may replace anything.

#include <cstdint>
#include <string>
#include <vector>

#include "core/movie.h"
#include "job_control.h"
#include "layout_writer.h"

namespace moovwright {

// Checks, in this order, each over all tracks in track order before the next: at most two
// tracks (14); a single description per track (2); constant frame rate: a first stts run
// covering all samples or all but one (7); AAC audio (24); AVC video (23); track durations
// within 10 % of the longest (27).
uint32_t ValidateSource(const CZHDMovie& source);

// Which samples' bytes verification reads back from the output: all of them, or a spread
// of a few per track. The job spot-checks: the checksums are taken of the very buffers it
// writes, so reading every byte back (from the page cache, as a rule) would prove little
// more than the positions already do, at the cost of a second read of the whole file.
enum class ByteProof { kEverySample, kSpotChecks };

// Compares the output (in the streaming layout) with the source: track count (15), segment
// count against the reference track's key frames (16), and per track the sample count (17);
// then per sample size (19), decoding time (20), composition time (21) and sync flag (22);
// finally that the output's chunk offsets hold the positions its index gives and that the
// bytes there (of the samples `proof` names) have the checksums recorded while writing (18).
uint32_t VerifyOutput(const CZHDMovie& source, const CZHDMovie& output,
                      const std::string& outputPath, const SampleChecksums& checksums,
                      JobControl& control, ByteProof proof = ByteProof::kEverySample);

// Opens the file and validates it without changing anything (the first pass alone).
uint32_t CheckStreamingSource(const std::string& sourcePath);

// Validation, the write pass (which tells control.write_sink the bytes it writes) and
// verification with spot checks of the sample bytes, over one open source. Returns the
// first failure.
uint32_t convert_to_streaming_layout(const std::string& sourcePath, const std::string& tempPath,
                                     JobControl& control);

}  // namespace moovwright
