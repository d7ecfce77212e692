#include "digest_pipeline.h"

#include <exception>

namespace wharfkeep {

DigestPipeline::DigestPipeline(std::string path) : path_(std::move(path)) {}

uint32_t DigestPipeline::OnOutputStart(uint64_t file_size) {
    digests_.reset();  // joins the lanes of the file before
    error_.clear();
    started_ = true;
    try {
        digests_.emplace(path_, file_size, default_piece_lanes());
    } catch (const std::exception& error) {
        error_ = error.what();
        return 1;
    }
    return 0;
}

uint32_t DigestPipeline::OnOutputBytes(const uint8_t* bytes, size_t length) {
    if (!digests_) {
        return 1;
    }
    try {
        digests_->Append({bytes, length});
    } catch (const std::exception& error) {
        error_ = error.what();
        digests_.reset();
        return 1;
    }
    return 0;
}

std::optional<parsefile> DigestPipeline::Finish(std::string* why_not) {
    if (!started_) {
        if (why_not) {
            *why_not = "no bytes were handed to the digest stage";
        }
        return std::nullopt;
    }
    std::optional<parsefile> media;
    if (digests_) {
        try {
            media = digests_->Finish();
        } catch (const std::exception& error) {
            error_ = error.what();
        }
    }
    digests_.reset();
    if (!media && why_not) {
        *why_not = error_;
    }
    return media;
}

}  // namespace wharfkeep
