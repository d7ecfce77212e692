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

// Compares the output (in the streaming layout) with the source: track count (15), segment
// count against the reference track's key frames (16), and per track the sample count (17);
// then per sample size (19), decoding time (20), composition time (21) and sync flag (22);
// finally that the output's chunk offsets hold the positions its index gives and that the
// bytes there have the checksums recorded while writing (18).
uint32_t VerifyOutput(const CZHDMovie& source, const CZHDMovie& output,
                      const std::string& outputPath, const SampleChecksums& checksums,
                      JobControl& control);

// Opens the file and validates it without changing anything (the first pass alone).
uint32_t CheckStreamingSource(const std::string& sourcePath);

// The three passes, each with its own files and movies. Returns the first failure.
uint32_t convert_to_streaming_layout(const std::string& sourcePath, const std::string& tempPath,
                                     JobControl& control);

}  // namespace moovwright
