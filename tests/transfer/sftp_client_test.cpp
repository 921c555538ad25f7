// The SFTP client against a real OpenSSH server on loopback
// (tests/support/sshd_fixture.h), and the internal account's platform parts:
// its password from the transfer script or the encrypted file, its port from
// a real chs-peers answering 575.
#include "include/infocollector/sftp_client.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <random>
#include <thread>

#include "infra/exec_cmd.h"
#include "tests/support/log_capture.h"
#include "tests/support/node_root.h"
#include "tests/support/peers_cluster.h"
#include "tests/support/sshd_fixture.h"

namespace {

using namespace chs_test;

// 16 MiB handed out 16 KiB at a time after a pause of 20 ms each (some 20 s
// in all): a producer slower than the network.
class SlowSource : public ReadStreamInterface {
  public:
    unsigned Read(void* buffer, unsigned length) override {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        unsigned n = static_cast<unsigned>(std::min<uint64_t>({length, 16384, Size() - given}));
        memset(buffer, 'x', n);
        given += n;
        return n;
    }
    uint64_t Size() override { return 16u << 20; }
    uint64_t given = 0;
};

class TestSink : public WriteStreamInterface {
  public:
    unsigned Write(void* data, unsigned length) override {
        text.append(static_cast<const char*>(data), length);
        return length;
    }
    void Size(uint64_t) override {}
    void SaveOpt(const std::string&, const std::string&) override {}
    std::string text;
};

class SftpClientTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { s_server = std::make_unique<SshdServer>(); }
    static void TearDownTestSuite() { s_server.reset(); }
    void SetUp() override {
        if (s_server->Absent()) {
            GTEST_SKIP() << s_server->Problem();
        }
        ASSERT_TRUE(s_server->Running()) << s_server->Problem();
        UseNodeRoot(m_root.path());  // no platform known-hosts file unless a test writes one
        WriteText(KnownHosts(), s_server->KnownHostsLine());
        WriteText(Remote("small.txt"), "small file\n");
    }
    std::string KnownHosts() const { return m_root.Join("known_hosts"); }
    static std::string Remote(const std::string& name) { return s_server->Home() + "/" + name; }
    // A client of the test server that checks its host key against KnownHosts().
    SFTPClass Client(const std::string& password, const std::string& vrf = SFTPClass::VRF_DEFAULT) const {
        SFTPClass client("127.0.0.1", SshdServer::kUser, password, s_server->Port(), "sftp://", vrf);
        client.SetKnownHosts(KnownHosts());
        return client;
    }
    static bool FetchSmall(SFTPClass& client) {
        TestSink sink;
        return client.Download(Remote("small.txt"), &sink, 10) && sink.text == "small file\n";
    }

    static inline std::unique_ptr<SshdServer> s_server;
    TempDir m_root;
    LogCapture m_log;
};

TEST_F(SftpClientTest, UploadThenDownloadGivesTheSameBytesAndSize) {
    SFTPClass client = Client(s_server->Password());
    const std::string name = "up load#1?.bin";  // "#" and "?" would cut a URL
    std::string data(300000, '\0');
    std::generate(data.begin(), data.end(), std::mt19937(300000));
    WriteText(m_root.Join("local"), data);
    InputFileStreamClass source(m_root.Join("local"));
    ASSERT_TRUE(client.Upload(&source, Remote(name), 30));
    EXPECT_TRUE(ReadText(Remote(name)) == data) << "the uploaded file differs";
    EXPECT_TRUE(m_log.Contains("curl_easy_perform success ,rurl: " + name));

    // The same object queries and downloads after its upload (no stale upload
    // setting or stream), and downloads whole after the size query.
    EXPECT_EQ(client.getFileSize(Remote(name)), data.size());
    EXPECT_EQ(client.getFileSize(Remote("missing.bin")), UINT64_MAX);
    TestSink sink;
    ASSERT_TRUE(client.Download(Remote(name), &sink, 30));
    EXPECT_TRUE(sink.text == data) << "the download differs (" << sink.text.size() << " bytes)";
    EXPECT_TRUE(
        m_log.Contains("curl_easy_perform success ," + std::string(SshdServer::kUser) + ",rurl: " + name));

    WriteText(m_root.Join("local"), "replaced");
    InputFileStreamClass shorter(m_root.Join("local"));
    ASSERT_TRUE(client.Upload(&shorter, Remote(name), 30));
    EXPECT_EQ(ReadText(Remote(name)), "replaced");
}

TEST_F(SftpClientTest, LoginsByPasswordAndByKeyFirst) {
    struct Case {
        const char* name;
        bool rightPassword;
        bool key;
        bool publicKey;
        bool expected;
    } cases[] = {
        {"password", true, false, false, true},
        {"wrong password", false, false, false, false},
        {"key derived public part, wrong password", false, true, false, true},
        {"key pair, wrong password", false, true, true, true},
    };
    for (const Case& c : cases) {
        SFTPClass client = Client(c.rightPassword ? s_server->Password() : "not-" + s_server->Password());
        if (c.key) {
            client.SetKeyFiles(c.publicKey ? s_server->ClientPubKey() : "", s_server->ClientKey(), "");
        }
        EXPECT_EQ(FetchSmall(client), c.expected) << c.name;
    }
    EXPECT_TRUE(m_log.Contains("curl_easy_perform failed: "));
}

TEST_F(SftpClientTest, HostKeyIsCheckedOrTheTransferRefused) {
    struct Case {
        const char* name;
        std::string knownHosts;  // written to KnownHosts() when set; "-": not configured
        std::string pin;
        std::string platformFile;  // the node root's /VXA/conf/ssh_known_hosts, when not empty
        bool expected;
        const char* logged;
    } cases[] = {
        {"known host", s_server->KnownHostsLine(), "", "", true, ""},
        {"other key", s_server->KnownHostsLine(true), "", "", false, "does not match"},
        {"host not listed", "# empty\n", "", "", false, "is unknown"},
        {"right pin", "-", s_server->HostKeySha256(), "", true, ""},
        {"right pin as ssh-keygen prints it", "-", "SHA256:" + s_server->HostKeySha256(), "", true, ""},
        {"wrong pin", "-", std::string(43, 'A'), "", false, "mismatch sha256"},
        {"platform file", "-", "", s_server->KnownHostsLine(), true, ""},
        {"platform file, other key", "-", "", s_server->KnownHostsLine(true), false, "does not match"},
        {"nothing to check with", "-", "", "", false, "No host key can be checked"},
    };
    for (const Case& c : cases) {
        m_log.Clear();
        SFTPClass client("127.0.0.1", SshdServer::kUser, s_server->Password(), s_server->Port(), "sftp://",
                         SFTPClass::VRF_DEFAULT);
        if (c.knownHosts != "-") {
            WriteText(KnownHosts(), c.knownHosts);
            client.SetKnownHosts(KnownHosts());
        }
        client.SetHostKeySha256(c.pin);
        std::string platformFile = m_root.Join("VXA/conf/ssh_known_hosts");
        std::remove(platformFile.c_str());
        if (!c.platformFile.empty()) {
            MakeDirs(m_root.Join("VXA/conf"));
            WriteText(platformFile, c.platformFile);
        }
        EXPECT_EQ(FetchSmall(client), c.expected) << c.name;
        if (*c.logged != '\0') {
            EXPECT_TRUE(m_log.Contains(c.logged)) << c.name << ": no log line with " << c.logged;
        }
    }
}

TEST_F(SftpClientTest, StopAbortsOnlyAMonitoredTransfer) {
    SFTPClass unmonitored = Client(s_server->Password());
    unmonitored.Stop();
    EXPECT_TRUE(FetchSmall(unmonitored));
    SFTPClass monitored = Client(s_server->Password());
    monitored.EnableMoniter();
    SFTPClass moved(std::move(monitored));  // the progress callback must follow the handle
    moved.Stop();
    EXPECT_FALSE(FetchSmall(moved));
    EXPECT_TRUE(m_log.Contains("Callback aborted"));
}

TEST_F(SftpClientTest, DeadlineEndsAnUploadWhileBytesFlow) {
    SFTPClass client = Client(s_server->Password());
    SlowSource slow;
    client.SetTimeout(1);
    client.EnableMoniter();
    EXPECT_FALSE(client.Upload(&slow, Remote("slow.bin"), 120));
    EXPECT_GT(slow.given, 0u);
    EXPECT_LT(slow.given, slow.Size());
    EXPECT_TRUE(m_log.Contains("Callback aborted"));
}

TEST_F(SftpClientTest, VrfOtherThanDefaultBindsToThatDevice) {
    SFTPClass loopback = Client(s_server->Password(), "lo");
    EXPECT_TRUE(FetchSmall(loopback));
    if (if_nametoindex(SFTPClass::VRF_INNER.c_str()) == 0) {  // a machine without that VRF
        SFTPClass inner = Client(s_server->Password(), SFTPClass::VRF_INNER);
        EXPECT_FALSE(FetchSmall(inner));
    }
}

// Records the commands the runner starts (in the thread that runs them) while
// a watcher reads the command line of every process of the machine (the
// shell's children too) and counts those holding one of the secrets.
class SecretWatch {
  public:
    explicit SecretWatch(std::vector<std::string> secrets) : m_secrets(std::move(secrets)) {
        chs_setExecRecorder([this](pid_t, const std::string& command) { commands.push_back(command); });
        m_watcher = std::thread([this] {
            while (!m_stop) {
                DIR* proc = opendir("/proc");
                while (dirent* entry = proc != nullptr ? readdir(proc) : nullptr) {
                    std::string line = ReadCmdline(std::string("/proc/") + entry->d_name + "/cmdline");
                    for (const std::string& secret : m_secrets) {
                        m_leaks += line.find(secret) != std::string::npos ? 1 : 0;
                    }
                }
                if (proc != nullptr) {
                    closedir(proc);
                }
            }
        });
    }
    ~SecretWatch() {
        m_stop = true;
        m_watcher.join();
        chs_setExecRecorder(nullptr);
    }
    int Leaks() const { return m_leaks; }
    std::vector<std::string> commands;

  private:
    // With read(2): a process may end while it is read, which a stream reports by throwing.
    static std::string ReadCmdline(const std::string& path) {
        std::string text;
        char buffer[4096];
        int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        for (ssize_t got = 0; fd >= 0 && (got = read(fd, buffer, sizeof(buffer))) > 0;) {
            text.append(buffer, static_cast<size_t>(got));
        }
        if (fd >= 0) {
            close(fd);
        }
        return text;
    }

    std::vector<std::string> m_secrets;
    std::atomic<int> m_leaks{0};
    std::atomic<bool> m_stop{false};
    std::thread m_watcher;
};

TEST(IbcAccountTest, PasswordFromTheScriptOrTheFileNeverOnACommandLine) {
    TempDir root;
    UseNodeRoot(root.path());
    InstallScript(root.path(), "os_transfer_file_lib.sh");
    MakeDirs(root.Join("VXA/conf/kmca"));
    const std::string key = "5f0c" + std::string(60, 'a');
    const std::string password = "S3cret pass#1'x";
    WriteText(root.Join("VXA/conf/kmca/cluster.key"), key + "\n");
    std::string script = root.Join("VXA/script/os_transfer_file_lib.sh");
    int32_t status = -1;
    chs_execCmdWithInput(script + " set_ibc_password", password + "\n", 0, 10000, &status);
    ASSERT_EQ(status, 0);

    SecretWatch watch({password, key});
    EXPECT_EQ(IBCSftpClass::GetIbcPwd(), password);
    ASSERT_EQ(watch.commands.size(), 1u);  // the script gave it
    ASSERT_EQ(chmod(script.c_str(), 0644), 0);
    EXPECT_EQ(IBCSftpClass::GetIbcPwd(), password);
    ASSERT_EQ(watch.commands.size(), 2u);
    EXPECT_NE(watch.commands[1].find("openssl enc -d -aes-256-cbc"), std::string::npos);

    WriteText(root.Join("VXA/conf/kmca/cluster.key"), "0123" + key.substr(4) + "\n");
    EXPECT_EQ(IBCSftpClass::GetIbcPwd(), "");
    ASSERT_EQ(chmod(script.c_str(), 0755), 0);
    EXPECT_EQ(IBCSftpClass::GetIbcPwd(), "");
    EXPECT_EQ(watch.Leaks(), 0);
}

// The whole account on a simulated node: port from a real 575, password from
// the node's script, key below the node root, the inner VRF only where the
// profile has it.
TEST(IbcAccountTest, PortFrom575AndTheNodeLayout) {
    struct Probe : IBCSftpClass {
        using IBCSftpClass::IBCSftpClass;
        uint32_t Port() const { return port; }
        std::string Vrf() const { return vrf; }
        std::string Password() const { return password; }
        std::string Key() const { return privateKeyPath; }
    };
    TempDir dir;
    PeersCluster peers(dir, 1);
    ASSERT_TRUE(peers.Ready()) << peers.Error();
    std::string why;
    ASSERT_TRUE(peers.AttachClient(0, true, dir.Join("test.log"), why)) << why;
    int32_t status = -1;
    chs_execCmdWithInput(peers.Root(0) + "/VXA/script/os_transfer_file_lib.sh set_ibc_password", "pw-575\n",
                         0, 10000, &status);
    ASSERT_EQ(status, 0);
    WriteText(peers.Dir() + "/peers.json", R"({"ssh_port": 2222})");

    Probe account("127.0.0.1");
    EXPECT_EQ(account.Port(), 2222u);
    EXPECT_EQ(account.Password(), "pw-575");
    EXPECT_EQ(account.Key(), peers.Root(0) + "/home/ibc_os_hs/.ssh/id_rsa");
    EXPECT_EQ(account.Vrf(), SFTPClass::VRF_DEFAULT);

    platform::Profile profile = platform::GetProfile();
    profile.strVrfWrapper = "ip vrf exec vrf-inner ";
    platform::SetProfile(profile);
    WriteText(peers.StateFile("peer575_mode"), "silent");
    Probe controller("127.0.0.1");
    EXPECT_EQ(controller.Vrf(), SFTPClass::VRF_INNER);
    EXPECT_EQ(controller.Port(), 22u);
    EXPECT_NE(ReadText(dir.Join("test.log")).find("Failed to get system port, now use default port 22."),
              std::string::npos);
}

}  // namespace
