// The collector's directory trees below the node root, and the trace point
// markers that live there too.
#include "core/collector_dir.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <set>
#include <stdexcept>
#include <thread>
#include <tuple>
#include <vector>

#include "core/omlib.h"
#include "core/trace_point.h"
#include "infra/exec_cmd.h"
#include "infra/string_util.h"
#include "platform/platform_profile.h"
#include "platform/platform_state.h"
#include "tests/support/log_capture.h"
#include "tests/support/node_root.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using namespace chs_test;

const std::string kCoffer = "/VXA/coffer_data/omm/export_import/chs/";
const std::string kCollector = kCoffer + "collector/";
const std::string kLunCollector = "/VXA/lun_data/omm/chs/collector/";

std::vector<std::string> g_commands;
bool g_dryRun = false;

int32_t RecordCommand(const std::string& cmd, uint32_t timeoutMs) {
    EXPECT_EQ(timeoutMs, 6000u);
    g_commands.push_back(cmd);
    return g_dryRun ? 0 : chs_execCmdWithoutOutput(cmd, timeoutMs);
}

bool IsDir(const std::string& path) { return fs::is_directory(fs::symlink_status(path)); }
bool IsThere(const std::string& path) { return fs::exists(fs::symlink_status(path)); }

void SetMtime(const std::string& path, time_t seconds) {
    struct timespec times[2] = {{seconds, 0}, {seconds, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
}

class CollectorDirTest : public ::testing::Test {
  protected:
    void SetUp() override {
        UseNodeRoot(root.path());
        MakeDirs(root.Join("VXA/coffer_data"));
        platform::state::Clear("unmounted");
        CHS_SetLunStatus(CHS_LUN_STATUS_INITIAL);
        g_commands.clear();
        g_dryRun = false;
        g_pfnCollectorDirExec = RecordCommand;
    }
    void TearDown() override {
        g_pfnCollectorDirExec = chs_execCmdWithoutOutput;
        platform::state::Clear("unmounted");
        CHS_SetLunStatus(CHS_LUN_STATUS_INITIAL);
        platform::SetProfile(platform::Profile());
    }

    std::string Real(const std::string& systemPath) const { return root.path() + systemPath; }
    // The hand-over of a tree to the management owner.
    std::string Chown(const std::string& systemPath) const {
        return "chown -h -R " + ShellQuote(platform::GetProfile().strOperOwner) + " " +
               ShellQuote(Real(systemPath));
    }
    void InstallCleanScript() { InstallScript(root.path(), "collector_clean_file.sh"); }

    TempDir root;
};

TEST_F(CollectorDirTest, PathsFollowTheLunStatus) {
    ASSERT_EQ(CHS_GetLunStatus(), CHS_LUN_STATUS_INITIAL);
    EXPECT_EQ(InfocollectorGetSystemPath(INFO_COLLECTOR_PATH_ALARM), kCollector + "alarm/") << "before any report";
    EXPECT_EQ(InfocollectorGetPath(INFO_COLLECTOR_PATH_NODE), Real(kCollector + "node/"));
    EXPECT_EQ(InfocollectorGetPath(INFO_COLLECTOR_PATH_NODE_INFO), Real(kCollector + "node/"));
    EXPECT_EQ(InfocollectorGetPath(INFO_COLLECTOR_PATH_DIAGNOSE_DATA), Real(kCollector + "diagnose_data/"));

    EXPECT_EQ(ChsLunHandle(CHS_LUN_STATUS_USABLE), 0);
    EXPECT_EQ(CHS_GetLunStatus(), CHS_LUN_STATUS_USABLE);
    EXPECT_EQ(InfocollectorGetPath(INFO_COLLECTOR_PATH_ALARM), Real(kLunCollector + "alarm/"));
    EXPECT_EQ(InfocollectorGetPath(INFO_COLLECTOR_PATH_NODE_INFO), Real(kLunCollector + "node/"));
    for (const auto& entry : collectorDirMapForLunData) {
        ASSERT_TRUE(IsDir(Real(entry.first))) << entry.first;
        EXPECT_EQ(ModeOf(Real(entry.first)), 0750u) << entry.first;
    }
    EXPECT_EQ(g_commands.back(), Chown("/VXA/lun_data/omm/chs/"));

    g_commands.clear();
    EXPECT_EQ(ChsLunHandle(static_cast<_tagENUM_LUN_STATUS>(2)), 0);
    EXPECT_EQ(CHS_GetLunStatus(), CHS_LUN_STATUS_USABLE) << "an unknown status changes nothing";
    EXPECT_TRUE(g_commands.empty());

    EXPECT_EQ(ChsLunHandle(CHS_LUN_STATUS_UNUSABLE), 0);
    EXPECT_EQ(CHS_GetLunStatus(), CHS_LUN_STATUS_UNUSABLE);
    EXPECT_EQ(InfocollectorGetPath(INFO_COLLECTOR_PATH_ALARM), Real(kCollector + "alarm/"));
    EXPECT_TRUE(IsDir(Real(kCollector + "alarm/")));

    EXPECT_EQ(ChsLunHandle(CHS_LUN_STATUS_INITIAL), 0);
    EXPECT_EQ(CHS_GetLunStatus(), CHS_LUN_STATUS_INITIAL);
    EXPECT_THROW(InfocollectorGetPath(static_cast<INFO_COLLECTOR_PATH_TYPE>(10)), std::logic_error);
    EXPECT_THROW(InfocollectorGetPath(static_cast<INFO_COLLECTOR_PATH_TYPE>(-1)), std::logic_error);

    // The platform's report reaches ChsLunHandle through the registered callback.
    ASSERT_EQ(omlib::regOmmlunIsvalid(ChsLunStatusCallback), 0);
    platform::state::Set("lun_status", "1");
    EXPECT_TRUE(WaitFor([] { return CHS_GetLunStatus() == CHS_LUN_STATUS_USABLE; }, 10000));
    // Returns once the callback's run has ended: nothing races the checks or the next test.
    ASSERT_EQ(omlib::regOmmlunIsvalid(nullptr), 0);
    platform::state::Clear("lun_status");
    EXPECT_TRUE(IsDir(Real(kLunCollector + "syslog/")));
}

TEST_F(CollectorDirTest, CofferTreeIsCreatedInOrderWithItsModes) {
    ASSERT_EQ(RecoverCollectorDirForCofferData(), 0);
    std::vector<std::string> mkdirs;
    for (const auto& entry : collectorDirMapForCofferData) {
        ASSERT_TRUE(IsDir(Real(entry.first))) << entry.first;
        EXPECT_EQ(ModeOf(Real(entry.first)), 0750u) << entry.first;
        mkdirs.push_back("mkdir -p " + ShellQuote(Real(entry.first)));
    }
    std::vector<std::string> ran;
    for (const std::string& cmd : g_commands) {
        if (cmd.rfind("mkdir", 0) == 0) {
            ran.push_back(cmd);
        }
    }
    EXPECT_EQ(ran, mkdirs);
    EXPECT_EQ(mkdirs.back(), "mkdir -p " + ShellQuote(Real(kCoffer + "export"))) << "export sorts last";
    EXPECT_EQ(g_commands.back(), Chown("/VXA/coffer_data/omm/export_import/chs"));
    EXPECT_FALSE(IsThere(Real(kCollector + "node/temp/"))) << "temp directories come on demand";

    g_commands.clear();
    ASSERT_EQ(RecoverCollectorDirForCofferData(), 0) << "a second start-up finds everything in place";
    EXPECT_EQ(g_commands.size(), 14u) << "13 chmod and the chown, no mkdir";
}

TEST_F(CollectorDirTest, UnmountedCofferStopsEverything) {
    LogCapture log;
    platform::state::Set("unmounted", "/VXA/coffer_data");
    EXPECT_NE(RecoverCollectorDirForCofferData(), 0);
    EXPECT_TRUE(log.Contains("info_collector test disk mount failed."));
    EXPECT_NE(ChsLunHandle(CHS_LUN_STATUS_UNUSABLE), 0) << "the coffer result comes through";
    EXPECT_EQ(CHS_GetLunStatus(), CHS_LUN_STATUS_UNUSABLE);
    EXPECT_EQ(TestAndRecoverSomeCollectorDir(kCollector + "node/temp/", "750"), -1);
    EXPECT_TRUE(g_commands.empty());
    EXPECT_FALSE(IsThere(Real(kCoffer)));

    platform::state::Clear("unmounted");
    fs::remove_all(Real("/VXA/coffer_data"));
    EXPECT_NE(RecoverCollectorDirForCofferData(), 0) << "a missing mount point is not mounted either";
}

TEST_F(CollectorDirTest, CommandTextsOnAController) {
    UseNodeRoot("/");
    g_dryRun = true;  // nothing of these may touch the machine
    EXPECT_EQ(CreateDir("/VXA/no such/dir/", "750"), 0);
    EXPECT_EQ(CleanDirFile("/VXA/lun_data/omm/chs/"), 0);
    EXPECT_EQ(ChangeFilePermissions("/VXA/f.tgz", "640", "root:OPERUSERS"), 0);
    EXPECT_EQ(CompressDirFile("/VXA/a.tgz", "/VXA/d"), 0);
    EXPECT_EQ(CleanTarFile(kCollector + "node/", "5"), 0);
    EXPECT_EQ(CreateDir("-rf", "750"), 0);
    std::vector<std::string> expected = {
        "mkdir -p '/VXA/no such/dir/'",
        "chmod '750' '/VXA/no such/dir/'",
        "find '/VXA/lun_data/omm/chs/' -type f -exec rm -f {} \\;  >/dev/null 2>&1",
        "chmod '640' '/VXA/f.tgz' && chown -h 'root:OPERUSERS' '/VXA/f.tgz'",
        "cd '/VXA/d' && tar -zcvf '/VXA/a.tgz' -- *",
        "'/VXA/script/collector_clean_file.sh' '/VXA/coffer_data/omm/export_import/chs/collector/node/' '5' "
        "\"alarm|running|filelist.txt\"",
        "mkdir -p './-rf'",
        "chmod '750' './-rf'",
    };
    EXPECT_EQ(g_commands, expected);
}

TEST_F(CollectorDirTest, CleanDirFileLengthGuardAndResult) {
    // "/VXA/coffer_data/omm/" has 21 characters, "/VXA/lun_data/omm/chs/" 22.
    MakeDirs(Real("/VXA/coffer_data/omm/x"));
    WriteText(Real("/VXA/coffer_data/omm/x/keep.txt"), "k");
    EXPECT_EQ(CleanDirFile("/VXA/coffer_data/omm/"), -1);
    EXPECT_TRUE(g_commands.empty());
    EXPECT_TRUE(IsThere(Real("/VXA/coffer_data/omm/x/keep.txt")));

    MakeDirs(Real("/VXA/lun_data/omm/chs/collector/node/temp"));
    WriteText(Real("/VXA/lun_data/omm/chs/a file.tgz"), "a");
    WriteText(Real("/VXA/lun_data/omm/chs/collector/node/temp/b.tgz"), "b");
    ASSERT_EQ(CleanDirFile("/VXA/lun_data/omm/chs/"), 0);
    ASSERT_EQ(g_commands.size(), 1u);
    // The files are gone when the call returns, not some time later.
    EXPECT_FALSE(IsThere(Real("/VXA/lun_data/omm/chs/a file.tgz")));
    EXPECT_FALSE(IsThere(Real("/VXA/lun_data/omm/chs/collector/node/temp/b.tgz")));
    EXPECT_TRUE(IsDir(Real("/VXA/lun_data/omm/chs/collector/node/temp")));

    EXPECT_NE(CleanDirFile("/VXA/lun_data/omm/chs/no_such_dir/"), 0) << "a failed find is reported";
}

TEST_F(CollectorDirTest, CreateTestAndDeleteDirectories) {
    std::string dir = kCollector + "perf/";
    MakeDirs(Real(dir));
    ASSERT_EQ(chmod(Real(dir).c_str(), 0700), 0);
    EXPECT_EQ(CreateDir(dir, "750"), 0);
    EXPECT_EQ(ModeOf(Real(dir)), 0750u) << "an existing directory still gets the mode";
    ASSERT_EQ(g_commands.size(), 1u);
    EXPECT_EQ(g_commands[0].rfind("chmod ", 0), 0u);

    LogCapture log;
    WriteText(Real(kCollector + "file"), "x");
    EXPECT_EQ(CreateDir(kCollector + "file", "750"), -1) << "a file is not a directory";
    EXPECT_TRUE(
        log.Contains("(CHECK PARA FAILURE) iRet(1) != RETURN_SIGNED_OK(0), return RETURN_SIGNED_ERR(-1)."));
    EXPECT_EQ(ModeOf(Real(kCollector + "file")) & 0111, 0u) << "the file's mode is left alone";

    g_commands.clear();
    EXPECT_EQ(DeleteDir(kCollector + "missing/"), 0);
    EXPECT_TRUE(g_commands.empty());
    WriteText(Real(dir + "p.tgz"), "p");
    EXPECT_EQ(DeleteDir(dir), 0);
    EXPECT_FALSE(IsThere(Real(dir)));
    EXPECT_TRUE(IsDir(Real(kCollector)));

    std::string temp = kCollector + "node/temp/";
    EXPECT_EQ(TestAndRecoverSomeCollectorDir(temp, "750"), 0);
    EXPECT_TRUE(IsDir(Real(temp)));
    EXPECT_EQ(ModeOf(Real(temp)), 0750u);
    EXPECT_EQ(g_commands.back(), Chown(temp));
    g_commands.clear();
    EXPECT_EQ(TestAndRecoverSomeCollectorDir(temp, "750"), 0);
    EXPECT_TRUE(g_commands.empty()) << "an existing directory costs no command";

    WriteText(Real(kCollector + "array"), "not a directory");
    EXPECT_EQ(TestAndRecoverSomeCollectorDir(kCollector + "array", "750"), -1);
}

// A name that would run commands if any piece of a command line were unquoted.
TEST_F(CollectorDirTest, HostileNamesStayNames) {
    const std::string name = "a b 'c' \"d\" $(touch pwned1) `touch pwned2`;touch pwned3 &";
    const std::string dir = kCollector + "node/" + name + "/";
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof(cwd)), nullptr);
    ASSERT_EQ(chdir(root.path().c_str()), 0);  // where an injected relative "touch" would land
    MakeDirs(Real(kCollector + "node/a"));
    WriteText(Real(kCollector + "node/a/other.tgz"), "o");

    EXPECT_EQ(CreateDir(dir, "750"), 0);
    EXPECT_EQ(ModeOf(Real(dir)), 0750u);
    EXPECT_EQ(ChangeDirGroup(dir, std::to_string(getgid())), 0);
    WriteText(Real(dir + "x y.tgz"), "x");
    EXPECT_EQ(ChangeFilePermissions(dir + "x y.tgz", "600", platform::GetProfile().strOperOwner), 0);
    EXPECT_EQ(ModeOf(Real(dir + "x y.tgz")), 0600u);
    EXPECT_NE(ChangeFilePermissions(dir + "x y.tgz", "bogus", platform::GetProfile().strOperOwner), 0)
        << "a failed chmod is not hidden by the chown after it";
    EXPECT_EQ(CompressDirFile(kCollector + name + ".tgz", dir), 0);
    EXPECT_TRUE(IsThere(Real(kCollector + name + ".tgz")));
    EXPECT_EQ(CleanDirFile(dir), 0);
    EXPECT_FALSE(IsThere(Real(dir + "x y.tgz")));
    EXPECT_EQ(DeleteDir(dir), 0);
    EXPECT_FALSE(IsThere(Real(dir)));

    EXPECT_TRUE(IsThere(Real(kCollector + "node/a/other.tgz"))) << "a neighbour is not affected";
    for (const char* marker : {"pwned1", "pwned2", "pwned3"}) {
        EXPECT_FALSE(IsThere(root.Join(marker))) << marker;
    }
    ASSERT_EQ(chdir(cwd), 0);

    LogCapture log;
    EXPECT_EQ(ChangeDirGroup(kCollector + "gone/", "0"), -1);
    EXPECT_TRUE(log.Contains("Dir(" + kCollector + "gone/) is not existed ."));
}

TEST_F(CollectorDirTest, CompressDirFilePacksEveryEntry) {
    std::string dir = kCollector + "diagnose_data/";
    MakeDirs(Real(dir + "sub"));
    WriteText(Real(dir + "a.txt"), "alpha");
    WriteText(Real(dir + "b c.txt"), "beta");
    WriteText(Real(dir + "sub/d.txt"), "delta");
    // A file named like options must be packed, not obeyed.
    WriteText(Real(dir + "--checkpoint=1"), "");
    WriteText(Real(dir + "--checkpoint-action=exec=touch pwned"), "");
    std::string archive = kCollector + "diag.tgz";
    ASSERT_EQ(CompressDirFile(archive, dir), 0);
    EXPECT_FALSE(IsThere(Real(dir + "pwned")));

    std::string listing = chs_execCmd("tar -tzf " + ShellQuote(Real(archive)), 100, 6000);
    std::vector<std::string> lines;
    Split(listing, "\n", lines);
    std::set<std::string> members(lines.begin(), lines.end());
    std::set<std::string> expected = {"a.txt",     "b c.txt",        "sub/",
                                      "sub/d.txt", "--checkpoint=1", "--checkpoint-action=exec=touch pwned"};
    EXPECT_EQ(members, expected);

    // The daemon's working directory must never end up in an archive.
    EXPECT_NE(CompressDirFile(kCollector + "none.tgz", kCollector + "missing/"), 0);
    EXPECT_FALSE(IsThere(Real(kCollector + "none.tgz")));
}

TEST_F(CollectorDirTest, CleanTarFileKeepsTheNewestAndRefusesEverythingOutsideTheTrees) {
    InstallCleanScript();
    ASSERT_EQ(RecoverCollectorDirForCofferData(), 0);
    TempDir outside;
    WriteText(outside.Join("target.tgz"), "t");
    const std::string node = Real(kCollector + "node/");
    MakeDirs(node + "temp");
    time_t t = 1600000000;
    for (const char* name : {"alarm_old.tgz", "filelist.txt", "running_x.tgz", "n1.tgz", "n2 with space.tgz",
                             "n3 'q'.tgz", "n4\nnl.tgz", "n5.tgz"}) {
        WriteText(node + name, name);
        SetMtime(node + name, t++);
    }
    WriteText(node + "temp/old.tgz", "o");
    SetMtime(node + "temp/old.tgz", 1);
    fs::create_symlink(outside.Join("target.tgz"), node + "link.tgz");
    SetMtime(node + "link.tgz", 2);

    // The system path is mapped below the node root on its way to the script.
    ASSERT_EQ(CleanTarFile(kCollector + "node/", "2"), 0);
    std::set<std::string> left;
    for (const auto& entry : fs::directory_iterator(node)) {
        left.insert(entry.path().filename().string());
    }
    std::set<std::string> expected = {"alarm_old.tgz", "filelist.txt", "running_x.tgz", "n4\nnl.tgz",
                                      "n5.tgz",        "temp",         "link.tgz"};
    EXPECT_EQ(left, expected);
    EXPECT_TRUE(IsThere(node + "temp/old.tgz"));
    EXPECT_TRUE(IsThere(outside.Join("target.tgz")));

    EXPECT_EQ(CleanTarFile(kCollector + "node/", "0"), 0);
    EXPECT_TRUE(IsThere(node + "filelist.txt"));
    EXPECT_FALSE(IsThere(node + "n5.tgz"));
    EXPECT_FALSE(IsThere(node + "n4\nnl.tgz"));

    // Nothing outside the trees is ever cleaned.
    WriteText(outside.Join("precious.tgz"), "p");
    WriteText(Real(kCoffer + "chs_file.tgz"), "c");
    WriteText(Real(kCollector + "node/n.tgz"), "n");
    fs::create_symlink(outside.path(), Real(kCollector + "escape"));

    std::string upToSlash;
    for (int i = 0; i < 40; ++i) {
        upToSlash += "../";
    }
    const std::vector<std::tuple<std::string, std::string, int32_t>> cases = {
        {kCollector + "node/" + upToSlash + outside.path().substr(1), "0", 2},
        {kCoffer, "0", 2},  // the tree root itself holds no collected files
        {"/VXA/coffer_data/omm/", "0", 2},
        {kCollector + "node/../../../../", "0", 2},
        {kCollector + "escape/", "0", 2},  // a link out of the tree
        {kCollector + "missing/", "0", 2},
        {kCollector + "node/", "-1", 1},
        {kCollector + "node/", "1; rm -rf /", 1},
        {kCollector + "node/", "", 1},
    };
    for (const auto& [dir, keep, code] : cases) {
        EXPECT_EQ(CleanTarFile(dir, keep), code) << dir << " keeping " << keep;
    }
    const std::string script = ShellQuote(Real("/VXA/script/collector_clean_file.sh"));
    EXPECT_EQ(chs_execCmdWithoutOutput(script + " " + ShellQuote(outside.path()) + " 0 x", 6000), 2)
        << "a real path outside the node root";
    const std::string uninstalled =
        ShellQuote(std::string(CHS_SOURCE_DIR) + "/scripts/collector_clean_file.sh");
    EXPECT_EQ(
        chs_execCmdWithoutOutput(uninstalled + " " + ShellQuote(Real(kCollector + "node")) + " 0 x", 6000), 2)
        << "without a node root around it the script cleans nothing";
    EXPECT_EQ(chs_execCmdWithoutOutput(script + " " + ShellQuote(Real(kCollector + "node")) + " 0", 6000), 1);
    EXPECT_TRUE(IsThere(outside.Join("precious.tgz")));
    EXPECT_TRUE(IsThere(Real(kCoffer + "chs_file.tgz")));
    EXPECT_TRUE(IsThere(Real(kCollector + "node/n.tgz")));

    // The LUN tree is the other place collected files may be cleaned.
    ASSERT_EQ(ChsLunHandle(CHS_LUN_STATUS_USABLE), 0);
    WriteText(Real(kLunCollector + "perf/p.tgz"), "p");
    EXPECT_EQ(CleanTarFile(InfocollectorGetPath(INFO_COLLECTOR_PATH_PERF), "0"), 0);
    EXPECT_FALSE(IsThere(Real(kLunCollector + "perf/p.tgz")));
}

using chs_test::LogCapture;
using chs_test::MakeDirs;
using chs_test::TempDir;
using chs_test::WriteText;

int g_calls = 0;
std::string g_lastArgument;
int Recorder(void* arg) {
    ++g_calls;
    g_lastArgument = arg == nullptr ? "(null)" : static_cast<const char*>(arg);
    return 42;
}

class TracePointTest : public ::testing::Test {
protected:
    void SetUp() override {
        platform::Profile profile;
        profile.strRoot = root.path();
        profile.strResetProgram = root.Join("reset.sh");
        platform::SetProfile(profile);
        MakeDirs(root.Join("VXA/coffer_data/omm/chs"));
        MakeDirs(root.Join("VXA/coffer_data/omm/export_import/chs"));
        g_calls = 0;
        g_lastArgument.clear();
        g_uiTpHoldMs = 0;
        g_uiTpCpuMaxMs = 50;
    }
    void TearDown() override { platform::SetProfile(platform::Profile()); }

    std::string Marker(const std::string& name, const std::string& line) {
        std::string path = TracePointPath(name);
        WriteText(path, line);
        return path;
    }
    static long long ElapsedMs(std::chrono::steady_clock::time_point start) {
        return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
            .count();
    }

    TempDir root;
    LogCapture log;
};

TEST_F(TracePointTest, MarkersLiveBelowTheNodeRoot) {
    EXPECT_EQ(TracePointPath("TP_X"), root.path() + "/VXA/coffer_data/omm/chs/TP_X");
    ChsTpCheckPoint("TP_MISSING", Recorder);
    EXPECT_EQ(g_calls, 0) << "a missing marker costs only the access test";
    // A directory passes the access test but holds no line: nothing runs.
    ASSERT_EQ(mkdir(TracePointPath("TP_DIR").c_str(), 0755), 0);
    ChsTpCheckPoint("TP_DIR", Recorder);
    EXPECT_EQ(g_calls, 0) << "a marker that cannot be read runs nothing";
    // A marker its reader may not read; root reads anything, so the check runs as nobody.
    ASSERT_EQ(chmod(Marker("TP_UNREADABLE", "x#y$").c_str(), 0), 0);
    ASSERT_EQ(chmod(root.path().c_str(), 0711), 0);
    pid_t pid = fork();
    if (pid == 0) {
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) {
            _exit(100);
        }
        ChsTpCheckPoint("TP_UNREADABLE", Recorder);
        _exit(g_calls);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "handler runs or status: " << status;
}

TEST_F(TracePointTest, RunLimitIsSharedByAllMarkers) {
    uint32_t start = ChsTpRunTimes();
    std::string limit = std::to_string(start + 2);
    std::string a = Marker("TP_A", "run#first$" + limit);
    std::string b = Marker("TP_B", "run#second$" + limit);
    ChsTpHandler(a, Recorder, nullptr, nullptr);
    ChsTpHandler(b, Recorder, nullptr, nullptr);
    EXPECT_EQ(g_calls, 2);
    EXPECT_EQ(g_lastArgument, "second");
    ChsTpHandler(a, Recorder, nullptr, nullptr);
    ChsTpHandler(b, Recorder, nullptr, nullptr);
    EXPECT_EQ(g_calls, 2) << "the limit counts runs of every marker";
    EXPECT_EQ(ChsTpRunTimes(), start + 2);
    EXPECT_TRUE(log.Contains("strTimes: " + limit + ", runTimes: " + limit));

    std::string unlimited = Marker("TP_C", "run#third$many");
    ChsTpHandler(unlimited, Recorder, nullptr, nullptr);
    EXPECT_EQ(g_calls, 3) << "a limit that is not all digits is ignored";
    EXPECT_EQ(ChsTpRunTimes(), start + 2);
}

TEST_F(TracePointTest, SleepNeedsADigitArgument) {
    auto start = std::chrono::steady_clock::now();
    ChsTpHandler(Marker("TP_S", "sleep#120$"), Recorder, nullptr, nullptr);
    EXPECT_GE(ElapsedMs(start), 120);
    EXPECT_TRUE(log.Contains("sleep: 120MS"));

    ChsTpHandler(Marker("TP_S2", "sleep#12x$"), Recorder, nullptr, nullptr);
    ChsTpHandler(Marker("TP_S3", "sleep#120"), Recorder, nullptr, nullptr);  // no "$": argument empty
    EXPECT_EQ(log.Count("sleep: "), 1u);
    EXPECT_EQ(g_calls, 0) << "sleep never runs the handler";
}

TEST_F(TracePointTest, EmptyLineOrMissingHashRunsTheHandlerBareAndModifyFormOverridesTheResult) {
    ChsTpHandler(Marker("TP_E", ""), ChsTpMallocCallback, nullptr, nullptr);
    EXPECT_TRUE(log.Contains("(CHECK PARA FAILURE) (nullptr == arg) is false, return(RETURN_ERR)."));

    int result = 0;
    ChsTpHandler(Marker("TP_H", "no separators at all"), Recorder, nullptr, &result);
    EXPECT_EQ(g_lastArgument, "(null)");
    EXPECT_EQ(result, 42) << "the handler's result goes to the slot";
    EXPECT_TRUE(log.Contains("pCallback"));

    g_calls = 0;
    result = -1;
    ChsTpHandler(Marker("TP_M", "verdict%7"), Recorder, nullptr, &result);
    EXPECT_EQ(result, 7);
    EXPECT_EQ(g_calls, 0);
    EXPECT_TRUE(log.Contains("ChsTpModifyValue: 7"));

    std::string tooBig = "v%99999999999";
    EXPECT_NE(ChsTpModifyValue(tooBig, &result), 0);
    EXPECT_EQ(result, 7) << "an out-of-range value changes nothing";
    std::string noSlot = "v%3";
    EXPECT_NE(ChsTpModifyValue(noSlot, nullptr), 0);
}

TEST_F(TracePointTest, ResetRunsThePlatformResetProgram) {
    WriteText(root.Join("reset.sh"), "#!/bin/sh\necho \"args=$* home=${HOME:-none}\" > " + root.Join("reset.out") + "\n");
    chmod(root.Join("reset.sh").c_str(), 0755);
    ChsTpHandler(Marker("TP_R", "resetOS#$"), Recorder, nullptr, nullptr);
    EXPECT_TRUE(log.Contains("ChsResetLocalBoard"));
    std::string out = chs_test::ReadText(root.Join("reset.out"));
    EXPECT_EQ(out, "args=-f home=none\n") << "forced, with an empty environment";
}

TEST_F(TracePointTest, Handlers) {
    auto call = [](int (*handler)(void*), std::string arg) { return handler(arg.data()); };
    EXPECT_EQ(call(ChsTpMallocCallback, ""), -1);
    EXPECT_TRUE(log.Contains("(CHECK PARA FAILURE) strMemSize.empty() is false, return(RETURN_ERR)."));
    EXPECT_EQ(call(ChsTpMallocCallback, "0"), -1);
    EXPECT_TRUE(log.Contains("(CHECK PARA FAILURE) (uiMemSize < 1) is false, return(RETURN_ERR)."));
    EXPECT_EQ(call(ChsTpMallocCallback, "12a"), -1);
    EXPECT_EQ(call(ChsTpMallocCallback, "4096"), 0);
    EXPECT_TRUE(log.Contains("malloc size:4096 successed. the last byte is 0x55."));

    EXPECT_EQ(call(ChsTpCpuCallback, ""), -1);
    EXPECT_TRUE(log.Contains("(CHECK PARA FAILURE) strCpuLoop.empty() is false, return(RETURN_ERR)."));
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(call(ChsTpCpuCallback, "100000"), 0);
    EXPECT_GE(ElapsedMs(start), 50);
    EXPECT_LT(ElapsedMs(start), 5000) << "the busy period is bounded";

    EXPECT_EQ(call(ChsTpHandlerCallback, ""), -1);
    EXPECT_TRUE(log.Contains("(CHECK PARA FAILURE) strHandlerNum.empty() is false, return(RETURN_ERR)."));
    EXPECT_EQ(call(ChsTpHandlerCallback, "3"), 0);
    EXPECT_TRUE(log.Contains("Opened 3 of 3 handler test files."));
    struct stat st {};
    EXPECT_NE(stat(root.Join("VXA/coffer_data/omm/export_import/chs/chs_handler_test0").c_str(), &st), 0)
        << "the test files are removed";
}

std::atomic<int> g_runs{0};
int CountRun(void*) {
    ++g_runs;
    return 0;
}

TEST_F(TracePointTest, MarkersPassedTogetherNeverExceedTheRunLimit) {
    constexpr uint32_t kAllowed = 200;
    Marker("TP_RACE", "run#x$" + std::to_string(ChsTpRunTimes() + kAllowed));

    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (uint32_t i = 0; i < kAllowed; ++i) {
                ChsTpCheckPoint("TP_RACE", CountRun);
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(g_runs.load(), static_cast<int>(kAllowed));
}

}  // namespace
