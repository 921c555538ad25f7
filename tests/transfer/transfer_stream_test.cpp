#include "infocollector/transfer_stream.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/temp_dir.h"

namespace {

using namespace std::chrono_literals;

unsigned Put(WriteStreamInterface& stream, std::string text) {
    return stream.Write(text.data(), text.size());
}

std::string ReadOnce(ReadStreamInterface& stream, unsigned length) {
    std::string buffer(length, '\0');
    buffer.resize(stream.Read(buffer.data(), length));
    return buffer;
}

std::string ReadAll(ReadStreamInterface& stream, unsigned length = 100) {
    std::string all;
    for (std::string piece; !(piece = ReadOnce(stream, length)).empty();) {
        all += piece;
    }
    return all;
}

// Writes stop at the announced total; reads never span blocks; Stop lets
// queued blocks out.
TEST(BridgeStreamTest, AnnouncedTotalBlocksAndStop) {
    BridgeStreamClass bridge;
    EXPECT_EQ(Put(bridge, "early"), 0u) << "nothing is announced yet";
    bridge.Size(40);
    EXPECT_EQ(bridge.Size(), 40u);
    std::string first(30, 'x');
    first[10] = 'y';
    EXPECT_EQ(Put(bridge, first), 30u);
    EXPECT_EQ(Put(bridge, "second"), 6u);
    EXPECT_EQ(Put(bridge, "third"), 4u) << "cut to the bytes still missing";
    EXPECT_EQ(Put(bridge, "m"), 0u);
    bridge.Stop();
    EXPECT_EQ(ReadOnce(bridge, 10), std::string(10, 'x'));
    EXPECT_EQ(ReadOnce(bridge, 100), first.substr(10)) << "the rest of the first block only";
    EXPECT_EQ(ReadAll(bridge), "secondthir");
    EXPECT_EQ(ReadOnce(bridge, 100), "");
}

TEST(BridgeStreamTest, StopReleasesAWaitingReader) {
    BridgeStreamClass bridge;
    bridge.Size(100);
    auto reader = std::async(std::launch::async, [&] { return ReadOnce(bridge, 100); });
    EXPECT_EQ(reader.wait_for(100ms), std::future_status::timeout) << "nothing to read yet";
    bridge.Stop();
    EXPECT_EQ(reader.get(), "");
    EXPECT_EQ(Put(bridge, "late"), 0u) << "refused after Stop, though there is room";
}

TEST(BridgeStreamTest, LastBlockWrittenJustBeforeStopReachesAWaitingReader) {
    for (int round = 0; round < 300; ++round) {
        BridgeStreamClass bridge;
        bridge.Size(100);
        auto reader = std::async(std::launch::async, [&] { return ReadAll(bridge); });
        std::this_thread::yield();
        Put(bridge, "last");
        bridge.Stop();
        ASSERT_EQ(reader.get(), "last") << "round " << round;
    }
}

TEST(BridgeStreamTest, WriterWaitsWhileFiveMiBAreBuffered) {
    BridgeStreamClass bridge;
    bridge.Size(64u << 20);
    std::string big(BridgeStreamClass::kMaxBuffered, 'b');
    ASSERT_EQ(Put(bridge, big), big.size()) << "the first write fills the buffer in one go";
    auto blocked = std::async(std::launch::async, [&] { return Put(bridge, "more"); });
    EXPECT_EQ(blocked.wait_for(100ms), std::future_status::timeout);
    EXPECT_EQ(ReadOnce(bridge, 1), "b");
    EXPECT_EQ(blocked.get(), 4u) << "one byte read makes room";
    auto stopped = std::async(std::launch::async, [&] { return Put(bridge, "last"); });
    EXPECT_EQ(stopped.wait_for(100ms), std::future_status::timeout);
    bridge.Stop();
    EXPECT_EQ(stopped.get(), 0u);
}

TEST(FileStreamTest, CopiesAFileAndRefusesAMissingOne) {
    chs_test::TempDir dir;
    std::string content(100000, '\0');
    std::generate(content.begin(), content.end(), std::mt19937(7));
    OutFileStreamClass(dir.Join("data")).Write(content.data(), content.size());
    InputFileStreamClass in(dir.Join("data"));
    EXPECT_EQ(in.Size(), content.size());
    EXPECT_EQ(ReadAll(in, 16384), content);

    InputFileStreamClass missing(dir.Join("missing"));
    EXPECT_EQ(missing.Size(), 0u);
    EXPECT_EQ(ReadOnce(missing, 10), "");
    OutFileStreamClass nowhere(dir.Join("no/such/dir/file"));
    EXPECT_EQ(Put(nowhere, "x"), 0u);
}

TEST(HttpResponseStreamTest, StatusLinesAndHeaders) {
    const std::vector<std::pair<std::string, int>> statusLines = {
        {"HTTP/1.1 200 OK\r\n", 200}, {"HTTP/1.1 404 Not Found\r\n", 404}, {"HTTP/2 201\r\n", 201}};
    for (const auto& [line, status] : statusLines) {
        HttpReponseStreamClass response;
        response.SaveOpt(line, "");
        EXPECT_EQ(response.status, status) << line;
    }
    HttpReponseStreamClass response;
    response.SaveOpt("Content-Length", "12");
    response.SaveOpt("content-type", "application/json; charset=utf-8");
    response.SaveOpt("\r\n", "");
    EXPECT_EQ(response.contentLength, 12u);
    EXPECT_EQ(response.contentType, "application/json; charset=utf-8") << "names are case-insensitive";
    EXPECT_TRUE(response.headers.empty()) << "length and type live in their own fields";
    for (int i = 0; i < 300; ++i) {
        response.SaveOpt("X-Header-" + std::to_string(i), std::to_string(i));
    }
    EXPECT_EQ(response.headers.size(), 256u);
    EXPECT_EQ(response.getOpt("X-Header-255"), "255");
    EXPECT_EQ(response.getOpt("X-Header-256"), "") << "the 257th is dropped";
}

TEST(HttpResponseStreamTest, JsonBodyIsParsedWhenCompleteInSmallChunks) {
    std::string json = "{\"data\":\"" + std::string(200 * 1024, 'j') + "\"}";
    auto Receive = [&json](HttpReponseStreamClass& response, size_t chunk, const char* type) {
        response.SaveOpt("Content-Type", type);
        response.SaveOpt("Content-Length", std::to_string(json.size()));
        for (size_t at = 0; at < json.size(); at += chunk) {
            bool last = at + chunk >= json.size();
            EXPECT_TRUE(response.root.isNull() || last) << "parsed before the last chunk";
            EXPECT_EQ(Put(response, json.substr(at, chunk)), std::min(chunk, json.size() - at));
        }
    };
    HttpReponseStreamClass chunked;
    Receive(chunked, 16384, "application/json; charset=utf-8");
    EXPECT_EQ(chunked.body, json);
    EXPECT_EQ(chunked.root["data"].asString().size(), 200u * 1024);

    HttpReponseStreamClass oneChunk;
    Receive(oneChunk, json.size(), "application/json");
    EXPECT_EQ(oneChunk.body, json);
    EXPECT_TRUE(oneChunk.root.isNull()) << "a chunk of 100 KiB or more is not parsed";

    HttpReponseStreamClass binary;
    Receive(binary, 16384, "application/octet-stream");
    EXPECT_TRUE(binary.body.empty());

    HttpReponseStreamClass redirected;
    redirected.SaveOpt("Content-Type", "application/json");
    Put(redirected, "{\"moved\":");
    redirected.SaveOpt("HTTP/1.1 200 OK\r\n", "");
    EXPECT_EQ(redirected.received, 0u);
    EXPECT_EQ(redirected.body, "") << "a new header block starts a new body";
}

TEST(HttpResponseStreamTest, JsonBodyIsBounded) {
    HttpReponseStreamClass response;
    response.SaveOpt("Content-Type", "application/json");
    std::string chunk(1u << 20, ' ');
    unsigned total = 0;
    for (int i = 0; i < 17; ++i) {
        total += Put(response, chunk);
    }
    EXPECT_EQ(total, HttpReponseStreamClass::kMaxJsonBody);
    EXPECT_EQ(response.body.size(), HttpReponseStreamClass::kMaxJsonBody);
}

}  // namespace
