#include <gtest/gtest.h>

#include <string>

#include "http/HttpMessage.h"

namespace varn {
namespace {

using State = HttpRequestReader::State;

TEST(HttpRequestReaderTest, ReadsOrRefusesEachRequest) {
    struct Case {
        std::string bytes;
        State state;
        int failure;
        std::string path;
        std::string body;
    };
    const Case cases[] = {
        {"GET /a HTTP/1.1\r\nHost: x\r\n\r\n", State::complete, 0, "/a", ""},
        {"GET /a%3Ab?q=%41 HTTP/1.0\n\n", State::complete, 0, "/a:b", ""},
        {"POST /form HTTP/1.1\r\nContent-Length: 5\r\n\r\nhello", State::complete, 0, "/form", "hello"},
        {"POST /form HTTP/1.1\r\nContent-Length: 5\r\n\r\nhel", State::incomplete, 0, "", ""},
        {"GET /a HTTP/1.1\r\nHost: x\r\n", State::incomplete, 0, "", ""},
        {"POST /form HTTP/1.1\r\nContent-Length: 17\r\n\r\n", State::failed, 413, "", ""},
        {"POST /form HTTP/1.1\r\nContent-Length: 1\r\nContent-Length: 2\r\n\r\n", State::failed, 400, "", ""},
        {"POST /form HTTP/1.1\r\nContent-Length: -1\r\n\r\n", State::failed, 400, "", ""},
        {"POST /form HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n", State::failed, 501, "", ""},
        {"GET /a HTTP/1.1\r\n folded\r\n\r\n", State::failed, 400, "", ""},
        {"GET /a HTTP/1.1\r\nNo colon\r\n\r\n", State::failed, 400, "", ""},
        {"GET /a%00 HTTP/1.1\r\n\r\n", State::failed, 400, "", ""},
        {"GET /a%4 HTTP/1.1\r\n\r\n", State::failed, 400, "", ""},
        {"GET a HTTP/1.1\r\n\r\n", State::failed, 400, "", ""},
        {std::string("GET /a\0b HTTP/1.1\r\n\r\n", 21), State::failed, 400, "", ""},
        {"GET /caf\xC3\xA9 HTTP/1.1\r\n\r\n", State::failed, 400, "", ""},
        {std::string("G\0T /a HTTP/1.1\r\n\r\n", 19), State::failed, 400, "", ""},
        {"GET /a SMTP/1.0\r\n\r\n", State::failed, 400, "", ""},
        {"\r\n\r\n", State::failed, 400, "", ""},
        {"GET /a HTTP/1.1\r\nX: " + std::string(200, 'a') + "\r\n\r\n", State::failed, 431, "", ""},
    };
    for (const Case& testCase : cases) {
        HttpRequestReader reader(128, 16);
        EXPECT_EQ(reader.feed(testCase.bytes), testCase.state) << testCase.bytes;
        if (testCase.state == State::failed) {
            EXPECT_EQ(reader.failure(), testCase.failure) << testCase.bytes;
        }
        if (testCase.state == State::complete) {
            EXPECT_EQ(reader.request().path, testCase.path);
            EXPECT_EQ(reader.request().body, testCase.body);
        }
    }
}

TEST(HttpRequestReaderTest, TakesBytesAsTheyComeAndStopsAtItsLimits) {
    const std::string request = "POST /in?x=1 HTTP/1.1\r\nHOST: here\r\ncontent-length: 4\r\n\r\nbodyEXTRA";
    HttpRequestReader reader(256, 64);
    for (std::size_t index = 0; index + 1 < request.size() - 5; ++index) {
        ASSERT_EQ(reader.feed(request.substr(index, 1)), State::incomplete) << index;
        ASSERT_GT(reader.room(), 0u);
    }
    EXPECT_EQ(reader.feed(request.substr(request.size() - 6)), State::complete);
    EXPECT_EQ(reader.room(), 0u);
    EXPECT_EQ(reader.request().method, "POST");
    EXPECT_EQ(reader.request().query, "x=1");
    EXPECT_EQ(reader.request().header("Host"), "here");
    EXPECT_EQ(reader.request().header("Content-Length"), "4");
    EXPECT_EQ(reader.request().header("Missing"), "");
    EXPECT_EQ(reader.request().body, "body");

    // A head that never ends is refused once it reaches the limit, however it arrives.
    HttpRequestReader endless(64, 0);
    State state = State::incomplete;
    for (int index = 0; index < 100 && state == State::incomplete; ++index) state = endless.feed("aaaa");
    EXPECT_EQ(state, State::failed);
    EXPECT_EQ(endless.failure(), 431);
}

TEST(HttpResponseTest, WritesHeadersInOrderAndNeverALineBreakFromAValue) {
    HttpResponse response = HttpResponse::text(200, "{}");
    response.contentType = "application/json";
    response.with("ETag", "\"abc\"").with("Set-Cookie", "a=1\r\nInjected: yes");
    EXPECT_EQ(toWire(response),
              "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 2\r\nETag: \"abc\"\r\n"
              "Set-Cookie: a=1Injected: yes\r\nConnection: close\r\n\r\n{}");
    HttpResponse stream = HttpResponse::text(200, "");
    stream.contentType = "text/event-stream";
    stream.stream = true;
    EXPECT_EQ(toWire(stream), "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nConnection: close\r\n\r\n");
}

TEST(HttpResponseTest, AnEntityTagTheClientHoldsIsAnsweredNotModified) {
    struct Case {
        std::string method;
        std::string ifNoneMatch;
        bool notModified;
    };
    const Case cases[] = {
        {"GET", "\"v1\"", true},     {"GET", "\"v0\", W/\"v1\"", true}, {"GET", "*", true},
        {"HEAD", "\"v1\"", true},    {"GET", "\"v0\"", false},          {"GET", "", false},
        {"POST", "\"v1\"", false},
    };
    for (const Case& testCase : cases) {
        HttpRequest request;
        request.method = testCase.method;
        if (!testCase.ifNoneMatch.empty()) request.headers.push_back({"if-none-match", testCase.ifNoneMatch});
        HttpResponse response = HttpResponse::text(200, "body");
        response.with("ETag", "\"v1\"").with("Cache-Control", "max-age=5");
        EXPECT_EQ(answerNotModified(request, response), testCase.notModified) << testCase.ifNoneMatch;
        const std::string wire = toWire(response);
        if (testCase.notModified) {
            EXPECT_EQ(wire, "HTTP/1.1 304 Not Modified\r\nETag: \"v1\"\r\nCache-Control: max-age=5\r\n"
                            "Connection: close\r\n\r\n");
        } else {
            EXPECT_EQ(wire.substr(wire.size() - 4), "body");
        }
    }
}

}  // namespace
}  // namespace varn
