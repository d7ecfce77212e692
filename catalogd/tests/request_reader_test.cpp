#include <gtest/gtest.h>

#include <string>

#include "http_response.h"
#include "request_reader.h"

namespace catalogd {
namespace {

RequestOutcome read(const std::string& text) {
    return read_request(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

std::int64_t content_length(const std::string& text) {
    return parse_content_length(
        std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

std::string post_with_body(const std::string& body) {
    return "POST / HTTP/1.1\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

TEST(RequestReader, WaitsForTheHeaderEndAndTheWholeBody) {
    EXPECT_EQ(read("GET / HTTP/1.1\r\nHost: x\r\n").kind, RequestKind::incomplete);
    std::string request = post_with_body("abcdef");
    EXPECT_EQ(read(request.substr(0, request.size() - 1)).kind, RequestKind::incomplete);

    RequestOutcome whole = read(request);
    EXPECT_EQ(whole.kind, RequestKind::query);
    EXPECT_EQ(whole.consumed, request.size());
    EXPECT_EQ(whole.body_length, 6u);
    EXPECT_EQ(request.substr(whole.body_offset, whole.body_length), "abcdef");
}

TEST(RequestReader, BytesAfterTheRequestAreNotPartOfIt) {
    std::string request = post_with_body("xy");
    RequestOutcome outcome = read(request + "GET /urls HTTP/1.1\r\n\r\n");
    EXPECT_EQ(outcome.kind, RequestKind::query);
    EXPECT_EQ(outcome.consumed, request.size());
}

TEST(RequestReader, TwoContentLengthFieldsAreABadRequest) {
    EXPECT_EQ(read("POST / HTTP/1.1\r\nContent-Length: 4\r\nContent-Length: 6\r\n\r\nabcdef").kind,
              RequestKind::bad_request);
    // Any letter case names the field; a repeated value is still two fields.
    EXPECT_EQ(read("POST / HTTP/1.1\r\nContent-Length: 2\r\ncontent-LENGTH: 2\r\n\r\nab").kind,
              RequestKind::bad_request);
    // The name inside another field's value, or in the body, is no second field.
    EXPECT_EQ(
        read("POST / HTTP/1.1\r\nX-Note: content-length: 9\r\nContent-Length: 2\r\n\r\nab").kind,
        RequestKind::query);
    EXPECT_EQ(read(post_with_body("\r\nContent-Length: 1")).kind, RequestKind::query);
}

TEST(RequestReader, BoundsTheBufferedBytes) {
    std::string filler(1024, 'a');
    EXPECT_EQ(read(filler).kind, RequestKind::incomplete);
    EXPECT_EQ(read(filler + "a").kind, RequestKind::drop);

    // A complete request of exactly 1024 bytes is still served.
    std::string header = "POST / HTTP/1.1\r\nContent-Length: 10\r\nX: ";
    std::string tail = "\r\n\r\n0123456789";
    std::string exact = header + std::string(1024 - header.size() - tail.size(), 'p') + tail;
    ASSERT_EQ(exact.size(), 1024u);
    EXPECT_EQ(read(exact).kind, RequestKind::query);
}

TEST(RequestReader, RefusesBodyLengthsOutsideTheBound) {
    EXPECT_EQ(read("POST / HTTP/1.1\r\nContent-Length: 1025\r\n\r\n").kind, RequestKind::drop);
    // 1024 is a legal length, but header and body together exceed the buffered bound.
    EXPECT_EQ(read(post_with_body(std::string(1024, 'b'))).kind, RequestKind::drop);
    EXPECT_EQ(read("POST / HTTP/1.1\r\nContent-Length: 1024\r\n\r\n").kind,
              RequestKind::incomplete);
    EXPECT_EQ(read("POST / HTTP/1.1\r\nContent-Length: -5\r\n\r\nabc").kind, RequestKind::drop);
    EXPECT_EQ(read("POST / HTTP/1.1\r\nContent-Length: 99999999999999999999999999\r\n\r\n").kind,
              RequestKind::drop);
}

TEST(RequestReader, ReadsContentLengthLikeTheClassicParser) {
    EXPECT_EQ(content_length("  42\r\n"), 42);
    EXPECT_EQ(content_length("\t+7"), 7);
    EXPECT_EQ(content_length("-3"), -3);
    EXPECT_EQ(content_length("12abc"), 12);
    EXPECT_EQ(content_length("abc"), 0);
    EXPECT_EQ(content_length(""), 0);
    EXPECT_EQ(content_length(std::string(60, '9')), std::int64_t{1} << 40);

    // The number is read 15 characters after the field name starts, whatever stands there.
    RequestOutcome no_colon = read("POST / HTTP/1.1\r\nContent-Length 3\r\n\r\nabc");
    EXPECT_EQ(no_colon.body_length, 3u);
    // No digits: no body.
    RequestOutcome no_digits = read("POST / HTTP/1.1\r\nContent-Length: x\r\n\r\n");
    EXPECT_EQ(no_digits.kind, RequestKind::query);
    EXPECT_EQ(no_digits.body_length, 0u);
}

TEST(RequestReader, FieldNamesAtTheVeryFirstByteDoNotCount) {
    // "Content-Length" at offset 0 is not a header field, so the body is empty.
    RequestOutcome at_start = read("Content-Length: 5\r\n\r\n");
    EXPECT_EQ(at_start.kind, RequestKind::query);
    EXPECT_EQ(at_start.body_length, 0u);
    EXPECT_EQ(read("/urls HTTP/1.1\r\n\r\n").kind, RequestKind::query);
}

TEST(RequestReader, ListPathAnywhereAfterTheFirstByteAsksForTheList) {
    EXPECT_EQ(read("GET /urls HTTP/1.1\r\n\r\n").kind, RequestKind::list_export);
    EXPECT_EQ(read("GET /x?y=/urls HTTP/1.1\r\n\r\n").kind, RequestKind::list_export);
    EXPECT_EQ(read(post_with_body("--/urls--")).kind, RequestKind::list_export);
    // Beyond the request it is no part of it.
    EXPECT_EQ(read(post_with_body("ab") + "/urls").kind, RequestKind::query);
}

TEST(ResponseHeader, FramesStatusLengthAndClose) {
    EXPECT_EQ(response_header("200 OK", 28),
              "HTTP/1.1 200 OK\r\nContent-Length: 28\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(response_header("404 Not Found", 0),
              "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
}

}  // namespace
}  // namespace catalogd
