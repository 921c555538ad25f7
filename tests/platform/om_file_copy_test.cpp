// Node-to-node file copy between real processes of a temporary cluster: this
// process is node 0, attached with OMClusterInit like a daemon; node 1 is a
// daemon-like peer (this binary started with CHS_FILE_COPY_PEER) whose file
// service OMClusterInit registered; node 2 is a peer whose file endpoint
// answers with crafted, mostly broken, bodies; node 3 is configured but never
// started.
#include "platform/om_file_copy.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "platform/msg_transport.h"
#include "platform/om_cluster.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"
#include "tests/support/transport_util.h"

namespace {

using chs_test::BodyOf;
using chs_test::CanConnect;
using chs_test::Entries;
using chs_test::MakeDirs;
using chs_test::NewBody;
using chs_test::ReadText;
using chs_test::WriteText;

constexpr uint32_t kTimeout = 10;

uint64_t Le(const uint8_t* in, int bytes) {
    uint64_t value = 0;
    for (int i = 0; i < bytes; ++i) {
        value |= static_cast<uint64_t>(in[i]) << (8 * i);
    }
    return value;
}

void PutLe(std::string& out, uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) {
        out.push_back(static_cast<char>(value >> (8 * i)));
    }
}

std::string AnswerBody(uint32_t status, uint64_t total, const std::string& chunk) {
    std::string body;
    PutLe(body, status, 4);
    PutLe(body, total, 8);
    return body + chunk;
}

// ---- the crafted service of node 2 ------------------------------------------

// Answers by the name of the requested file; "echo" returns the request's
// decoded fields as the file, so the test sees what the fetch put on the wire.
int LiarEntry(void* message) {
    std::string request = BodyOf(message);
    if (request.size() < 14) {
        return 0;
    }
    const uint8_t* in = reinterpret_cast<const uint8_t*>(request.data());
    uint64_t offset = Le(in, 8);
    uint32_t maxChunk = static_cast<uint32_t>(Le(in + 8, 4));
    uint32_t pathLength = static_cast<uint32_t>(Le(in + 12, 2));
    std::string path = request.substr(14);
    std::string name = path.substr(path.find_last_of('/') + 1);
    std::string body;
    if (name == "echo") {
        tagMsgInfo info{};
        MSG_GetMsgInfo(message, &info);
        std::string text = "opcode=" + std::to_string(info.uiMsgOPCode) +
                           " offset=" + std::to_string(offset) + " max=" + std::to_string(maxChunk) +
                           " length=" + std::to_string(pathLength) + " path=" + path +
                           " timeout=" + std::to_string(info.uiMsgTimeout);
        body = AnswerBody(0, text.size(), text);
    } else if (name == "grow") {  // the size differs in the second answer
        uint64_t total = offset == 0 ? 2 * OM_FILE_CHUNK_BYTES : 2 * OM_FILE_CHUNK_BYTES + 1;
        body = AnswerBody(0, total, std::string(OM_FILE_CHUNK_BYTES, 'g'));
    } else if (name == "huge") {
        body = AnswerBody(0, 4 * OM_FILE_CHUNK_BYTES, std::string(maxChunk + 1, 'h'));
    } else if (name == "silent") {
        return 0;
    } else {
        const std::map<std::string, std::string> fixed = {
            {"short", AnswerBody(0, 2 * OM_FILE_CHUNK_BYTES, std::string(OM_FILE_CHUNK_BYTES - 1, 's'))},
            {"long", AnswerBody(0, 10, std::string(11, 'l'))},
            {"status", AnswerBody(77, 0, "")},
            {"status-with-bytes", AnswerBody(OM_FILE_ERR_NOT_FOUND, 0, "x")},
            {"tiny", "tiny!"},
        };
        auto found = fixed.find(name);
        body = found != fixed.end() ? found->second : AnswerBody(OM_FILE_ERR_NOT_FOUND, 0, "");
    }
    MSG_PostAckMsg(message, NewBody(body), static_cast<uint32_t>(body.size()));
    return 0;
}

// Args: "<cluster.json> <node> <root> serve|liar".
int RunPeer(const char* peerArgs) {
    char clusterFile[512] = {0}, nodeText[8] = {0}, root[512] = {0}, mode[8] = {0};
    if (sscanf(peerArgs, "%511s %7s %511s %7s", clusterFile, nodeText, root, mode) != 4) {
        return 2;
    }
    if (strcmp(mode, "serve") == 0) {
        // What a daemon does: the file service comes with the attach.
        if (OMClusterInit(35, 0x700010, 35, nodeText, root, clusterFile) != 0) {
            return 3;
        }
    } else {
        std::string error;
        if (!platform::AttachCluster(clusterFile, static_cast<uint16_t>(atoi(nodeText)), root, false,
                                     error) ||
            MSG_ClientInit("liar") != 0 || MSG_RegisterPID(OM_FILE_SERVICE_PID, LiarEntry) != 0) {
            return 4;
        }
    }
    for (;;) {
        pause();
    }
}

// ---- this process ---------------------------------------------------------------

class OmFileCopyTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        s_dir = new chs_test::TempDir();
        WriteText(s_dir->Join("cluster.json"), R"({"serialNumber": "2102351234567890", "nodes": [
            {"id": 0, "name": "CTE0.A"}, {"id": 1, "name": "CTE0.B"},
            {"id": 2, "name": "CTE0.C"}, {"id": 3, "name": "CTE0.D"}]})");
        for (const char* node : {"node0", "node1", "node2", "node3"}) {
            MakeDirs(s_dir->Join(std::string(node) + "/VXA/coffer_data"));
        }
        std::string coffer = s_dir->Join("node1/VXA/coffer_data/");
        WriteText(coffer + "small.txt", "hello world");
        WriteText(coffer + "empty.bin", "");
        std::mt19937 random(7);
        s_big.resize(3 * (1u << 20) + 12345);
        for (char& c : s_big) {
            c = static_cast<char>(random());
        }
        WriteText(coffer + "big.bin", s_big);
        MakeDirs(coffer + "sub");
        WriteText(coffer + "sub/deep.txt", "deep");
        WriteText(s_dir->Join("node1/VXA/other.txt"), "not for export");
        WriteText(s_dir->Join("node1/secret.txt"), "secret");
        ASSERT_EQ(symlink("../../secret.txt", (coffer + "out-link").c_str()), 0);
        ASSERT_EQ(symlink("sub/deep.txt", (coffer + "in-link").c_str()), 0);
        WriteText(s_dir->Join("node0/VXA/coffer_data/local.txt"), "local bytes");
        WriteText(s_dir->Join("node0/VXA/outside.txt"), "outside");

        ASSERT_EQ(OMClusterInit(35, 0x700010, 35, "0", s_dir->Join("node0").c_str(),
                                s_dir->Join("cluster.json").c_str()),
                  0);
        StartPeer(1, "serve");
        StartPeer(2, "liar");
    }
    static void TearDownTestSuite() {
        s_peers.clear();
        MSG_ClientExit();
        platform::DetachCluster();
        delete s_dir;
        s_dir = nullptr;
    }

    static void StartPeer(uint16_t node, const std::string& mode) {
        std::string root = s_dir->Join("node" + std::to_string(node));
        std::string args = s_dir->Join("cluster.json") + " " + std::to_string(node) + " " + root + " " + mode;
        s_peers[node] =
            std::make_unique<chs_test::Process>(std::vector<std::string>{"/proc/self/exe"},
                                                std::vector<std::string>{"CHS_FILE_COPY_PEER=" + args},
                                                s_dir->Join("peer" + std::to_string(node) + ".out"));
        std::string socketPath = s_dir->Join("run/ep-" + std::to_string(node) + "-" +
                                             std::to_string(OM_FILE_SERVICE_PID) + ".sock");
        ASSERT_TRUE(chs_test::WaitFor([&] { return CanConnect(socketPath); }, 10000))
            << "peer " << node << " did not start";
    }

    void SetUp() override { MakeDirs(out.path()); }

    // Fetches and checks that a failure left nothing in the destination's
    // directory but what was there before: no partial or temporary file.
    int Fetch(uint16_t node, const std::string& source, const std::string& destination,
              uint32_t timeout = kTimeout) {
        std::string dir = destination.substr(0, destination.find_last_of('/'));
        std::set<std::string> before = Entries(dir);
        int rc = OM_GetFileFromOtherNode(node, source.c_str(), destination.c_str(), timeout);
        if (rc != 0) {
            EXPECT_EQ(Entries(dir), before) << source << " left files behind";
        }
        return rc;
    }

    // Sends a raw request body to node 1's file service; the answer body.
    std::string Raw(const std::string& body, uint32_t opcode = OM_FILE_OPCODE_GET_CHUNK) {
        return chs_test::AskSync(chs_test::RequestInfo(1, OM_FILE_SERVICE_PID, opcode, body.size(), kTimeout),
                                 body);
    }

    static std::string Request(uint64_t offset, uint32_t maxChunk, const std::string& path,
                               size_t claimedLength = std::string::npos) {
        std::string body;
        PutLe(body, offset, 8);
        PutLe(body, maxChunk, 4);
        PutLe(body, claimedLength == std::string::npos ? path.size() : claimedLength, 2);
        return body + path;
    }

    static uint32_t StatusOf(const std::string& answer) {
        return answer.size() >= 4
                   ? static_cast<uint32_t>(Le(reinterpret_cast<const uint8_t*>(answer.data()), 4))
                   : 0xFFFFFFFF;
    }

    static inline chs_test::TempDir* s_dir = nullptr;
    static inline std::string s_big;
    static std::map<uint16_t, std::unique_ptr<chs_test::Process>> s_peers;
    chs_test::TempDir out;
};

std::map<uint16_t, std::unique_ptr<chs_test::Process>> OmFileCopyTest::s_peers;

TEST_F(OmFileCopyTest, FetchesWholeFilesFromAnotherNode) {
    ASSERT_EQ(Fetch(1, "/VXA/coffer_data/small.txt", out.Join("small.txt")), 0);
    EXPECT_EQ(ReadText(out.Join("small.txt")), "hello world");

    ASSERT_EQ(Fetch(1, "/VXA/coffer_data/empty.bin", out.Join("empty.bin")), 0);
    EXPECT_EQ(ReadText(out.Join("empty.bin")), "");

    // Several chunks, the last a partial one; a directory destination takes
    // the source's name.
    ASSERT_EQ(Fetch(1, "/VXA/coffer_data/big.bin", out.path() + "/"), 0);
    EXPECT_TRUE(ReadText(out.Join("big.bin")) == s_big) << "multi-chunk copy differs";

    ASSERT_EQ(Fetch(1, "/VXA/coffer_data/sub/deep.txt", out.path()), 0);
    EXPECT_EQ(ReadText(out.Join("deep.txt")), "deep");

    // A link that stays inside the tree is served; an existing destination
    // is replaced whole.
    WriteText(out.Join("replaced.txt"), "previous content that is longer");
    ASSERT_EQ(Fetch(1, "/VXA/coffer_data/in-link", out.Join("replaced.txt")), 0);
    EXPECT_EQ(ReadText(out.Join("replaced.txt")), "deep");

    // The local node copies without the transport.
    ASSERT_EQ(Fetch(0, "/VXA/coffer_data/local.txt", out.Join("local.txt")), 0);
    EXPECT_EQ(ReadText(out.Join("local.txt")), "local bytes");

    EXPECT_EQ(Entries(out.path()), (std::set<std::string>{"big.bin", "deep.txt", "empty.bin", "local.txt",
                                                             "replaced.txt", "small.txt"}))
        << "no temporary file may stay behind";
}

// The serving node 1, and the local node 0 under the same rules.
TEST_F(OmFileCopyTest, ServiceRefusesWhatIsNotARegularFileOfItsCofferTree) {
    const std::vector<std::tuple<uint16_t, std::string, int>> cases = {
        {1, "/VXA/coffer_data/missing.txt", OM_FILE_ERR_NOT_FOUND},
        {1, "/VXA/other.txt", OM_FILE_ERR_REFUSED},
        {1, "/VXA/coffer_data/../other.txt", OM_FILE_ERR_REFUSED},
        {1, "/VXA/coffer_data/sub/../small.txt", OM_FILE_ERR_REFUSED},
        {1, "/VXA/coffer_data/..", OM_FILE_ERR_REFUSED},
        {1, "VXA/coffer_data/small.txt", OM_FILE_ERR_REFUSED},
        {1, "/VXA/coffer_data/", OM_FILE_ERR_REFUSED},
        {1, "/etc/passwd", OM_FILE_ERR_REFUSED},
        {1, s_dir->Join("node1/VXA/coffer_data/small.txt"), OM_FILE_ERR_REFUSED},  // a real path
        {1, "/VXA/coffer_data/out-link", OM_FILE_ERR_REFUSED},
        {1, "/VXA/coffer_data/sub", OM_FILE_ERR_NOT_REGULAR},
        {0, "/VXA/outside.txt", OM_FILE_ERR_REFUSED},
        {0, "/VXA/coffer_data/../outside.txt", OM_FILE_ERR_REFUSED},
        {0, "/VXA/coffer_data/nothing", OM_FILE_ERR_NOT_FOUND},
    };
    WriteText(out.Join("kept.txt"), "kept");
    for (const auto& [node, source, code] : cases) {
        EXPECT_EQ(Fetch(node, source, out.Join("target.bin")), code) << node << ":" << source;
        EXPECT_EQ(Fetch(node, source, out.Join("kept.txt")), code) << node << ":" << source;
        EXPECT_EQ(ReadText(out.Join("kept.txt")), "kept") << source << " touched an existing destination";
    }
    // Still serving after all of that.
    EXPECT_EQ(Fetch(1, "/VXA/coffer_data/small.txt", out.Join("small.txt")), 0);
}

TEST_F(OmFileCopyTest, ServiceValidatesEveryRequestField) {
    std::string answer = Raw(Request(3, 4, "/VXA/coffer_data/small.txt"));
    ASSERT_EQ(answer.size(), 12u + 4u);
    EXPECT_EQ(StatusOf(answer), 0u);
    EXPECT_EQ(Le(reinterpret_cast<const uint8_t*>(answer.data()) + 4, 8), 11u);
    EXPECT_EQ(answer.substr(12), "lo w");

    EXPECT_EQ(Raw(Request(11, 4, "/VXA/coffer_data/small.txt")).size(), 12u) << "offset at the end: no bytes";
    EXPECT_EQ(StatusOf(Raw(Request(12, 4, "/VXA/coffer_data/small.txt"))), uint32_t(OM_FILE_ERR_CHANGED));

    const std::vector<std::pair<std::string, std::string>> malformed = {
        {"empty body", ""},
        {"short header", std::string("\0\0\0\0\0", 5)},
        {"no path", Request(0, 4, "")},
        {"length beyond the body", Request(0, 4, "/VXA/coffer_data/small.txt", 40)},
        {"length short of the body", Request(0, 4, "/VXA/coffer_data/small.txt", 10)},
        {"zero chunk", Request(0, 0, "/VXA/coffer_data/small.txt")},
        {"oversized chunk", Request(0, OM_FILE_MAX_CHUNK_BYTES + 1, "/VXA/coffer_data/small.txt")},
    };
    for (const auto& [what, body] : malformed) {
        answer = Raw(body);
        EXPECT_EQ(StatusOf(answer), uint32_t(OM_FILE_ERR_PROTOCOL)) << what;
        EXPECT_EQ(answer.size(), 12u) << what;
    }
    EXPECT_EQ(StatusOf(Raw(Request(0, 4, "/VXA/coffer_data/small.txt"), 0x1234)),
              uint32_t(OM_FILE_ERR_PROTOCOL));
    EXPECT_EQ(StatusOf(Raw(Request(0, 4, std::string("/VXA/coffer_data/small.txt\0.x", 29)))),
              uint32_t(OM_FILE_ERR_REFUSED));
}

TEST_F(OmFileCopyTest, FetchPutsTheDocumentedRequestOnTheWireAndRejectsBrokenAnswers) {
    ASSERT_EQ(Fetch(2, "/VXA/coffer_data/echo", out.Join("echo.txt"), 7), 0);
    EXPECT_EQ(ReadText(out.Join("echo.txt")), "opcode=" + std::to_string(OM_FILE_OPCODE_GET_CHUNK) +
                                                  " offset=0 max=" + std::to_string(OM_FILE_CHUNK_BYTES) +
                                                  " length=21 path=/VXA/coffer_data/echo timeout=7");
    const std::vector<std::pair<std::string, int>> cases = {
        {"grow", OM_FILE_ERR_CHANGED},  // after a first chunk was written
        {"short", OM_FILE_ERR_PROTOCOL},
        {"long", OM_FILE_ERR_PROTOCOL},
        {"huge", OM_FILE_ERR_PROTOCOL},
        {"status", OM_FILE_ERR_PROTOCOL},
        {"status-with-bytes", OM_FILE_ERR_PROTOCOL},
        {"tiny", OM_FILE_ERR_PROTOCOL},
        {"missing", OM_FILE_ERR_NOT_FOUND},
        {"silent", OM_FILE_ERR_TIMEOUT},
    };
    for (const auto& [name, code] : cases) {
        uint32_t timeout = name == "silent" ? 1 : kTimeout;
        EXPECT_EQ(Fetch(2, "/VXA/coffer_data/" + name, out.Join("target.bin"), timeout), code) << name;
    }
}

TEST_F(OmFileCopyTest, UnreachableNodesAndBadArguments) {
    const std::string small = "/VXA/coffer_data/small.txt", a = out.Join("a");
    EXPECT_EQ(Fetch(3, small, a), OM_FILE_ERR_UNREACHABLE) << "not running";
    EXPECT_EQ(Fetch(9, small, a), OM_FILE_ERR_UNREACHABLE) << "not configured";
    EXPECT_EQ(Fetch(MSG_LOCAL_NODE_BID, small, a), OM_FILE_ERR_UNREACHABLE);
    EXPECT_EQ(OM_GetFileFromOtherNode(1, nullptr, a.c_str(), kTimeout), OM_FILE_ERR_PARAM);
    EXPECT_EQ(OM_GetFileFromOtherNode(1, small.c_str(), nullptr, kTimeout), OM_FILE_ERR_PARAM);
    EXPECT_EQ(OM_GetFileFromOtherNode(1, small.c_str(), "", kTimeout), OM_FILE_ERR_PARAM);
    EXPECT_EQ(OM_GetFileFromOtherNode(1, "/VXA/coffer_data/", (out.path() + "/").c_str(), kTimeout),
              OM_FILE_ERR_PARAM)
        << "no name to give the file";
    EXPECT_EQ(Fetch(1, small, out.Join("no/such/dir/a")), OM_FILE_ERR_WRITE);
    EXPECT_TRUE(Entries(out.path()).empty());
}

TEST_F(OmFileCopyTest, TheFileServiceIsNeverTheDefaultSender) {
    // The daemon attaches (and so registers the file service) before its own
    // endpoint: posts must still default to the daemon's endpoint, or their
    // answers would reach the file service and be lost.
    ASSERT_EQ(MSG_RegisterPID(600, [](void*) { return 0; }), 0);
    tagMsgInfo info{};
    ASSERT_EQ(MSG_InitMsgInfo(&info), 0);
    EXPECT_EQ(info.usSenderPID, 600);
    MSG_UnRegisterPID(600);
}

}  // namespace

int main(int argc, char** argv) {
    return chs_test::RunTestsOrPeer(argc, argv, "CHS_FILE_COPY_PEER", RunPeer);
}
