// Packaging of the node-level collected files (request 0x70003004): the
// files "node*.tgz" of the collector's node directory are packed with tar
// into "collector_chs_file_<controller name>.tgz" in the export directory,
// and the answer names the archive, so that the caller can fetch it.
//
// The handler is served by the dispatcher; packaging requests take turns on
// its task thread. The other functions keep no state and may run on any thread.
#pragma once

#include <cstdint>
#include <string>

#include "msg/inner_msg.h"

constexpr const char* CHS_PKG_EXPORT_DIR = "/VXA/coffer_data/omm/export_import/chs/export";
constexpr const char* CHS_PKG_NAME_PREFIX = "collector_chs_file_";
constexpr const char* CHS_PKG_NAME_SUFFIX = ".tgz";
constexpr const char* CHS_PKG_SOURCE_PATTERN = "node*.tgz";
constexpr const char* CHS_PKG_DISK_PATH = "/VXA/coffer_data";
constexpr uint32_t CHS_PKG_NEED_DISK_MB = 20;
constexpr int32_t CHS_PKG_FAILED = -1;
// The bound of tar: a base plus a share per megabyte of input.
constexpr uint32_t CHS_PKG_TAR_BASE_MS = 6000;
constexpr uint32_t CHS_PKG_TAR_MS_PER_MB = 100;
constexpr uint32_t CHS_PKG_CMD_TIMEOUT_MS = 6000;
constexpr const char* CHS_PKG_FILE_MODE = "660";

void HandlePkgCollectorFile(InnerMsg& request);
// Answers `request` with `result` in cell 4095 and `path` in cell 0.
void RspPkgChsFileMsg(InnerMsg& request, int32_t result, const std::string& path);

// The system path of this node's archive. 0, or -1 when the controller name
// cannot be read or cannot be part of a file name.
int32_t AssemblyExportFileName(std::string& name);
// The number of files matching CHS_PKG_SOURCE_PATTERN directly in the
// collector's node directory (0 when it cannot be read).
uint32_t InquireNodeChsFileCount();
// Packs the files matching `pattern` directly in `sourceDir` into `archive`
// (system or real paths); tar's exit status, or -1 for a pattern that is not
// a plain file-name glob.
int32_t CompressChsFile(const std::string& archive, const std::string& sourceDir, const std::string& pattern);

// 0 when the coffer disk has `needMB` free, else all ones.
uint32_t IsDiskSpaceEnough(uint32_t needMB);
// Free megabytes of the file system holding the system path `path`. 0 or -1.
int32_t GetDiskCofferMem(uint32_t& freeMB, const std::string& path);

// 0 when `path` (a system path) exists, else -1 with a log line.
int32_t CheckFileIsExist(const std::string& path);
// Hands the file `path` out to users: owner, mode 660. 0 or the failing status.
int32_t ModifyFilePermi(const std::string& path);
