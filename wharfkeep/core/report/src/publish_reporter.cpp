#include "wharfkeep/report/publish_reporter.h"

#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <system_error>

#include "platform/log.h"
#include "tcp_client.h"
#include "wharfkeep/my_exception.h"
#include "wharfkeep/report/publish_report.h"

namespace wharfkeep {
namespace {

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using FileHandle = std::unique_ptr<std::FILE, FileCloser>;

std::uint32_t read_le32(std::span<const std::uint8_t> bytes, std::size_t at) {
    return std::uint32_t{bytes[at]} | (std::uint32_t{bytes[at + 1]} << 8) |
           (std::uint32_t{bytes[at + 2]} << 16) | (std::uint32_t{bytes[at + 3]} << 24);
}

void put_record(std::vector<std::uint8_t>& out, std::span<const std::uint8_t> message) {
    const auto length = static_cast<std::uint32_t>(message.size());
    for (int shift = 0; shift <= 24; shift += 8) {
        out.push_back(static_cast<std::uint8_t>(length >> shift));
    }
    out.insert(out.end(), message.begin(), message.end());
}

std::vector<std::uint8_t> read_whole(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Replaces the file at `path` with `bytes` in one rename, or removes it when `bytes` is
// empty. Raises CMyException when the new file cannot be written.
void replace_file(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes) {
    std::error_code ignored;
    if (bytes.empty()) {
        std::filesystem::remove(path, ignored);
        return;
    }
    std::filesystem::path temporary = path;
    temporary += ".new";
    FileHandle file(std::fopen(temporary.c_str(), "wb"));
    if (!file || std::fwrite(bytes.data(), 1, bytes.size(), file.get()) != bytes.size() ||
        std::fflush(file.get()) != 0) {
        file.reset();
        std::filesystem::remove(temporary, ignored);
        throw CMyException("The file ponit is null");
    }
    file.reset();
    std::filesystem::rename(temporary, path, ignored);
    if (ignored) {
        std::filesystem::remove(temporary, ignored);
        throw CMyException("The file ponit is null");
    }
}

}  // namespace

std::vector<std::vector<std::uint8_t>> ParsePendingReportLog(std::span<const std::uint8_t> log) {
    std::vector<std::vector<std::uint8_t>> records;
    std::size_t offset = 0;
    while (log.size() - offset >= 4) {
        const std::uint32_t count = read_le32(log, offset);
        if (count > kPublishReportCapacity || count > log.size() - offset - 4) {
            break;
        }
        offset += 4;
        if (count > 0) {
            records.emplace_back(log.begin() + offset, log.begin() + offset + count);
        }
        offset += count;
    }
    return records;
}

PublishReporter::PublishReporter(ReportEndpoint endpoint, std::filesystem::path log_folder,
                                 ReportTimeouts timeouts)
    : endpoint_(std::move(endpoint)), timeouts_(timeouts), log_folder_(std::move(log_folder)) {}

void PublishReporter::set_log_folder(std::filesystem::path folder) {
    std::lock_guard lock(log_mutex_);
    log_folder_ = std::move(folder);
}

void PublishReporter::set_endpoint(ReportEndpoint endpoint) {
    endpoint_.set(std::move(endpoint));
}

ReportEndpoint PublishReporter::endpoint() const {
    return endpoint_.get();
}

std::filesystem::path PublishReporter::log_path() const {
    std::lock_guard lock(log_mutex_);
    return log_folder_ / kPendingReportLogName;
}

bool PublishReporter::deliver(const ReportEndpoint& endpoint, std::span<const std::uint8_t> message,
                              const std::atomic<bool>* stop) const {
    auto connection = TcpClient::connect(endpoint.host, endpoint.port, timeouts_.connect, stop);
    if (!connection || !connection->send_all(message, timeouts_.reply, stop)) {
        return false;
    }
    std::uint8_t reply[kReportReplyLength];
    const std::size_t received = connection->receive(reply, timeouts_.reply, stop);
    const auto code = ReplyCode(std::span(reply, received));
    return code && *code == kReportAccepted;
}

void PublishReporter::append_to_log(std::span<const std::uint8_t> message) {
    std::vector<std::uint8_t> record;
    put_record(record, message);
    std::lock_guard lock(log_mutex_);
    const std::filesystem::path path = log_folder_ / kPendingReportLogName;
    FileHandle file(std::fopen(path.c_str(), "ab+"));
    if (!file || std::fwrite(record.data(), 1, record.size(), file.get()) != record.size() ||
        std::fflush(file.get()) != 0) {
        throw CMyException("The file ponit is null");
    }
}

int PublishReporter::SendReport(std::span<const std::uint8_t> message) {
    const ReportEndpoint target = endpoint();
    if (!target.configured()) {
        return kReportSkipped;
    }
    if (deliver(target, message, nullptr)) {
        return kReportDelivered;
    }
    platform::log::warning("publish report to {}:{} not delivered; kept in {} for the next start",
                           target.host, target.port, kPendingReportLogName);
    append_to_log(message);
    return kReportLogged;
}

std::vector<std::vector<std::uint8_t>> PublishReporter::LoadPendingReports() {
    std::lock_guard lock(log_mutex_);
    return ParsePendingReportLog(read_whole(log_folder_ / kPendingReportLogName));
}

std::size_t PublishReporter::ResendPendingReports(const std::atomic<bool>* stop) {
    const ReportEndpoint target = endpoint();
    if (!target.configured()) {
        return 0;
    }
    std::filesystem::path path;
    std::size_t loaded_length = 0;
    std::vector<std::vector<std::uint8_t>> loaded;
    {
        std::lock_guard lock(log_mutex_);
        path = log_folder_ / kPendingReportLogName;
        const std::vector<std::uint8_t> log = read_whole(path);
        loaded_length = log.size();
        loaded = ParsePendingReportLog(log);
    }
    if (loaded_length == 0) {
        return 0;
    }
    std::size_t delivered = 0;
    std::vector<std::uint8_t> still_pending;
    for (const auto& message : loaded) {
        const bool stopping = stop && stop->load();
        if (!stopping && deliver(target, message, stop)) {
            ++delivered;
        } else {
            put_record(still_pending, message);
        }
    }
    std::lock_guard lock(log_mutex_);
    // Reports that failed while this ran were appended behind what was loaded.
    const std::vector<std::uint8_t> log = read_whole(path);
    if (log.size() > loaded_length) {
        still_pending.insert(still_pending.end(), log.begin() + loaded_length, log.end());
    }
    replace_file(path, still_pending);
    return delivered;
}

}  // namespace wharfkeep
