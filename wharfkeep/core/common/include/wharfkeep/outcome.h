#pragma once
// The answer of one of the host's operations, the same for the window, wharfkeepd and the
// control interface: what happened, in words for the operator, and a kind that the control
// interface turns into its status and wharfkeepd into its exit code.

#include <map>
#include <string>
#include <utility>

namespace wharfkeep {

// Done and Accepted succeed (Accepted: the work goes on in the background and reports
// through events); the others change nothing.
struct Outcome {
    enum Kind { kDone, kAccepted, kInvalid, kNotFound, kConflict, kUnavailable };
    Kind kind = kDone;
    std::string message;
    std::map<std::string, std::string> fields;  // extra answer fields (a written file, ...)

    static Outcome Done(std::string text = {}) { return {kDone, std::move(text), {}}; }
    static Outcome Accepted(std::string text) { return {kAccepted, std::move(text), {}}; }
    static Outcome Invalid(std::string text) { return {kInvalid, std::move(text), {}}; }
    static Outcome NotFound(std::string text) { return {kNotFound, std::move(text), {}}; }
    static Outcome Conflict(std::string text) { return {kConflict, std::move(text), {}}; }
    static Outcome Unavailable(std::string text) { return {kUnavailable, std::move(text), {}}; }
    bool ok() const { return kind == kDone || kind == kAccepted; }
};

}  // namespace wharfkeep
