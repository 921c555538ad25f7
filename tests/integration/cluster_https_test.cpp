// HTTPS delivery on a real three-node cluster: every node's agent uploads
// what the sample plugin collects to the local remote support service (nginx
// on loopback, private CA), directly and through a tinyproxy that asks for a
// password. A wrong proxy password, an error answer, a bad configuration and
// a revoked server certificate each fail the delivery with their reason while
// the files stay on their nodes, and no secret reaches any log or output.
#include <gtest/gtest.h>
#include <json/json.h>
#include <openssl/evp.h>

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <set>

#include "infra/json_util.h"
#include "peers/peer_codes.h"
#include "peers/remote_config.h"
#include "tests/support/json_lines.h"
#include "tests/support/loopback_servers.h"
#include "tests/support/process.h"
#include "tests/support/sim_cluster.h"
#include "tests/support/temp_dir.h"
#include "tools/cluster_layout.h"

namespace {

namespace fs = std::filesystem;
using namespace chs_test;

constexpr int kNodes = 3;
constexpr unsigned kPhaseMs = 60000;
const char* const kProxyUser = "chs-relay";
const char* const kProxyPassword = "Relay-Pw-5e0c7a19";
const char* const kWrongPassword = "Wrong-Pw-81d2b3f4";
const char* const kNodeDir = "/VXA/coffer_data/omm/export_import/chs/collector/node/";
// Files that hold a secret on purpose; every other file is searched.
const std::set<std::string> kSecretHolders = {"peers.json", "peers.json.tmp", "tinyproxy.conf",
                                              "cluster.key"};

using LineMatch = std::function<bool(const Json::Value&)>;

// The value of a basic Proxy-Authorization header, as a proxy log would show it.
std::string BasicCredentials(const std::string& password) {
    std::string text = std::string(kProxyUser) + ":" + password;
    std::string out(4 * ((text.size() + 2) / 3) + 1, '\0');
    out.resize(EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                               reinterpret_cast<const unsigned char*>(text.data()),
                               static_cast<int>(text.size())));
    return out;
}

class ClusterHttpsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (ProgramPath("nginx").empty() || ProgramPath("tinyproxy").empty()) {
            GTEST_SKIP() << "nginx or tinyproxy is not installed (./chs setup installs both)";
        }
        pki = std::make_unique<TestPki>(dir.Join("remote-https"));
        ASSERT_TRUE(pki->ok()) << pki->error();
        service = std::make_unique<RemoteService>(*pki, "right", Uploads());
        ASSERT_TRUE(service->ok()) << pki->error();
        // The agents resolve "localhost" only where the nodes have a DNS service.
        WriteText(sim.Dir() + "/state/dns", "1");
        Configure(Remote("/upload"));
        AddUploadSample();
        for (int node = 0; node < kNodes; ++node) {
            ASSERT_TRUE(sim.StartNode(node)) << sim.DaemonLog(node);
        }
    }

    // Node 0 also runs the HTTPS sample plugin, which uploads one file with
    // the daemon's own client when collection is switched on.
    void AddUploadSample() {
        std::string sample;
        for (uint64_t i = 0; i < 300000; ++i) {
            sample += std::to_string(i * 7919 % 100003) + (i % 16 == 0 ? "\n" : " ");
        }
        WriteText(SampleFile(), sample);
        std::string file = sim.Root(0) + "/VXA/conf/InfoCollector.txt";
        Json::Value config = JsonDeserialization(ReadText(file));
        Json::Value entry;
        entry["plugin_type"] = "input";
        entry["name"] = "https_upload_sample";
        entry["plugin_lib_path"] = BinaryPath("plugins/libhttps_upload_sample.so");
        entry["file_prefix"] = "sample";
        entry["parameters"][0]["url"].append(service->Url("/upload/sample/"));
        entry["parameters"][1]["ca_file"].append(pki->CaFile());
        entry["parameters"][2]["file"].append(SampleFile());
        config["plugin"].append(entry);
        WriteText(file, JsonSerialization(config));
    }
    std::string SampleFile() const { return dir.Join("sample.txt"); }

    Json::Value Remote(const std::string& path) {
        Json::Value remote;
        remote["url"] = service->Url(path);
        remote["ca_file"] = pki->CaFile();
        remote["crl_file"] = pki->CrlFile();
        remote["timeout_sec"] = 60;
        return remote;
    }
    Json::Value Proxied(Json::Value remote, const char* password) {
        remote["proxy"]["type"] = "http";
        remote["proxy"]["host"] = "127.0.0.1";
        remote["proxy"]["port"] = proxy->port();
        remote["proxy"]["user"] = kProxyUser;
        remote["proxy"]["password"] = password;
        return remote;
    }
    // Replaced whole: the agents read the file for every delivery.
    void Configure(const Json::Value& remote) {
        Json::Value peers;
        peers["sessions"]["12345"] = "admin";
        peers["remote"] = remote;
        WriteText(sim.Dir() + "/peers.json.tmp", JsonSerialization(peers));
        fs::rename(sim.Dir() + "/peers.json.tmp", sim.Dir() + "/peers.json");
    }

    std::string Uploads() const { return dir.Join("uploads"); }
    std::string Uploaded(int node) const {
        return Uploads() + "/" + chs_tools::SimulatedControllerName(node) + "/";
    }
    std::string NodeDir(int node) const { return sim.Root(node) + kNodeDir; }
    std::vector<Json::Value> Deliveries(int node) const {
        std::vector<Json::Value> found;
        for (const Json::Value& line : JsonLines(sim.Dir() + "/run/peers" + std::to_string(node) + ".log")) {
            if (line["event"].asString() == "send-file") {
                found.push_back(line);
            }
        }
        return found;
    }

    // Waits until every node delivered (or failed to deliver) once more in a
    // way `match` accepts; those lines of each node.
    std::vector<Json::Value> NextOnEveryNode(const LineMatch& match) {
        std::vector<size_t> marks;
        for (int node = 0; node < kNodes; ++node) {
            marks.push_back(Deliveries(node).size());
        }
        std::vector<Json::Value> matched;
        bool all = WaitFor(
            [&] {
                matched.clear();
                for (int node = 0; node < kNodes; ++node) {
                    std::vector<Json::Value> lines = Deliveries(node);
                    for (size_t i = marks[node]; i < lines.size(); ++i) {
                        if (match(lines[i])) {
                            matched.push_back(lines[i]);
                            break;
                        }
                    }
                }
                return matched.size() == kNodes;
            },
            kPhaseMs);
        EXPECT_TRUE(all) << "event lines of node 0: " << ReadText(sim.Dir() + "/run/peers0.log");
        return matched;
    }

    // Every uploaded file is its node's collected file, byte for byte.
    void ExpectUploadsEqualNodeFiles() {
        for (int node = 0; node < kNodes; ++node) {
            size_t files = 0;
            for (const auto& entry : fs::directory_iterator(Uploaded(node))) {
                std::string name = entry.path().filename().string();
                ASSERT_TRUE(fs::exists(NodeDir(node) + name)) << name;
                EXPECT_EQ(ReadText(entry.path().string()), ReadText(NodeDir(node) + name)) << name;
                ++files;
            }
            EXPECT_GE(files, 1u) << "node " << node;
        }
    }

    // A failed delivery names its file, which is still on its node and not uploaded.
    void ExpectKept(const std::vector<Json::Value>& failures, const std::string& reasonPart) {
        for (const Json::Value& line : failures) {
            EXPECT_NE(line["reason"].asString().find(reasonPart), std::string::npos) << line;
            std::string name = fs::path(line["path"].asString()).filename().string();
            int node = line["sourceNode"].asInt();
            EXPECT_TRUE(fs::exists(NodeDir(node) + name)) << line;
            EXPECT_FALSE(fs::exists(Uploaded(node) + name)) << line;
        }
    }

    TempDir dir;
    SimCluster sim{dir, kNodes, {"--log-level", "7", "--collect-interval", "2"}, "\"12345\": \"admin\""};
    std::unique_ptr<TestPki> pki;
    std::unique_ptr<RemoteService> service;
    std::unique_ptr<TinyProxy> proxy;
};

bool Delivered(const Json::Value& line) {
    return line["result"].asUInt() == 0 && line["via"].asString() == "https";
}

LineMatch Failed(uint32_t code) {
    return [code](const Json::Value& line) { return line["result"].asUInt() == code; };
}

TEST_F(ClusterHttpsTest, CollectedFilesArriveByteForByteAndFailedOnesStayOnTheirNodes) {
    RunResult on = sim.Chsctl(0, {"switch", "set", "on"});
    ASSERT_EQ(on.exitCode, 0) << on.out << on.err;
    NextOnEveryNode(Delivered);
    ExpectUploadsEqualNodeFiles();
    std::string sample = Uploads() + "/sample/sample.txt";
    ASSERT_TRUE(WaitFor([&] { return fs::exists(sample); }, kPhaseMs))
        << ReadText(dir.Join("daemon0.out.err"));
    EXPECT_EQ(ReadText(sample), ReadText(SampleFile())) << "the sample plugin's upload";

    // Through a proxy that wants a password: first the right one, then a wrong one.
    proxy = std::make_unique<TinyProxy>(service->port(), kProxyUser, kProxyPassword, dir.Join("proxy"));
    ASSERT_TRUE(proxy->ok()) << proxy->error();
    Configure(Proxied(Remote("/upload"), kProxyPassword));
    for (const Json::Value& line :
         NextOnEveryNode([](const Json::Value& l) { return Delivered(l) && l.isMember("proxy"); })) {
        EXPECT_EQ(line["proxy"].asString(), "127.0.0.1:" + std::to_string(proxy->port()));
    }
    EXPECT_NE(ReadText(proxy->LogFile()).find("CONNECT localhost:" + std::to_string(service->port())),
              std::string::npos);
    ExpectUploadsEqualNodeFiles();
    Configure(Proxied(Remote("/upload"), kWrongPassword));
    // tinyproxy refuses wrong credentials with 401.
    ExpectKept(NextOnEveryNode(Failed(chs_peers::PEER_ERR_UPLOAD)), "HTTP status 401");

    // The service answers an error; the configuration is refused.
    Configure(Proxied(Remote("/nowhere"), kProxyPassword));
    std::vector<Json::Value> refused = NextOnEveryNode(Failed(chs_peers::PEER_ERR_UPLOAD));
    ExpectKept(refused, "HTTP status 404");
    EXPECT_EQ(refused[0]["httpStatus"].asInt(), 404);
    Json::Value plain = Remote("/upload");
    plain["url"] = "http://localhost:" + std::to_string(service->port()) + "/upload";
    Configure(plain);
    ExpectKept(NextOnEveryNode(Failed(chs_peers::PEER_ERR_CONFIG)), "must start with https://");

    // A revoked server certificate: the CRL is read for every upload.
    Configure(Proxied(Remote("/upload"), kProxyPassword));
    NextOnEveryNode(Delivered);
    ASSERT_TRUE(pki->Script({"revoke", pki->Dir(), "right"})) << pki->error();
    std::vector<Json::Value> revoked = NextOnEveryNode(Failed(chs_peers::PEER_ERR_UPLOAD));
    ExpectKept(revoked, "0x4000CA2B");
    for (int node = 0; node < kNodes; ++node) {
        std::string log = ReadText(sim.Root(node) + "/var/log/chs/chs-peers.log");
        EXPECT_NE(
            log.find("[550] Send-file of \"" + revoked[node]["path"].asString() + "\" failed (0x300001a)"),
            std::string::npos)
            << "node " << node;
    }
    // The answer carries the result and the reason.
    Json::Value request;
    request["msgHdr"] =
        JsonDeserialization(R"({"usReceiverPID": 550, "uiMsgOPCode": "0x70001001", "uiMsgTimeout": 30})");
    request["msgBody"][0]["cmd"] = 0;
    std::string name = fs::path(revoked[0]["path"].asString()).filename().string();
    for (const auto& [tag, value] :
         std::map<int, std::string>{{0, NodeDir(0)}, {1, name}, {4, "remote-support"}, {6, "0"}}) {
        Json::Value& cell = request["msgBody"][0]["cells"].append(Json::Value());
        cell["tag"] = tag;
        cell["type"] = tag == 6 ? 3 : 2;  // 6: the address form, a number
        cell["length"] = tag == 6 ? 2 : static_cast<int>(value.size()) + 1;
        cell["value"] = value;
    }
    WriteText(dir.Join("send.json"), JsonSerialization(request));
    RunResult answer = RunProgram(
        {BinaryPath("tools/chsctl"), "send", "--cluster", sim.Dir(), "--node", "0", dir.Join("send.json")},
        {}, 60000);
    ASSERT_EQ(answer.exitCode, 0) << answer.err;
    Json::Value reply = JsonDeserialization(answer.out);
    std::map<int, std::string> cells;
    for (const Json::Value& cell : reply["msgBody"][0]["cells"]) {
        cells[cell["tag"].asInt()] = cell["value"].asString();
    }
    EXPECT_EQ(cells[4095], std::to_string(chs_peers::PEER_ERR_UPLOAD)) << answer.out;
    EXPECT_NE(cells[4094].find("error 0x4000CA2B: certificate or CRL problem"), std::string::npos)
        << answer.out;

    // No secret in any file but those that hold one on purpose.
    std::vector<std::string> secrets{kProxyPassword, kWrongPassword, BasicCredentials(kProxyPassword),
                                     BasicCredentials(kWrongPassword)};
    secrets.push_back(ReadText(sim.Root(0) + "/VXA/conf/kmca/cluster.key").substr(0, 64));  // every node's
    size_t searched = 0;
    for (const auto& entry : fs::recursive_directory_iterator(dir.path())) {
        if (!entry.is_regular_file() || entry.is_symlink() ||
            kSecretHolders.count(entry.path().filename().string()) != 0) {
            continue;
        }
        std::string text = ReadText(entry.path().string());
        ++searched;
        for (const std::string& secret : secrets) {
            EXPECT_EQ(text.find(secret), std::string::npos) << secret << " in " << entry.path();
        }
    }
    EXPECT_GT(searched, 10u);
}

TEST(RemoteConfigTest, ARemoteSectionIsValidatedAndItsReasonNeverHoldsThePassword) {
    TempDir dir;
    WriteText(dir.Join("ca.pem"), "-----BEGIN CERTIFICATE-----\n");
    std::string ca = dir.Join("ca.pem");
    const std::string proxy =
        std::string(R"("proxy": {"host": "127.0.0.1", "user": "u", "password": ")") + kProxyPassword + "\"";
    struct Case {
        std::string remote;  // the "remote" value
        std::string reason;  // part of the reason; "" when the section is accepted
    };
    const std::vector<Case> cases = {
        {R"({"url": "https://localhost:8443/upload/", "ca_file": "ca.pem"})", ""},
        {R"({"url": "HTTPS://[::1]/a/b", "ca_file": "ca.pem", )" + proxy + R"(, "port": 3128}})", ""},
        {R"({"ca_file": "nothing.pem"})", ""},
        {R"("https://localhost/")", "\"remote\" is not an object"},
        {R"({"url": "http://localhost/upload", "ca_file": "ca.pem"})", "must start with https://"},
        {R"({"url": "https://localhost:0/x", "ca_file": "ca.pem"})", "port outside 1-65535"},
        {R"({"url": "https://localhost:65536/x", "ca_file": "ca.pem"})", "port outside 1-65535"},
        {R"({"url": "https://localhost:/x", "ca_file": "ca.pem"})", "port outside 1-65535"},
        {R"({"url": "https://u:)" + std::string(kProxyPassword) + R"(@localhost/x", "ca_file": "ca.pem"})",
         "must not carry a user or password"},
        {R"({"url": "https://localhost/a/../b", "ca_file": "ca.pem"})", ". or .. segment"},
        {R"({"url": "https://localhost/x?y=1", "ca_file": "ca.pem"})", "other characters"},
        {R"({"url": "https://local_host/x", "ca_file": "ca.pem"})", "names no valid host"},
        {R"({"url": "https://localhost/x"})", "\"ca_file\" is not a file name"},
        {R"({"url": "https://localhost/x", "ca_file": "."})", "not a readable regular file"},
        {R"({"url": "https://localhost/x", "ca_file": "ca.pem", "crl_file": "crl.pem"})", "\"crl_file\""},
        {R"({"url": "https://localhost/x", "ca_file": "ca.pem", )" + proxy + R"(, "port": 70000}})",
         "\"port\" is not a port number"},
        {R"({"url": "https://localhost/x", "ca_file": "ca.pem", )" + proxy +
             R"(, "port": 1, "type": "ftp"}})",
         "\"type\" is none of"},
        {R"({"url": "https://localhost/x", "ca_file": "ca.pem", "proxy": {"host": "h", "port": 1, "password": ")" +
             std::string(kProxyPassword) + R"("}})",
         "password but no user"},
        {R"({"url": "https://localhost/x", "ca_file": "ca.pem", "timeout_sec": 0})", "\"timeout_sec\""},
    };
    for (const Case& c : cases) {
        WriteText(dir.Join("peers.json"), "{\"sessions\": {}, \"remote\": " + c.remote + "}");
        chs_peers::RemoteConfig config;
        std::string why;
        bool ok = chs_peers::LoadRemoteConfig(dir.Join("peers.json"), config, why);
        EXPECT_EQ(ok, c.reason.empty()) << c.remote << ": " << why;
        EXPECT_NE(why.find(c.reason), std::string::npos) << c.remote << ": " << why;
        EXPECT_EQ(why.find(kProxyPassword), std::string::npos) << why;
        EXPECT_EQ(config.Enabled(), ok && c.remote.find("url") != std::string::npos) << c.remote;
    }
    chs_peers::RemoteConfig config;
    std::string why;
    WriteText(dir.Join("peers.json"),
              R"({"remote": {"url": "https://[::1]:8443/a/b/", "ca_file": "ca.pem"}})");
    ASSERT_TRUE(chs_peers::LoadRemoteConfig(dir.Join("peers.json"), config, why)) << why;
    EXPECT_EQ(config.strHost, "::1");
    EXPECT_EQ(config.uiPort, 8443u);
    EXPECT_EQ(config.strPath, "/a/b");
    EXPECT_EQ(config.strCaFile, ca) << "relative to the directory of peers.json";
}

}  // namespace
