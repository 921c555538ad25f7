// The download, status and clear side of the diagnose export in a simulated
// eight-node cluster with the real CCDB. This process is node 6, the run
// node, serving the real handler table on 551 with chs-peers beside it; nodes
// 0..5 are peers (this binary started with CHS_DIAGNOSE_PEER) that serve
// their files and answer the status query and the delete request with the
// real handlers; node 7 is configured but never started.
#include "export/diagnose_download.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <filesystem>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "collector/collect_file_handoff.h"
#include "collector/collector_msg_handler.h"
#include "control/collector_ccdb.h"
#include "control/remote_task.h"
#include "export/diagnose_export.h"
#include "export/diagnose_globals.h"
#include "export/diagnose_peer_files.h"
#include "export/export_frame.h"
#include "export/msg_single_run.h"
#include "infra/exec_cmd.h"
#include "platform/om_cluster.h"
#include "platform/om_file_copy.h"
#include "platform/platform_profile.h"
#include "platform/platform_state.h"
#include "tests/support/export_test_util.h"
#include "tests/support/log_capture.h"

namespace {

using chs_test::Entries;
using chs_test::Exists;
using chs_test::LogCapture;
using chs_test::MakeDirs;
using chs_test::Members;
using chs_test::PutFile;
using chs_test::ReadText;
using chs_test::SizedFile;
using chs_test::WaitFor;

// The members of a merged bundle but its manifest, which every bundle holds.
std::set<std::string> BundleParts(const std::string& archive) {
    std::set<std::string> members = Members(archive);
    EXPECT_EQ(members.erase("manifest.json"), 1u) << archive;
    return members;
}
using chs_test::WriteText;

constexpr uint16_t kRunNode = 6;
constexpr uint16_t kDownNode = 7;
constexpr uint32_t kMB = 1u << 20;
const std::string kInside = "/VXA/coffer_data/omm/export_import/";

// A peer node: "<cluster.json> <node> <root> <export type> <gather result>".
int RunPeer(const char* args) {
    char clusterFile[512] = {0}, node[8] = {0}, root[512] = {0};
    if (sscanf(args, "%511s %7s %511s %u %d", clusterFile, node, root, &g_astExportFileCfg.ExportType,
               &g_astExportFileCfg.iGatherResult) != 5) {
        return 2;
    }
    g_astExportFileCfg.ExportFrom = EXPORT_FROM_DIAGNOSE;  // an export this peer ran itself
    return chs_test::ServeAsPeer(clusterFile, node, root,
                                 {{0x70003021, processQueryDiagDataStatus}, {0x70003016, processDelFileFromPeer}});
}

// Every command is recorded and run for real, except that with g_fakeTar the
// pack step only leaves a small archive where tar would.
chs_test::CommandLog g_commands;
bool g_fakeTar = false;
bool g_failChown = false;

int32_t RecordingExec(const std::string& cmd, uint32_t timeoutMs) {
    g_commands.Add(cmd, timeoutMs);
    if (g_failChown && cmd.find("chown ") != std::string::npos) {
        return 1;
    }
    if (g_fakeTar && cmd.find("tar -zcvf") != std::string::npos) {
        WriteText(platform::RealPath(strDiagnoseInfoPath + "temp/" + strDiagnoseInfoName), "packed");
        return 0;
    }
    return chs_execCmdWithoutOutput(cmd, timeoutMs);
}

class DiagnoseDownloadTest : public ::testing::Test {
  public:
    // After the last test: the peers stop and the cluster directory goes.
    static void RemoveCluster() {
        s_agent.reset();
        s_peers.clear();
        delete s_dir;
        s_dir = nullptr;
    }

  protected:
    static void SetUpTestSuite() {
        if (s_dir != nullptr) {
            return;  // a process attaches to one cluster only (--gtest_repeat)
        }
        s_dir = new chs_test::TempDir();
        s_cluster = chs_test::MakeCluster(*s_dir, 8);
        std::string clusterFile = s_cluster + "/cluster.json";
        // Node 1 gathered a download with missing parts, node 2 an upload.
        const char* peerExports[] = {"5 0", "5 2", "4 0", "5 0", "5 0", "5 0"};
        for (uint16_t node = 0; node < 6; ++node) {
            std::string id = std::to_string(node);
            s_peers.push_back(chs_test::StartSelf(
                "CHS_DIAGNOSE_PEER=" + clusterFile + " " + id + " " + Root(node) + " " + peerExports[node],
                s_dir->Join("peer" + id + ".out")));
        }
        ASSERT_FALSE(HasFailure());
        ASSERT_EQ(OMClusterInit(35, 0, 35, "6", Root(kRunNode).c_str(), clusterFile.c_str()), 0);
        SetModuleID(CHS_COLLECTOR_PID);
        CCDB_COMM::g_uiCcdbUpgradePollMs = 0;
        ASSERT_EQ(COLLECTOR_CCDB::Init(), 0u);
        ASSERT_EQ(InitInfoCollectMsgHandler(), 0);
        s_agent = chs_test::StartPeersAgent(s_cluster, kRunNode, s_dir->Join("chs-peers.out"));
        g_uiHandoffPollMs = 20;
    }

    void SetUp() override {
        chs_test::ResetStates();
        g_pfnExportExec = RecordingExec;
        g_fakeTar = false;
        g_failChown = false;
        ClearDiagnseData();
        g_commands.Clear();
        ASSERT_EQ(DeleteRemoteTask(REMOTE_TASK_DIAGNOSE_EXPORT), 0u);
        ASSERT_EQ(DeleteRemoteTask(REMOTE_TASK_DIAGNOSE_UPLOAD), 0u);
    }
    void TearDown() override {
        platform::state::ClearAll();
        g_pfnExportExec = chs_execCmdWithoutOutput;
        for (const auto& peer : s_peers) {
            EXPECT_TRUE(peer->Running()) << "a peer died";
        }
    }

    static std::string Root(uint16_t node) { return s_cluster + "/node" + std::to_string(node); }
    static std::string Real(uint16_t node, const std::string& systemPath) { return Root(node) + systemPath; }
    static std::string DiagDir(uint16_t node) { return Real(node, strDiagnoseInfoPath); }
    static std::string ExportDir(uint16_t node) { return Real(node, strDiagnoseExportPath); }

    // The export record as gathering leaves it on the run node, with the
    // kind-2 row of this node.
    static void StartExport(uint32_t type, int32_t gather) {
        ASSERT_EQ(DeleteRemoteTask(REMOTE_TASK_DIAGNOSE_EXPORT), 0u);
        ClearExportStrategy();
        getExportFileStrategy(type);
        g_astExportFileCfg.iGatherResult = gather;
        g_uiMasterNid = EXPORT_MASTER_NID_UNKNOWN;
        g_updateCCDBType = UPDATE_CCDB_NO_TASK;
        ASSERT_EQ(InsertRemoteTask(REMOTE_TASK_DIAGNOSE_EXPORT, type, "task-1", 0, 0), 0u);
    }
    // Node `node` delivered a package of `size` bytes (sparse), named `name`
    // or by default.
    static void Ready(uint16_t node, uint64_t size, const std::string& name = "") {
        tagCOLLECOR_EXPORT_NODE_INFO_S& record = g_astExportFileCfg.astNode[node];
        record.ucSelected = 1;
        record.uiCollectStatus = EXPORT_STATUS_READY;
        record.strPkgName = name.empty() ? record.strPkgName : name;
        record.strPkgPath = strDiagnoseInfoPath;
        record.uiPkgSize = static_cast<uint32_t>(size);
        SizedFile(DiagDir(node) + record.strPkgName, size);
    }
    static void PutRowOfNode(uint64_t runNode) {
        CCDB_COMM::tagDB_CHS_REMOTE_TASK_S row{};
        row.taskId = REMOTE_TASK_DIAGNOSE_EXPORT;
        row.i_taskrunnode = runNode;
        ASSERT_EQ(CCDB_COMM::ResetRemoteTaskToDB(g_collectorCcdbId, row), 0u);
    }
    // A marker in every peer's diagnose directory, and the wait until each
    // peer cleared it: asynchronous clears must not outlive their test.
    static void PutPeerMarkers() {
        for (uint16_t node = 0; node < 6; ++node) {
            PutFile(DiagDir(node) + "marker", "x");
        }
    }
    static bool PeersCleared() {
        return WaitFor(
            [] {
                for (uint16_t node = 0; node < 6; ++node) {
                    if (Exists(DiagDir(node) + "marker")) {
                        return false;
                    }
                }
                return true;
            },
            20000);
    }

    static InnerMsg Ask(uint32_t opcode, std::optional<int32_t> type) {
        // The single-run workers answer before they release their guard: a
        // request sent right after an answer would be refused as busy.
        EXPECT_TRUE(WaitFor(
            [] {
                return SingleRunState<handleDownLoadFileHandle, SINGLE_RUN_BUSY>::guard == 0 &&
                       SingleRunState<handleGetExportStatus, SINGLE_RUN_BUSY>::guard == 0 &&
                       SingleRunState<handleClearExportData, SINGLE_RUN_BUSY>::guard == 0;
            },
            20000));
        InnerMsg request = chs_test::LocalRequest(opcode, nullptr, 120);
        if (type) {
            request.GetBody()[0].appendInner(CTLVCell::NewInt32(DIAGNOSE_TAG_TYPE, *type));
        }
        InnerMsg answer;
        EXPECT_TRUE(request.SendSyncMsg(answer));
        return answer;
    }
    static uint32_t Code(uint32_t opcode, std::optional<int32_t> type) {
        return Ask(opcode, type).TryGetErrorCode();
    }
    // The status cell of a status answer; nullopt for an answer without one.
    static std::optional<int64_t> Status(std::optional<int32_t> type) {
        InnerMsg answer = Ask(EXPORT_OPCODE_GET_STATUS, type);
        const CTLVCell* cell =
            answer.GetBody().empty() ? nullptr : answer.GetBody()[0].find(DIAGNOSE_TAG_STATUS);
        return cell == nullptr ? std::nullopt : std::optional<int64_t>(cell->GetInt64());
    }

    static inline chs_test::TempDir* s_dir = nullptr;
    static inline std::string s_cluster;
    static inline std::vector<std::unique_ptr<chs_test::Process>> s_peers;
    static inline std::unique_ptr<chs_test::Process> s_agent;
};

TEST_F(DiagnoseDownloadTest, DownloadGuard) {
    StartExport(5, 0);
    g_updateCCDBType = UPDATE_CCDB_UNCHECKED;
    EXPECT_EQ(Code(EXPORT_OPCODE_DOWNLOAD, 5), 0x40E05B0Fu) << "CCDB state not known yet";
    g_updateCCDBType = UPDATE_CCDB_NO_TASK;
    PutRowOfNode(1);
    EXPECT_EQ(Code(EXPORT_OPCODE_DOWNLOAD, 5), 0x40E05B0Fu) << "only the run node serves downloads";
    ASSERT_EQ(DeleteRemoteTask(REMOTE_TASK_DIAGNOSE_EXPORT), 0u);
    EXPECT_EQ(Code(EXPORT_OPCODE_DOWNLOAD, 5), 0x40E05B0Eu);

    StartExport(4, 0);
    EXPECT_EQ(Code(EXPORT_OPCODE_DOWNLOAD, 41), 0x40E05B10u);
    EXPECT_EQ(Code(EXPORT_OPCODE_DOWNLOAD, 6), 0x03000003u);
    StartExport(5, EXPORT_GATHER_RUNNING);
    EXPECT_EQ(Code(EXPORT_OPCODE_DOWNLOAD, 5), 0x40E05B0Cu) << "still gathering";
    g_astExportFileCfg.iGatherResult = 0;
    platform::state::Set("free_disk_mb", "239");
    EXPECT_EQ(Code(EXPORT_OPCODE_DOWNLOAD, 5), 0x4000C963u);

    LogCapture log;
    InnerMsg request = chs_test::LocalRequest(EXPORT_OPCODE_DOWNLOAD);
    request.GetBody()[0].appendInner(CTLVCell::NewString(DIAGNOSE_TAG_TYPE, "5"));
    handleDownLoadFileHandle(request);
    EXPECT_TRUE(log.Contains("An exception occurred during getting the info from the reqMsg."));
    EXPECT_EQ(g_commands.Count("tar "), 0u) << "a refused download merges nothing";
}

TEST_F(DiagnoseDownloadTest, MergeTakesMasterFirstThenNodesInOrderWithinTheBudget) {
    g_fakeTar = true;  // what lands in the temporary directory is the point here
    struct Case {
        uint32_t master;
        uint16_t oversized;  // its package has 31 MB; 16 = none
        std::set<uint16_t> taken;
    };
    for (const Case& c :
         {Case{5, 16, {5, 0, 1, 2, 3}}, Case{1, 16, {1, 0, 2, 3, 4}}, Case{1, 2, {1, 0, 3, 4, 5}}}) {
        SCOPED_TRACE("master " + std::to_string(c.master) + ", oversized " + std::to_string(c.oversized));
        ClearDiagnseData();
        StartExport(5, 0);
        for (uint16_t node = 0; node < 6; ++node) {
            Ready(node, node == c.oversized ? 31 * kMB : 25 * kMB);
        }
        g_uiMasterNid = c.master;
        InnerMsg answer = Ask(EXPORT_OPCODE_DOWNLOAD, 5);
        ASSERT_EQ(answer.TryGetErrorCode(), 0u);
        ASSERT_NE(answer.GetBody()[0].find(DIAGNOSE_TAG_FINAL_PATH), nullptr);
        EXPECT_EQ(answer.GetBody()[0][DIAGNOSE_TAG_FINAL_PATH].toString(), kInside + "DiagnoseInfo.tgz");
        EXPECT_EQ(ReadText(ExportDir(kRunNode) + "DiagnoseInfo.tgz"), "packed");
        std::set<std::string> expected;
        for (uint16_t node : c.taken) {
            expected.insert(g_astExportFileCfg.astNode[node].strPkgName);
        }
        expected.insert("manifest.json");
        EXPECT_EQ(Entries(DiagDir(kRunNode) + "temp"), expected);
    }
}

TEST_F(DiagnoseDownloadTest, MergePacksEveryKindOfPartAndHandsTheFileOut) {
    StartExport(5, 0);
    Ready(0, 10);
    Ready(1, 10, "DiagnoseInfo_CTE0.B_MAIN.tgz");
    g_uiMasterNid = 1;
    Ready(2, 10);
    g_astExportFileCfg.astNode[2].strPkgName =
        "../../../../../../escape.tgz";  // the standard name is taken instead
    tagCOLLECOR_EXPORT_NODE_INFO_S& fallback = g_astExportFileCfg.astNode[3];  // answered the ping only
    fallback.ucSelected = 1;
    fallback.uiCollectStatus = EXPORT_STATUS_ABNORMAL;
    fallback.strPkgPath = strDiagnoseExportPath;
    fallback.uiPkgSize = EXPORT_FALLBACK_PKG_SIZE;
    PutFile(ExportDir(3) + "DiagnoseInfo_minisystem.tgz", "minisystem of node 3");
    Ready(4, 10);
    g_astExportFileCfg.astNode[4].uiCollectStatus = EXPORT_STATUS_FAILED;
    Ready(kRunNode, 10, "DiagnoseInfo_CTE3.A_LOCAL.tgz");
    g_astExportFileCfg.stAlarmEvent = {kRunNode, 0, strDiagnoseInfoPath + "alarm_event.tgz", 11 * kMB, ""};
    SizedFile(DiagDir(kRunNode) + "alarm_event.tgz", 11 * kMB);
    g_astExportFileCfg.stRunningData = {kRunNode, 0, strDiagnoseInfoPath + "running_data.txt", 12, ""};
    WriteText(DiagDir(kRunNode) + "running_data.txt", "running data");

    const std::set<std::string> expected = {
        "DiagnoseInfo_CTE0.A.tgz",       "DiagnoseInfo_CTE0.B_MAIN.tgz",
        "DiagnoseInfo_CTE1.A.tgz",       "DiagnoseInfo_minisystem_CTE1.B.tgz",
        "DiagnoseInfo_CTE3.A_LOCAL.tgz", "running_data.txt"};
    std::string merged = ExportDir(kRunNode) + "DiagnoseInfo.tgz";
    // A second download of the export packs the same parts, although the
    // first moved the local ones away.
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        ASSERT_EQ(Code(EXPORT_OPCODE_DOWNLOAD, 41), 0u);
        EXPECT_EQ(BundleParts(merged), expected);
        struct stat st {};
        ASSERT_EQ(stat(merged.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0660u);
    }
    EXPECT_EQ(fallback.uiPkgSize, 20u) << "the fallback entry gets the size of what arrived";
    EXPECT_TRUE(Exists(DiagDir(kRunNode) + "alarm_event.tgz")) << "an event file above 10 MB stays out";
    EXPECT_FALSE(Exists(Root(kRunNode) + "/VXA/coffer_data/escape.tgz"));

    // The diagnostic script's own cluster packing takes the packages alone.
    ASSERT_EQ(collectDiagnoseInfo(strDiagnoseInfoPath + "temp/", strDiagnoseInfoPath + "cluster.tgz"), 0);
    std::set<std::string> packages = expected;
    packages.erase("running_data.txt");
    EXPECT_EQ(Members(DiagDir(kRunNode) + "cluster.tgz"), packages);
}

// A node's answer names what the merge takes: only files of the diagnose
// directory move in, the bundle gets its mode before it is renamed over a
// planted link, and a restarted run node reports its lost export as failed.
TEST_F(DiagnoseDownloadTest, AnswersAndPlantedLinksCannotRedirectTheMerge) {
    StartExport(5, 0);
    Ready(kRunNode, 10);
    std::string secret = Real(kRunNode, "/VXA/coffer_data/omm/shadow");
    PutFile(secret, "secret");
    g_astExportFileCfg.astNode[kRunNode].strPkgPath = "/VXA/coffer_data/omm/";
    g_astExportFileCfg.astNode[kRunNode].strPkgName = "shadow";
    std::string planted = s_dir->Join("planted");
    MakeDirs(planted);
    std::string merged = ExportDir(kRunNode) + "DiagnoseInfo.tgz";
    unlink(merged.c_str());
    ASSERT_EQ(symlink(planted.c_str(), merged.c_str()), 0);
    g_failChown = true;
    ASSERT_EQ(Code(EXPORT_OPCODE_DOWNLOAD, 5), 0u);
    EXPECT_EQ(ReadText(secret), "secret") << "a file outside the diagnose directory stays";
    EXPECT_EQ(BundleParts(merged), std::set<std::string>{"DiagnoseInfo_CTE3.A.tgz"});
    struct stat st {};
    ASSERT_EQ(lstat(merged.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode)) << "the link is replaced, not followed";
    EXPECT_EQ(st.st_mode & 0777, 0660u) << "the mode even when the owner cannot be set";
    EXPECT_TRUE(Entries(planted).empty());
    ASSERT_EQ(stat(planted.c_str(), &st), 0);
    EXPECT_NE(st.st_mode & 0777, 0660u);

    // Refused while a merge runs: a clear would empty what it takes.
    g_bExportMerging = true;
    EXPECT_EQ(Code(EXPORT_OPCODE_CLEAR, 41), 0x40E05B0Cu);
    g_bExportMerging = false;

    // A restart: the record knows nothing of the export its row names.
    StartExport(5, 0);
    g_astExportFileCfg = tagCOLLECOR_EXPORT_FILE_PARAM_S{};
    g_astExportFileCfg.iGatherResult = EXPORT_GATHER_FAILED;
    g_updateCCDBType = UPDATE_CCDB_UNCHECKED;
    for (int32_t type : {0, 3, 5}) {
        EXPECT_EQ(Status(type), std::optional<int64_t>(EXPORT_GATHER_FAILED)) << type;
    }
    EXPECT_EQ(Code(EXPORT_OPCODE_DOWNLOAD, 5), 0x4040324Cu);
    EXPECT_EQ(Code(EXPORT_OPCODE_CLEAR, 41), 0u) << "a lost export can be cleared";
}

TEST_F(DiagnoseDownloadTest, CopiesStopAtTheirLimitAndLeaveNothing) {
    std::string source = kInside + "big.bin";
    SizedFile(Real(0, source), 3 * kMB);
    std::string target = s_dir->Join("fetched");
    MakeDirs(target);
    EXPECT_EQ(OM_GetFileFromOtherNode(0, source.c_str(), (target + "/big.bin").c_str(), 30, 2 * kMB),
              OM_FILE_ERR_TOO_LARGE);
    EXPECT_TRUE(Entries(target).empty());
    EXPECT_EQ(OM_GetFileFromOtherNode(0, source.c_str(), (target + "/big.bin").c_str(), 30, 3 * kMB), 0);
}

TEST_F(DiagnoseDownloadTest, StatusIsAskedOfTheRunNode) {
    StartExport(5, EXPORT_GATHER_RUNNING);
    EXPECT_EQ(Status(41), 255);
    g_astExportFileCfg.iGatherResult = EXPORT_GATHER_FAILED;
    EXPECT_EQ(Status(5), EXPORT_GATHER_FAILED);
    g_astExportFileCfg.ExportType = 4;
    EXPECT_EQ(Code(EXPORT_OPCODE_GET_STATUS, 5), 0x40E05B10u);
    EXPECT_EQ(Code(EXPORT_OPCODE_GET_STATUS, 7), 0x03000003u);

    PutRowOfNode(1);
    EXPECT_EQ(Status(5), 2) << "node 1's own result";
    PutRowOfNode(2);
    EXPECT_EQ(Status(4), 0);
    EXPECT_EQ(Code(EXPORT_OPCODE_GET_STATUS, 5), 0x40E05B10u) << "the run node's refusal is the answer";
    LogCapture log;
    PutRowOfNode(kDownNode);
    EXPECT_EQ(Code(EXPORT_OPCODE_GET_STATUS, 5), 0xFFFFFFFFu);
    EXPECT_TRUE(log.Contains("Send message failed."));

    ASSERT_EQ(DeleteRemoteTask(REMOTE_TASK_DIAGNOSE_EXPORT), 0u);
    EXPECT_EQ(Code(EXPORT_OPCODE_GET_STATUS, 5), 0x40E05B0Eu);
    // A node that has not checked the CCDB yet reads the task row all the same.
    g_updateCCDBType = UPDATE_CCDB_UNCHECKED;
    EXPECT_EQ(Code(EXPORT_OPCODE_GET_STATUS, 5), 0x40E05B0Eu);
    PutRowOfNode(2);
    EXPECT_EQ(Status(4), 0) << "asked of node 2";
    platform::state::Set("ccdb_unreachable", "1");
    EXPECT_EQ(Code(EXPORT_OPCODE_GET_STATUS, 5), 0x40E05B0Fu) << "state unknown";
    platform::state::Clear("ccdb_unreachable");
    g_updateCCDBType = UPDATE_CCDB_ABNORMAL;
    EXPECT_EQ(Status(std::nullopt), EXPORT_GATHER_FAILED) << "without the CCDB the local record answers";
}

TEST_F(DiagnoseDownloadTest, ClearRemovesTheExportOnEveryNode) {
    StartExport(3, 0);
    EXPECT_EQ(Code(EXPORT_OPCODE_CLEAR, 3), 0x03000003u) << "an upload export is not cleared on request";
    EXPECT_EQ(Code(EXPORT_OPCODE_CLEAR, 41), 0x40E05B10u);
    EXPECT_EQ(Code(EXPORT_OPCODE_CLEAR, std::nullopt), 0x4040324Eu);
    StartExport(5, EXPORT_GATHER_RUNNING);
    EXPECT_EQ(Code(EXPORT_OPCODE_CLEAR, 41), 0x40E05B0Cu);
    CCDB_COMM::tagDB_CHS_REMOTE_TASK_S row{};
    EXPECT_EQ(GetRemoteTask(REMOTE_TASK_DIAGNOSE_EXPORT, row), 0u) << "refusals leave the task";

    g_astExportFileCfg.iGatherResult = 0;
    Ready(kRunNode, 10, "DiagnoseInfo_CTE3.A_LOCAL.tgz");
    WriteText(ExportDir(kRunNode) + "DiagnoseInfo.tgz", "merged");
    PutPeerMarkers();
    WriteText(ExportDir(0) + "keep.txt", "not diagnose data");
    EXPECT_EQ(Code(EXPORT_OPCODE_CLEAR, 41), 0u);
    EXPECT_TRUE(PeersCleared());
    EXPECT_TRUE(WaitFor([&] { return GetRemoteTask(REMOTE_TASK_DIAGNOSE_EXPORT, row) == 6; }, 10000));
    EXPECT_TRUE(Entries(DiagDir(kRunNode)).empty());
    EXPECT_FALSE(Exists(ExportDir(kRunNode) + "DiagnoseInfo.tgz"));
    EXPECT_TRUE(Exists(ExportDir(0) + "keep.txt"));
    EXPECT_EQ(g_updateCCDBType.load(), UPDATE_CCDB_UNCHECKED);
}

TEST_F(DiagnoseDownloadTest, APeerDeletesOnlyRegularFilesInsideTheExportDirectoriesOfAnyNode) {
    const std::string root = Root(kRunNode);
    const std::string inside = kInside;
    const std::string keep = "/VXA/coffer_data/omm/chs/keep.txt";
    const std::string beside = "/VXA/coffer_data/omm/export_import_old/keep.txt";
    MakeDirs(root + inside + "chs");
    PutFile(root + keep, "outside");
    PutFile(root + beside, "beside");
    unlink((root + inside + "link").c_str());
    ASSERT_EQ(symlink((root + keep).c_str(), (root + inside + "link").c_str()), 0);
    std::string pwned = s_dir->Join("pwned");
    auto Delete = [](const std::string& path, std::optional<int32_t> kind) {
        InnerMsg request = chs_test::LocalRequest(EXPORT_OPCODE_DELETE_FILE);
        request.GetBody()[0].appendInner(CTLVCell::NewString(DIAGNOSE_TAG_DELETE_PATH, path));
        if (kind) {
            request.GetBody()[0].appendInner(CTLVCell::NewInt32(DIAGNOSE_TAG_DELETE_KIND, *kind));
        }
        processDelFileFromPeer(request);
    };
    LogCapture log;
    for (const std::string& path :
         {inside + "../chs/keep.txt", keep, inside + "link", beside, inside + "chs", inside + "missing",
          inside + "x; touch " + pwned, inside + "$(touch " + pwned + ")", inside + "`touch " + pwned + "`",
          std::string("chs/keep.txt"), std::string()}) {
        Delete(path, 1);
        EXPECT_TRUE(g_commands.With().empty()) << "a shell saw " << path;
    }
    EXPECT_TRUE(Exists(root + keep));
    EXPECT_TRUE(Exists(root + inside + "link")) << "a link leading out is refused, not removed";
    EXPECT_TRUE(Exists(root + beside));
    EXPECT_TRUE(Exists(root + inside + "chs"));
    EXPECT_FALSE(Exists(pwned));
    EXPECT_TRUE(log.Contains("rm cmd failed."));

    std::string odd = "a;b$(c)`d` e";
    WriteText(root + inside + odd, "odd but inside");
    PutFile(root + "/VXA/coffer_data/omm/export/plain.txt", "inside");
    WriteText(root + inside + "victim.txt", "inside");
    Delete(inside + odd, 1);
    Delete("/VXA/coffer_data/omm/export/plain.txt", 1);
    Delete(inside + "victim.txt", 2);
    std::string db = root + "/VXA/coffer_data/omm/export_import/chs/collector/db/collect.dat";
    PutFile(db, "records");
    Delete("/VXA/coffer_data/omm/export_import/chs/collector/db/collect.dat", 1);
    EXPECT_TRUE(Exists(db)) << "the record database is out of a peer's reach";
    EXPECT_FALSE(Exists(root + inside + odd));
    EXPECT_FALSE(Exists(root + "/VXA/coffer_data/omm/export/plain.txt"));
    EXPECT_TRUE(Exists(root + inside + "victim.txt")) << "an unknown kind deletes nothing";
    EXPECT_TRUE(g_commands.With().empty());

    // No kind: the diagnose data are cleared, whatever the path says.
    std::string leftover = platform::RealPath(strDiagnoseInfoPath) + "DiagnoseInfo_OLD/summary.txt";
    PutFile(leftover, "an earlier package");
    Delete(keep + "; touch " + pwned, std::nullopt);
    EXPECT_FALSE(Exists(leftover));
    ASSERT_FALSE(g_commands.With().empty());
    EXPECT_EQ(g_commands.Count("keep.txt"), 0u);
    EXPECT_TRUE(Exists(root + keep));
    EXPECT_FALSE(Exists(pwned));

    // Requests to other nodes.
    for (uint16_t node : {3, 4}) {
        PutFile(Real(node, kInside + "victim.txt"), "x");
    }
    PutFile(DiagDir(4) + "marker", "x");
    EXPECT_EQ(DeleteDiagnoseFile(kInside + "victim.txt", 3, 1), 0);
    EXPECT_EQ(DeleteNodeFile(kInside + "victim.txt", 4), 0);
    EXPECT_TRUE(WaitFor([&] { return !Exists(Real(3, kInside + "victim.txt")); }, 10000));
    EXPECT_TRUE(WaitFor([&] { return !Exists(DiagDir(4) + "marker"); }, 10000)) << "no kind: a clear";
    EXPECT_TRUE(Exists(Real(4, kInside + "victim.txt")));
    EXPECT_EQ(DeleteNodeFile(kInside + "victim.txt", kDownNode), -1);
}

TEST_F(DiagnoseDownloadTest, AStaleTaskRowGoesAtItsThirdSighting) {
    CCDB_COMM::tagDB_CHS_REMOTE_TASK_S row{};
    auto Put = [](const char* id) { ASSERT_EQ(AddRemoteTask(REMOTE_TASK_DIAGNOSE_EXPORT, 5, id, 0, 0), 0u); };
    ClearExportDiagnoseInfoRecord();
    Put("A");
    platform::state::Set("ccdb_status", "3");
    for (int i = 0; i < 4; ++i) {
        ClearExportDiagnoseInfoRecord();
    }
    platform::state::Clear("ccdb_status");
    EXPECT_EQ(GetRemoteTask(REMOTE_TASK_DIAGNOSE_EXPORT, row), 0u) << "left alone while the CCDB upgrades";

    ClearExportDiagnoseInfoRecord();
    ClearExportDiagnoseInfoRecord();
    Put("B");  // a new task restarts the count
    ClearExportDiagnoseInfoRecord();
    ClearExportDiagnoseInfoRecord();
    EXPECT_EQ(GetRemoteTask(REMOTE_TASK_DIAGNOSE_EXPORT, row), 0u);
    PutFile(DiagDir(kRunNode) + "left.tgz", "x");
    PutPeerMarkers();
    ClearExportDiagnoseInfoRecord();
    EXPECT_EQ(GetRemoteTask(REMOTE_TASK_DIAGNOSE_EXPORT, row), 6u);
    EXPECT_TRUE(strExportTaskId.empty());
    EXPECT_FALSE(Exists(DiagDir(kRunNode) + "left.tgz"));
    EXPECT_TRUE(PeersCleared());
}

TEST_F(DiagnoseDownloadTest, UploadSendsTheMergedFileOnceGatheringEnds) {
    DIAGNOSE_INFO_SEND_ROUND_MS = 10;
    DIAGNOSE_INFO_SEND_ROUNDS = 3;
    DIAGNOSE_INFO_SEND_TIMEOUT = 10;
    std::string remote = s_cluster + "/remote/CTE3.A/";
    std::filesystem::remove_all(remote);
    std::string uploadDir = Real(kRunNode, strDiagnoseInfoToNexhub);
    CCDB_COMM::tagDB_CHS_REMOTE_TASK_S row{};
    LogCapture log;

    StartExport(3, EXPORT_GATHER_RUNNING);
    Ready(0, 10);
    g_astExportFileCfg.astNode[0].uiCollectStatus = EXPORT_STATUS_COLLECTING;
    WaitAndSendDiagnoseFileHandler(3);
    EXPECT_TRUE(log.Contains("Export diagnose finished! result(83887409).")) << "gathering never ended";
    EXPECT_EQ(GetRemoteTask(REMOTE_TASK_DIAGNOSE_EXPORT, row), 6u);
    EXPECT_FALSE(Exists(remote));

    // The agent refuses, and is asked twice; the next upload stays free.
    WriteText(s_cluster + "/state/peer550_mode", "fail:5");
    for (bool agentFails : {true, false}) {
        SCOPED_TRACE(agentFails);
        StartExport(3, 0);
        Ready(0, 10);
        Ready(kRunNode, 20, "DiagnoseInfo_CTE3.A_LOCAL.tgz");
        PutPeerMarkers();
        uint64_t before = static_cast<uint64_t>(time(nullptr));
        WaitAndSendDiagnoseFileHandler(3);
        EXPECT_EQ(GetRemoteTask(REMOTE_TASK_DIAGNOSE_EXPORT, row), 6u);
        EXPECT_TRUE(Entries(uploadDir).empty());
        EXPECT_FALSE(Exists(DiagDir(kRunNode) + "temp"));
        EXPECT_TRUE(PeersCleared());
        if (agentFails) {
            EXPECT_EQ(log.Count("Send diagnose file result 5."), 2u);
            EXPECT_EQ(GetRemoteTask(REMOTE_TASK_DIAGNOSE_UPLOAD, row), 6u);
            unlink((s_cluster + "/state/peer550_mode").c_str());
            continue;
        }
        std::set<std::string> delivered = Entries(remote);
        ASSERT_EQ(delivered.size(), 1u);
        const std::string name = *delivered.begin();
        EXPECT_EQ(name.rfind("diagnoseinfo_2102350SIM100008_", 0), 0u) << name;
        EXPECT_EQ(BundleParts(remote + name),
                  (std::set<std::string>{"DiagnoseInfo_CTE0.A.tgz", "DiagnoseInfo_CTE3.A_LOCAL.tgz"}));
        ASSERT_EQ(GetRemoteTask(REMOTE_TASK_DIAGNOSE_UPLOAD, row), 0u);
        EXPECT_GE(row.paramValue2, before);
        EXPECT_LE(row.paramValue2, static_cast<uint64_t>(time(nullptr)));
        EXPECT_EQ(std::string(row.taskIdText), strDiagnoseInfoToNexhub + name);
        EXPECT_EQ(checkExpfileSendAllowed(3), 0xFFFFFFFFu) << "the next upload waits for its interval";
    }
}

}  // namespace

int main(int argc, char** argv) {
    return chs_test::RunTestsOrPeer(argc, argv, "CHS_DIAGNOSE_PEER", RunPeer,
                                    DiagnoseDownloadTest::RemoveCluster);
}
