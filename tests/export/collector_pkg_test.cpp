// Packaging of the node-level collected files on a one-node simulated cluster
// whose root lies below a directory named with a blank and a quote, served on
// 551 over the real transport and packed by the real tar.
#include "export/collector_pkg.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "collector/collect_file_handoff.h"
#include "export/diagnose_export.h"
#include "infra/chs_log.h"
#include "infra/exec_cmd.h"
#include "msg/chs_wire.h"
#include "msg/msg_process.h"
#include "platform/platform_profile.h"
#include "platform/platform_state.h"
#include "tests/support/export_test_util.h"
#include "tests/support/log_capture.h"

namespace {

using chs_test::Entries;
using chs_test::LogCapture;
using chs_test::MakeDirs;
using chs_test::Members;
using chs_test::WriteText;
namespace fs = std::filesystem;

const std::string kArchive = "/VXA/coffer_data/omm/export_import/chs/export/collector_chs_file_CTE0.A.tgz";

// Every command is recorded with its time-out and run for real, unless
// g_failTar makes tar leave half an archive and fail.
chs_test::CommandLog g_commands;
bool g_failTar = false;

int32_t RecordingExec(const std::string& cmd, uint32_t timeoutMs) {
    g_commands.Add(cmd, timeoutMs);
    if (g_failTar && cmd.find("tar ") != std::string::npos) {
        WriteText(platform::RealPath(kArchive), "half");
        return 2;
    }
    return chs_execCmdWithoutOutput(cmd, timeoutMs);
}

class CollectorPkgTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        s_dir = new chs_test::TempDir();
        s_root = chs_test::AttachHandMadeCluster(
            s_dir->Join("it's a cluster"),
            R"({"serial": "SN-PKG", "nodes": [{"id": 0, "name": "CTE0.A", "internalIps": ["127.0.0.1"]}]})");
        ASSERT_FALSE(HasFailure());
        SetModuleID(CHS_COLLECTOR_PID);
        ASSERT_EQ(MsgProcessClass::Instance()->Init(CHS_COLLECTOR_PID), 0u);
        MsgProcessClass::Instance()->AddHandlerHelper(new MsgHandleWrapper(HandlePkgCollectorFile, MSG_PRI_1),
                                                      chs_wire::OPCODE_PKG_COLLECTOR_FILE, 0);
        g_pfnExportExec = RecordingExec;
    }
    static void TearDownTestSuite() {
        delete s_dir;
        s_dir = nullptr;
    }
    void SetUp() override {
        chs_test::ResetStates();
        fs::remove_all(NodeDir());
        fs::remove_all(ExportDir());
        MakeDirs(NodeDir() + "temp");
        // What a diagnose export keeps below the export directory, and an
        // archive of an earlier request.
        chs_test::PutFile(ExportDir() + "diagnoseinfo/DiagnoseInfo_CTE0.A_LOCAL.tgz", "diagnose package");
        WriteText(ExportDir() + "collector_chs_file_CTE0.A.tgz", "earlier archive");
        g_failTar = false;
        g_commands.Clear();
    }

    static std::string NodeDir() { return s_root + "/VXA/coffer_data/omm/export_import/chs/collector/node/"; }
    static std::string ExportDir() { return s_root + "/VXA/coffer_data/omm/export_import/chs/export/"; }
    static void Put(const std::vector<std::string>& names) {
        for (const std::string& name : names) {
            WriteText(NodeDir() + name, "content of " + name);
        }
    }
    // The answer's result and path.
    static std::pair<int64_t, std::string> Package() {
        InnerMsg request = chs_test::LocalRequest(chs_wire::OPCODE_PKG_COLLECTOR_FILE);
        InnerMsg answer;
        if (!request.SendSyncMsg(answer) || answer.GetBody().empty()) {
            ADD_FAILURE() << "no answer";
            return {-2, ""};
        }
        const MsgRecord& record = answer.GetBody()[0];
        EXPECT_EQ(record.GetCode(), chs_wire::OPCODE_PKG_COLLECTOR_FILE);
        return {record[chs_wire::TAG_RESULT].GetInt64(), record[chs_wire::PKG_TAG_PATH].toString()};
    }

    static inline chs_test::TempDir* s_dir = nullptr;
    static inline std::string s_root;
};

// The second request also has 50 MB more input: tar gets longer to run.
TEST_F(CollectorPkgTest, PacksExactlyTheNodeFilesAndASecondRequestReplacesTheArchive) {
    // Were the name ever read by a shell, "pwned" would appear where tar runs.
    std::string pwned = NodeDir() + "pwned";
    std::string odd = "node$(touch pwned) `touch pwned` 'x'.tgz";
    Put({"node1.tgz", odd, "other.tgz", "node3.txt", "temp/node4.tgz"});
    EXPECT_EQ(InquireNodeChsFileCount(), 2u) << "only the files directly in the node directory";
    auto [result, path] = Package();
    ASSERT_EQ(result, 0);
    EXPECT_EQ(path, kArchive);
    EXPECT_EQ(Members(s_root + kArchive), (std::set<std::string>{"node1.tgz", odd}));
    EXPECT_EQ(Entries(ExportDir()), (std::set<std::string>{"collector_chs_file_CTE0.A.tgz", "diagnoseinfo"}));
    EXPECT_TRUE(fs::exists(ExportDir() + "diagnoseinfo/DiagnoseInfo_CTE0.A_LOCAL.tgz"))
        << "the diagnose export's packages are not the packaging's to remove";
    EXPECT_FALSE(fs::exists(pwned));

    fs::remove(NodeDir() + "node1.tgz");
    chs_test::SizedFile(NodeDir() + "node9.tgz", 50 << 20);
    std::tie(result, path) = Package();
    ASSERT_EQ(result, 0);
    EXPECT_EQ(Members(s_root + kArchive), (std::set<std::string>{"node9.tgz", odd}));
    EXPECT_EQ(Entries(ExportDir()).size(), 2u);
    EXPECT_FALSE(fs::exists(pwned));
    std::vector<std::pair<std::string, uint32_t>> tar = g_commands.With("tar ");
    ASSERT_EQ(tar.size(), 2u);
    EXPECT_GE(tar[0].second, CHS_PKG_TAR_BASE_MS);
    EXPECT_GE(tar[1].second, tar[0].second + 50 * CHS_PKG_TAR_MS_PER_MB - CHS_PKG_TAR_MS_PER_MB);
}

TEST_F(CollectorPkgTest, RefusalsLeaveNoArchive) {
    struct Case {
        const char* name;
        void (*arrange)();
        int64_t result;
        std::vector<std::string> logged;
    };
    const Case cases[] = {
        {"15 MB free",
         [] {
             Put({"node1.tgz"});
             platform::state::Set("free_disk_mb", "15");
         },
         -1,
         {"Disk free space is not enough,need(20),free(15).",
          "Failed to packaging node collected file because disk space is not enough."}},
        {"no node file", [] { Put({"other.tgz", "temp/node4.tgz"}); }, 0x4000C965,
         {"There is no file to package, ret(1073793381)."}},
        {"tar fails",
         [] {
             Put({"node1.tgz"});
             g_failTar = true;
         },
         -1,
         {"Failed to packaging node collected file,ret(2)."}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        c.arrange();
        LogCapture log;
        auto [result, path] = Package();
        EXPECT_EQ(result, c.result);
        EXPECT_EQ(path, "");
        EXPECT_EQ(Entries(ExportDir()), std::set<std::string>{"diagnoseinfo"});
        EXPECT_EQ(g_commands.Count("tar "), c.result == -1 && g_failTar ? 1u : 0u);
        for (const std::string& line : c.logged) {
            EXPECT_TRUE(log.Contains(line)) << line;
        }
    }
}

}  // namespace
