#pragma once
// The result of publishing one file: the one record the engine returns, the host stores and
// its events carry, and the one table of its codes.

#include <string>

namespace wharfkeep {

// Publish result codes; any other value is a restructuring library's result code.
enum PublishCode : int {
    kPublished = 0,
    kPublishProbeFailed = 1,     // the file cannot be opened
    kPublishHeaderRejected = 2,  // its streaming header's first word is positive
    kPublishCancelled = 25,      // abandoned through UnpublishFile("", "")
    kPublishNotStreamable = 26,  // not an MP4 file with moov or zqhd and media data
    kPublishFailed = -1,         // an I/O or format failure; see PublishFileResult::error
};

struct PublishFileResult {
    int code = kPublishFailed;
    std::string cid;       // GCID text
    std::string sts_path;  // media path + ".sts"
    std::string url;       // the published link
    std::string error;     // why it was not published: a short text for the operator
};

// What a code means, for a result that carries no words of its own.
inline std::string PublishCodeText(int code) {
    switch (code) {
        case kPublished:
            return "published";
        case kPublishProbeFailed:
            return "the file cannot be opened";
        case kPublishHeaderRejected:
            return "the streaming header is rejected";
        case kPublishCancelled:
            return "abandoned";
        case kPublishNotStreamable:
            return "not a streamable MP4, ZHD or GHD file";
        case kPublishFailed:
            return "an I/O or format failure";
        default:
            return "result " + std::to_string(code);
    }
}

}  // namespace wharfkeep
