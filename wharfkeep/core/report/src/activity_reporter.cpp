#include "wharfkeep/report/activity_reporter.h"

#include <ctime>
#include <fstream>

#include "platform/log.h"
#include "tcp_client.h"

namespace wharfkeep {
namespace {

constexpr std::size_t kReplyReadLength = 256;

void put_le16(char* out, int value) {
    out[0] = static_cast<char>(value & 0xFF);
    out[1] = static_cast<char>((value >> 8) & 0xFF);
}

int get_le16(const unsigned char* in) {
    return in[0] | (in[1] << 8);
}

}  // namespace

LocalDate local_today() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    ::localtime_r(&now, &local);
    return {local.tm_year + 1900, local.tm_mon + 1, local.tm_mday};
}

ActivityReporter::ActivityReporter(std::filesystem::path folder, ReportEndpoint endpoint,
                                   ReportTimeouts timeouts, std::function<LocalDate()> today)
    : folder_(std::move(folder)),
      endpoint_(std::move(endpoint)),
      timeouts_(timeouts),
      today_(std::move(today)) {}

bool ActivityReporter::ReportedToday() const {
    std::ifstream in(date_file(), std::ios::binary);
    unsigned char bytes[6];
    if (!in.read(reinterpret_cast<char*>(bytes), sizeof bytes)) {
        return false;
    }
    const LocalDate stored{get_le16(bytes), get_le16(bytes + 2), get_le16(bytes + 4)};
    return stored == today_();
}

std::string ActivityReporter::BuildRequest() const {
    std::string request = "GET /activestation?pid=2&id=&uid=&t=3&ver=1.01.11.0831 HTTP/1.1\r\n";
    request += "Host: " + endpoint_.host + "\r\n";
    request += "Accept:*/*\r\n";
    request += "User-Agent: Mozilla/4.0\r\n";
    request += "Connection: Keep-Alive\r\n";
    request += "Cache-Control: no-cache\r\n";
    request += "\r\n";
    return request.size() <= kActivityRequestCapacity ? request : std::string();
}

bool ActivityReporter::SendRequest() {
    const std::string request = BuildRequest();
    if (request.empty() || !endpoint_.configured()) {
        return false;
    }
    auto connection =
        TcpClient::connect(endpoint_.host, endpoint_.port, timeouts_.connect, nullptr);
    if (!connection ||
        !connection->send_all(
            std::span(reinterpret_cast<const std::uint8_t*>(request.data()), request.size()),
            timeouts_.reply, nullptr)) {
        platform::log::warning("activity report to {}:{} not delivered", endpoint_.host,
                               endpoint_.port);
        return false;
    }
    std::uint8_t reply[kReplyReadLength];
    connection->receive_once(reply, timeouts_.reply, nullptr);
    const LocalDate today = today_();
    char bytes[6];
    put_le16(bytes, today.year);
    put_le16(bytes + 2, today.month);
    put_le16(bytes + 4, today.day);
    std::ofstream out(date_file(), std::ios::binary | std::ios::trunc);
    out.write(bytes, sizeof bytes);
    return true;
}

bool ActivityReporter::ReportIfDue() {
    if (!endpoint_.configured() || ReportedToday()) {
        return false;
    }
    return SendRequest();
}

}  // namespace wharfkeep
