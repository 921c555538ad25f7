// The HTTPS client against loopback servers, the transfer streams, and file
// and key encryption under a real cluster key.
#include "infocollector/https_client.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <filesystem>
#include <future>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "include/infocollector/file_crypt.h"
#include "infocollector/transfer_stream.h"
#include "infra/exec_cmd.h"
#include "platform/kmca.h"
#include "platform/platform_state.h"
#include "tests/support/cluster_key.h"
#include "tests/support/log_capture.h"
#include "tests/support/loopback_servers.h"
#include "tests/support/temp_dir.h"
#include "transfer/https_internal.h"

namespace {

using namespace chs_test;

class HttpsClientTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        CURL_Init();
        platform::state::Set("dns", "1");
        if (!ProgramPath("openssl").empty()) {
            pki = std::make_unique<TestPki>();
        }
    }
    void SetUp() override {
        if (pki == nullptr) {
            GTEST_SKIP() << "openssl is not installed";
        }
        ASSERT_TRUE(pki->ok()) << pki->error();
        HttpsClass::SetLoadCrl(true);
    }

    // GET / into the discarding sink; true when the transfer succeeded.
    static bool Get(HttpsClass& client, const std::string& path = "/") {
        HttpHeaders headers;
        return client.Download(HTTP_GET, path, headers, &g_blackHoleStream, 20, 5, 0);
    }

    static inline std::unique_ptr<TestPki> pki;
    LogCapture log;
};

TEST_F(HttpsClientTest, ServerNameTrustAndRevocation) {
    struct Case {
        const char* what;
        const char* ca;
        const char* cert;
        std::string caPem;
        bool ok;
        const char* logged;
    };
    const std::vector<Case> cases = {
        {"right name", "ca", "right", pki->CaPem(), true, ""},
        {"right name, CRL loaded", "ca", "right", pki->CaWithCrlPem(), true, ""},
        {"wrong name", "ca", "wrong", pki->CaPem(), false, "Certificate mismatch hostname (localhost)."},
        {"longer name", "ca", "longer", pki->CaPem(), false, "Certificate mismatch hostname (localhost)."},
        {"untrusted CA", "other", "right", pki->CaPem(), false, "VerifyError:Num=20:"},
        {"revoked, CRL loaded", "ca", "revoked", pki->CaWithCrlPem(), false, "VerifyError:Num=23:"},
        {"revoked, no CRL", "ca", "revoked", pki->CaPem(), true, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TlsServer server(*pki, c.ca, c.cert);
        ASSERT_TRUE(server.ok());
        log.Clear();
        HttpsClass client("localhost", server.port(), c.caPem);
        EXPECT_EQ(Get(client), c.ok);
        EXPECT_EQ(client.GetErrorCode(), c.ok ? 0u : HTTPS_ERR_CERT);
        EXPECT_TRUE(log.Contains(c.logged));
    }
    // A moved client checks the name it took over.
    TlsServer server(*pki, "ca", "right");
    HttpsClass original("localhost", server.port(), pki->CaPem());
    HttpsClass moved(std::move(original));
    EXPECT_TRUE(Get(moved));
}

TEST_F(HttpsClientTest, ClientsForDifferentServersHandshakeAtOnce) {
    TlsServer byName(*pki, "ca", "right");
    TlsServer byAddress(*pki, "ca", "address");
    ASSERT_TRUE(byName.ok() && byAddress.ok());
    auto Loop = [this](const std::string& host, uint16_t port) {
        int done = 0;
        for (int i = 0; i < 15; ++i) {
            HttpsClass client(host, port, pki->CaPem());
            done += Get(client) ? 1 : 0;
        }
        return done;
    };
    auto first = std::async(std::launch::async, Loop, "localhost", byName.port());
    auto second = std::async(std::launch::async, Loop, "127.0.0.1", byAddress.port());
    EXPECT_EQ(first.get(), 15);
    EXPECT_EQ(second.get(), 15);
}

TEST_F(HttpsClientTest, MissingCrlSwitchesCrlCheckingOffUntilAnotherFailure) {
    // The CRL of "ca" makes the check demand one for "other", which has none.
    std::string caPem = pki->CaWithCrlPem("ca") + pki->CaPem("other");
    TlsServer server(*pki, "other", "right");
    ASSERT_TRUE(server.ok());
    HttpsClass client("localhost", server.port(), caPem);
    EXPECT_FALSE(Get(client));
    EXPECT_TRUE(log.Contains("VerifyError:Num=3:"));
    EXPECT_EQ(client.GetErrorCode(), HTTPS_ERR_CERT);
    EXPECT_TRUE(Get(client)) << "the retry runs without CRL checking";

    HttpsClass stranger("localhost", server.port(), pki->CaWithCrlPem("ca"));
    EXPECT_FALSE(Get(stranger));
    // A new object: the first one would resume its verified TLS session.
    HttpsClass again("localhost", server.port(), caPem);
    EXPECT_FALSE(Get(again)) << "another failure turns CRL checking back on";
    EXPECT_TRUE(Get(again));
}

TEST_F(HttpsClientTest, CertificateFailureOutranksRefusalInEitherOrder) {
    uint16_t port = FreeLoopbackPort();
    HttpsClass refusedFirst("localhost", port, pki->CaPem());
    EXPECT_FALSE(Get(refusedFirst));
    EXPECT_EQ(refusedFirst.GetErrorCode(), HTTPS_ERR_TRANSFER);
    HttpsClass certFirst("localhost", port, pki->CaPem());
    {
        TlsServer wrong(*pki, "ca", "wrong", port);
        ASSERT_TRUE(wrong.ok());
        EXPECT_FALSE(Get(refusedFirst));
        EXPECT_FALSE(Get(certFirst));
    }
    EXPECT_FALSE(Get(certFirst));
    EXPECT_EQ(refusedFirst.GetErrorCode(), HTTPS_ERR_CERT);
    EXPECT_EQ(certFirst.GetErrorCode(), HTTPS_ERR_CERT);

    const std::vector<std::pair<std::vector<uint32_t>, uint32_t>> sequences = {
        {{HTTPS_ERR_OPTION, HTTPS_ERR_TRANSFER}, HTTPS_ERR_TRANSFER},
        {{HTTPS_ERR_WRITE, HTTPS_ERR_NO_DNS}, HTTPS_ERR_NO_DNS},  // a ranked code replaces an unranked one
        {{HTTPS_ERR_TRANSFER, HTTPS_ERR_WRITE}, HTTPS_ERR_TRANSFER},
        {{HTTPS_ERR_RESOLVE, HTTPS_ERR_NO_DNS}, HTTPS_ERR_RESOLVE},
        {{HTTPS_ERR_OTHER, HTTPS_ERR_CERT, HTTPS_ERR_OPTION}, HTTPS_ERR_OTHER},
    };
    for (const auto& [codes, expected] : sequences) {
        HttpsClass client("localhost", 1, "");
        for (uint32_t code : codes) {
            client.SetErrorCode(code);
        }
        EXPECT_EQ(client.GetErrorCode(), expected) << std::hex << codes.front() << " then " << codes.back();
    }
}

TEST_F(HttpsClientTest, UrlOfHostPortAndPath) {
    struct Case {
        std::string host;
        std::string path;
        const char* dns;
        std::string url;  // empty: refused with `error`
        uint32_t error;
    };
    const std::vector<Case> cases = {
        {"::1", "/a b/c", "1", "https://[::1]:8443/a%20b/c", 0},
        {"::1", "a b/c", "1", "https://[::1]:8443/a%20b/c", 0},
        {"localhost", "", "1", "https://127.0.0.1:8443/", 0},
        {"no-such-host.invalid", "/x", "1", "", HTTPS_ERR_RESOLVE},
        {"localhost", "/x", "0", "", HTTPS_ERR_NO_DNS},
    };
    for (const Case& c : cases) {
        platform::state::Set("dns", c.dns);
        log.Clear();
        HttpsClass client(c.host, 8443, "");
        EXPECT_EQ(client.SetUrl(c.path), !c.url.empty()) << c.host << c.path;
        EXPECT_EQ(client.GetErrorCode(), c.error);
        EXPECT_TRUE(c.url.empty() ? log.Contains("Failed to parse dns " + c.host)
                                  : log.Contains("url: " + c.url))
            << c.url;
    }
    platform::state::Set("dns", "1");
}

TEST_F(HttpsClientTest, ExecFailuresPastSixInTheWindowAreLoggedAtDebugOnly) {
    HttpsClass client("127.0.0.1", FreeLoopbackPort(), pki->CaPem());
    HttpReponseStreamClass response;
    HttpHeaders headers;
    auto Fail = [&] {
        EXPECT_FALSE(client.Exec(HTTP_POST, "/echo", headers, &response, Json::Value(), 10, 5));
    };
    auto Logged = [&](const char* level) {
        std::vector<std::string> lines = log.Matching("curl_easy_perform failed");
        return std::count_if(lines.begin(), lines.end(), [&](auto& l) { return l.find(level) != l.npos; });
    };
    g_ullExecFailLogWindowSec = 0;  // the first failure starts a new window
    Fail();
    g_ullExecFailLogWindowSec = 7200;
    for (int i = 0; i < 6; ++i) {
        Fail();
    }
    EXPECT_EQ(Logged("[ERROR]"), 6);
    EXPECT_EQ(Logged("[DEBUG]"), 7);
    g_ullExecFailLogWindowSec = 0;
    Fail();
    EXPECT_EQ(Logged("[ERROR]"), 7) << "an expired window starts again";
    g_ullExecFailLogWindowSec = 7200;
}

TEST_F(HttpsClientTest, ConnectThroughProxyWithoutLeakingThePassword) {
    if (ProgramPath("tinyproxy").empty()) {
        GTEST_SKIP() << "tinyproxy is not installed (./chs setup installs it)";
    }
    TlsServer server(*pki, "ca", "right");
    TinyProxy plain(server.port());
    TinyProxy guarded(server.port(), "chs", "pr0xy-s3cret");
    ASSERT_TRUE(server.ok() && plain.ok() && guarded.ok());
    for (const auto& [password, ok] : std::vector<std::pair<std::string, bool>>{
             {"", true}, {"pr0xy-s3cret", true}, {"wr0ng-pass", false}}) {
        HttpsClass client("localhost", server.port(), pki->CaPem());
        ASSERT_TRUE(password.empty()
                        ? client.SetProxy("127.0.0.1", plain.port(), "", "", HTTP_AUTH_NONE)
                        : client.SetProxy("127.0.0.1", guarded.port(), "chs", password, HTTP_PROXY_HTTP));
        EXPECT_EQ(Get(client, "/via proxy"), ok) << password;
        // Through a proxy of a given type the name goes to the proxy unresolved.
        EXPECT_TRUE(password.empty() ||
                    log.Contains("url: https://localhost:" + std::to_string(server.port()) + "/via%20proxy"));
    }
    EXPECT_NE(ReadText(plain.LogFile()).find("): CONNECT 127.0.0.1:" + std::to_string(server.port())),
              std::string::npos)
        << "the plain proxy carried no request";
    EXPECT_FALSE(log.Contains("pr0xy-s3cret"));
    EXPECT_FALSE(log.Contains("wr0ng-pass"));
}

TEST(HttpsTextTest, EncodingsAndTheirRefusals) {
    EXPECT_EQ(UrlEncode("a b/c~-._\xff"), "a+b%2Fc~-._%FF");
    HttpsClass client("localhost", 1, "");
    LogCapture log;
    EXPECT_EQ(client.UriEncode("a b/c"), "a%20b%2Fc");
    EXPECT_EQ(client.UriEncode(std::string("a\0b", 3)), "");
    EXPECT_TRUE(log.Contains("Failed to encode uri because the string contain 0."));
    EXPECT_EQ(client.UriDecode("a%20b%00c"), std::string("a b\0c", 5));
}

class RemoteServiceTest : public HttpsClientTest {
  protected:
    void SetUp() override {
        HttpsClientTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) {
            return;
        }
        if (ProgramPath("nginx").empty()) {
            GTEST_SKIP() << "nginx is not installed (./chs setup installs it)";
        }
        service = std::make_unique<RemoteService>(*pki, "right", dir.Join("uploads"));
        ASSERT_TRUE(service->ok()) << pki->error();
    }
    TempDir dir;
    std::unique_ptr<RemoteService> service;
};

TEST_F(RemoteServiceTest, ExecUploadAndDownloadOneAfterAnother) {
    HttpsClass client("localhost", service->port(), pki->CaWithCrlPem());
    Json::Value request;
    request["task"] = "collect";
    request["nodes"].append(0);
    HttpHeaders headers;
    HttpsClass::BuildDefHttpOpt(headers);
    HttpReponseStreamClass echo;
    ASSERT_TRUE(client.Exec(HTTP_POST, "/echo", headers, &echo, request, 30, 5));
    EXPECT_EQ(echo.status, 200);
    EXPECT_EQ(echo.root, request);

    // Produced on another thread while it is sent, at full speed.
    std::string data(3u << 20, '\0');
    std::generate(data.begin(), data.end(), std::mt19937(3));
    BridgeStreamClass bridge;
    bridge.Size(data.size());
    std::thread producer([&] {
        for (size_t at = 0; at < data.size(); at += 65536) {
            bridge.Write(data.data() + at, static_cast<unsigned>(std::min<size_t>(65536, data.size() - at)));
        }
        bridge.Stop();
    });
    client.SetUploadLimit(0);
    HttpHeaders none;
    HttpReponseStreamClass saved;
    bool uploaded = client.Upload(&bridge, "node0.tgz", "/upload/sub/", none, 60, 5, &saved);
    producer.join();
    ASSERT_TRUE(uploaded);
    EXPECT_EQ(saved.status, 201);
    EXPECT_EQ(saved.root["saved"][0]["size"].asUInt64(), data.size());
    EXPECT_EQ(ReadText(dir.Join("uploads/sub/node0.tgz")), data);

    {
        OutFileStreamClass file(dir.Join("copy"));
        EXPECT_TRUE(client.Download(HTTP_GET, "/files/sub/node0.tgz", none, &file, 60, 5, 0));
    }
    EXPECT_EQ(client.GetLastResult(), 0u);
    EXPECT_EQ(ReadText(dir.Join("copy")), data);
    HttpReponseStreamClass again;
    EXPECT_TRUE(client.Exec(HTTP_POST, "/echo", headers, &again, request, 30, 5));
    EXPECT_EQ(again.root, request);
    EXPECT_EQ(client.GetErrorCode(), 0u);
}

TEST_F(RemoteServiceTest, HeaderLineOver8192BytesAbortsTheTransfer) {
    // "X-Big: " + n bytes + CRLF
    for (const auto& [n, ok] : std::vector<std::pair<int, bool>>{{8183, true}, {8184, false}}) {
        HttpsClass client("localhost", service->port(), pki->CaPem());
        HttpReponseStreamClass response;
        HttpHeaders headers;
        EXPECT_EQ(
            client.Download(HTTP_GET, "/bigheader?n=" + std::to_string(n), headers, &response, 20, 5, 0), ok);
        EXPECT_EQ(response.getOpt("X-Big").size(), ok ? static_cast<size_t>(n) : 0u);
        EXPECT_EQ(client.GetErrorCode(), ok ? 0u : HTTPS_ERR_WRITE) << n;
    }
}

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

// File and string encryption with the real openssl under a real cluster key.
using chs_test::ReadText;
using chs_test::TempDir;
using chs_test::WriteText;

constexpr size_t kBlock = FileCrypt::CHS_CRYPT_PASSWORD_CIPHER_LENGTH;

std::string RandomBytes(size_t size) {
    std::string bytes(size, '\0');
    std::generate(bytes.begin(), bytes.end(), std::mt19937(static_cast<unsigned>(size)));
    return bytes;
}

// The pass phrase kept in an encrypted file's key block.
std::string PassPhraseOf(const std::string& encrypted) {
    std::string block = encrypted.substr(encrypted.size() - kBlock);
    std::string cipher = block.substr(0, block.find('\0'));
    EXPECT_EQ(block.find_first_not_of('\0', cipher.size()), std::string::npos) << "NUL padding";
    EXPECT_EQ(DecryptString(cipher), 0u);
    return cipher;
}

class FileCryptTest : public ::testing::Test {
  protected:
    void SetUp() override { chs_test::UseNodeRootWithKey(m_root.path()); }
    void TearDown() override { chs_test::UseNodeRoot("/"); }

    TempDir m_root;
    TempDir m_dir;
};

TEST_F(FileCryptTest, StringsRoundTripAndKeyFailuresAreRetriedThenReported) {
    std::string encrypted = "Pass word 1";
    ASSERT_EQ(EncryptString(encrypted), 0u);
    std::string text = encrypted;
    ASSERT_EQ(DecryptString(text), 0u);
    EXPECT_NE(encrypted, text);
    EXPECT_EQ(text, "Pass word 1");

    ASSERT_EQ(unlink(platform::ClusterKeyPath().c_str()), 0);
    chs_test::LogCapture log;
    std::string empty;
    EXPECT_EQ(EncryptString(empty), 0u) << "nothing to encrypt needs no key";
    EXPECT_TRUE(empty.empty());
    EXPECT_FALSE(log.Contains("kmca"));
    struct Case {
        bool encrypt;
        std::string text;
        uint32_t code;
        const char* retry;
        const char* final;
    };
    const std::vector<Case> cases = {
        {true, "clear", 0x40E05B2A, "Failed to encrypt string iRet(2).",
         "Kmm failed to encrypt string error(2)."},
        {false, encrypted, 0x40E05B2D, "Failed to decrypt string.", "Kmm failed to decrypt string."},
    };
    for (const Case& c : cases) {
        log.Clear();
        std::string text = c.text;
        EXPECT_EQ(c.encrypt ? EncryptString(text) : DecryptString(text), c.code);
        EXPECT_EQ(text, c.text) << "left as it was";
        EXPECT_EQ(log.Count(c.retry), 3u) << c.retry;
        EXPECT_EQ(log.Count(c.final), 1u) << c.final;
    }
}

// The format other nodes rely on: openssl's own salted file, then the key
// block. Also: a fresh pass phrase per file, and none on any command line.
TEST_F(FileCryptTest, EncryptedFileIsOpensslOutputAndKeyBlockWithAFreshPassPhrase) {
    std::string plain = m_dir.Join("plain");
    WriteText(plain, RandomBytes(100000));
    std::vector<std::string> commandLines;  // the recorder runs in the thread that runs the command
    chs_setExecRecorder([&](pid_t pid, const std::string&) {
        // Empty, or this program's own line in a forked child, until the new image is set up; the
        // child waits for its pass phrase meanwhile.
        const std::string own = ReadText("/proc/self/cmdline");
        std::string line;
        for (int i = 0; i < 1000 && (line.empty() || line == own); ++i, usleep(1000)) {
            line = ReadText("/proc/" + std::to_string(pid) + "/cmdline");
        }
        commandLines.push_back(line);
    });
    FileCrypt first;
    FileCrypt second;
    ASSERT_EQ(first.encrypt(plain, m_dir.Join("one")), 0u);
    ASSERT_EQ(second.encrypt(plain, m_dir.Join("two")), 0u);
    ASSERT_EQ(first.decrypt(m_dir.Join("one"), m_dir.Join("back")), 0u);
    chs_setExecRecorder(nullptr);

    std::string one = ReadText(m_dir.Join("one"));
    std::string passPhrase = PassPhraseOf(one);
    std::string other = PassPhraseOf(ReadText(m_dir.Join("two")));
    EXPECT_EQ(passPhrase.size(), 31u);
    EXPECT_EQ(passPhrase.find_first_not_of(FileCrypt::CHS_CRYPT_PASSWORD_CHARSET), std::string::npos);
    EXPECT_NE(passPhrase, other);
    EXPECT_EQ(ReadText(m_dir.Join("back")), ReadText(plain));
    EXPECT_EQ(ReadText(m_dir.Join("one")), one) << "decryption leaves the encrypted file alone";

    // The plain openssl command decrypts the body with the block's pass phrase.
    WriteText(m_dir.Join("body"), one.substr(0, one.size() - kBlock));
    EXPECT_EQ(chs_execCmdWithPassword("openssl aes-128-cbc -d -salt -in " + m_dir.Join("body") + " -out " +
                                          m_dir.Join("by-hand") + " -pass stdin 2>/dev/null",
                                      passPhrase + "\n", 60000),
              0);
    EXPECT_EQ(ReadText(m_dir.Join("by-hand")), ReadText(plain));
    EXPECT_EQ(one.size() - kBlock, 16 + (100000 / 16 + 1) * 16u)
        << "salt header and padded blocks, nothing else";

    ASSERT_EQ(commandLines.size(), 3u);
    for (const std::string& line : commandLines) {
        EXPECT_NE(line.find("openssl"), std::string::npos);
        EXPECT_EQ(line.find(passPhrase), std::string::npos) << line;
        EXPECT_EQ(line.find(other), std::string::npos) << line;
    }
}

TEST_F(FileCryptTest, FailedDecryptionLeavesTheFileAsItWasAndNoOutput) {
    std::string plain = m_dir.Join("plain");
    WriteText(plain, RandomBytes(5000));
    std::string encrypted = m_dir.Join("enc");
    FileCrypt crypt;
    ASSERT_EQ(crypt.encrypt(plain, encrypted), 0u);
    std::string good = ReadText(encrypted);
    std::string key = ReadText(platform::ClusterKeyPath());
    std::string badBlock = good;
    badBlock[good.size() - kBlock + 10] ^= 1;
    std::string badBody = std::string(1000, 'x') + good.substr(good.size() - kBlock);
    struct Case {
        const char* what;
        std::string file;
        bool removeKey;
        const char* log;
    };
    const std::vector<Case> cases = {
        {"no key", good, true, "Failed to decrypt cipher."},
        {"damaged block", badBlock, false, "Failed to decrypt cipher."},
        {"not openssl's data", badBody, false, "Failed to decrypt file using openssl"},
        {"empty key block", good.substr(0, good.size() - kBlock) + std::string(kBlock, '\0'), false,
         "Failed to get cipher from"},
        {"shorter than a block", good.substr(0, 1000), false, "Failed to get cipher from"},
    };
    for (const Case& c : cases) {
        WriteText(encrypted, c.file);
        WriteText(m_dir.Join("out"), "earlier");
        if (c.removeKey) {
            unlink(platform::ClusterKeyPath().c_str());
        }
        chs_test::LogCapture log;
        EXPECT_NE(crypt.decrypt(encrypted, m_dir.Join("out")), 0u) << c.what;
        EXPECT_TRUE(log.Contains(c.log)) << c.what;
        EXPECT_EQ(ReadText(encrypted), c.file) << c.what;
        EXPECT_EQ(ReadText(m_dir.Join("out")), "earlier") << c.what;
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(m_dir.path()), {}), 3)
            << c.what << ": no temporary file left";
        if (c.removeKey) {
            WriteText(platform::ClusterKeyPath(), key);
            ASSERT_EQ(chmod(platform::ClusterKeyPath().c_str(), 0600), 0);
        }
    }
}

// Several megabytes take longer than a fixed 60 ms; quotes and blanks stay
// literal in the command line.
TEST_F(FileCryptTest, LargeFileBehindAnAwkwardPath) {
    std::string dir = m_dir.Join("a dir 'with' \"quotes\" $(touch x)");
    chs_test::MakeDirs(dir);
    std::string plain = dir + "/plain; it's.bin";
    WriteText(plain, RandomBytes(12u << 20));
    FileCrypt crypt;
    ASSERT_EQ(crypt.encrypt(plain, dir + "/enc `x`"), 0u);
    ASSERT_EQ(crypt.decrypt(dir + "/enc `x`", dir + "/back & more"), 0u);
    EXPECT_TRUE(ReadText(dir + "/back & more") == ReadText(plain));
    EXPECT_FALSE(std::filesystem::exists(m_dir.Join("x")));
}

// Key management under a real cluster key file.
using chs_test::TempDir;

struct Result {
    int ret = -1;
    std::string text;
};

// KMCA_Encrypt or KMCA_Decrypt of the first `length` bytes of `input`.
Result Kmca(bool encrypt, const std::string& input, uint32_t domain = KMCA_DOMAIN_CHS,
            size_t length = std::string::npos) {
    Result result;
    unsigned char* out = nullptr;
    uint32_t outLength = 0;
    auto* data = reinterpret_cast<const unsigned char*>(input.data());
    auto size = static_cast<uint32_t>(std::min(length, input.size()));
    result.ret = encrypt ? KMCA_Encrypt(domain, data, size, &out, &outLength)
                         : KMCA_Decrypt(domain, data, size, &out, &outLength);
    if (result.ret == KMCA_OK) {
        result.text.assign(reinterpret_cast<char*>(out), outLength);
    } else {
        EXPECT_EQ(out, nullptr);
    }
    KMCA_MemClearFree(out, outLength);
    return result;
}

using KmcaTest = FileCryptTest;  // the same node root with its cluster key

TEST_F(KmcaTest, RoundTripsAnyBytesAsPrintableTextThatDiffersEachTime) {
    std::string binary("\0\x01\xff\x7f\n\rend", 9);
    const std::vector<std::string> cases = {"", "p", "Admin@storage#2026", binary, std::string(5000, 'x')};
    for (const std::string& plain : cases) {
        Result first = Kmca(true, plain);
        Result second = Kmca(true, plain);
        ASSERT_EQ(first.ret, KMCA_OK) << plain.size();
        EXPECT_NE(first.text, second.text) << "fresh nonce every time";
        for (char c : first.text) {
            ASSERT_TRUE(isprint(static_cast<unsigned char>(c))) << static_cast<int>(c);
        }
        Result back = Kmca(false, first.text);
        ASSERT_EQ(back.ret, KMCA_OK);
        EXPECT_EQ(back.text, plain);
        EXPECT_EQ(Kmca(false, first.text, 5).ret, KMCA_ERR_PARAM) << "another key domain";
    }
}

TEST_F(KmcaTest, RefusesDamagedTruncatedAndForeignTexts) {
    std::string good = Kmca(true, "the pass phrase of a file").text;
    ASSERT_FALSE(good.empty());
    std::string flipped = good;
    flipped[good.size() / 2] = flipped[good.size() / 2] == 'A' ? 'B' : 'A';
    size_t last = good.find_last_not_of('=');  // the tag's last character, before the padding
    // The same bytes spelled differently: unused low bits of the last character set.
    const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string unusedBits = good;
    unusedBits[last] = alphabet[alphabet.find(good[last]) + 1];
    const std::vector<std::pair<const char*, std::string>> cases = {
        {"unused bits set", unusedBits},
        {"flipped character", flipped},
        {"one quad short", good.substr(0, good.size() - 4)},
        {"one character short", good.substr(0, good.size() - 1)},
        {"other prefix", "KM2:" + good.substr(4)},
        {"prefix only", good.substr(0, 4)},
        {"bad base64", good.substr(0, 8) + "*" + good.substr(9)},
        {"too short to hold a tag", "KM1:AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA"},
        {"empty", ""},
    };
    for (const auto& [what, text] : cases) {
        EXPECT_EQ(Kmca(false, text).ret, KMCA_ERR_DATA) << what;
    }
    EXPECT_EQ(Kmca(false, good, KMCA_DOMAIN_CHS, good.size() - 4).ret, KMCA_ERR_DATA)
        << "the length ends the text: bytes behind it are never read";

    std::string error;
    EXPECT_FALSE(platform::CreateClusterKey(platform::ClusterKeyPath(), error)) << "a key is never replaced";
    ASSERT_EQ(unlink(platform::ClusterKeyPath().c_str()), 0);
    ASSERT_TRUE(platform::CreateClusterKey(platform::ClusterKeyPath(), error)) << error;
    EXPECT_EQ(Kmca(false, good).ret, KMCA_ERR_DATA) << "made under another key";
}

TEST_F(KmcaTest, RefusesKeyFilesThatAreNotTheDaemonsAlone) {
    std::string path = platform::ClusterKeyPath();
    std::string saved = m_root.Join("saved.key");
    ASSERT_EQ(rename(path.c_str(), saved.c_str()), 0);
    struct Case {
        const char* what;
        std::string content;  // empty: a link to the good key
        mode_t mode;
        const char* reason;
    };
    std::string digits(64, 'a');
    const std::vector<Case> cases = {
        {"missing", "-", 0600, "cannot open"},
        {"group readable", digits + "\n", 0640, "not owner-only"},
        {"symbolic link", "", 0600, "symbolic link"},
        {"not hex", std::string(63, 'a') + "g", 0600, "64 hex digits"},
        {"trailing text", digits + "\nmore", 0600, "64 hex digits"},
    };
    for (const Case& c : cases) {
        unlink(path.c_str());
        if (c.content.empty()) {
            ASSERT_EQ(symlink(saved.c_str(), path.c_str()), 0);
        } else if (c.content != "-") {
            chs_test::WriteText(path, c.content);
            ASSERT_EQ(chmod(path.c_str(), c.mode), 0);
        }
        chs_test::LogCapture log;
        EXPECT_EQ(Kmca(true, "text").ret, KMCA_ERR_KEY) << c.what;
        EXPECT_TRUE(log.Contains(c.reason)) << c.what;
    }
}

}  // namespace
