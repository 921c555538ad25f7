// omlib: the daemon's thin layer over the platform's cluster and node services.
// Node ids are unsigned 16-bit; results of 0 mean success unless said otherwise.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace omlib {

using LunStatusCallback = void (*)(int32_t status);

int clusterInit(int processType, unsigned int processFlags, int processSubType, const char* nodeIdText,
                const char* nodeRoot, const char* clusterFile);
int ShmInit();
int regOmmlunIsvalid(LunStatusCallback callback);
// Blocks, polling once per second, until the local controller's power-on
// phase is not 0.
void WaitSystemMasterReady();

uint16_t getLocalNidInUser();
int getMasterNid(uint16_t& nodeId);
int getOnlineMap(uint32_t& bitMap);  // cleared first; bit n = node n alive
uint32_t GetClusterCfgNodesNum();    // 0 when not readable
uint32_t getConfigNodeNum();
int getControllerName(uint16_t nodeId, std::string& name);
int getControllerID(const std::string& name, uint16_t& nodeId);
int getProductSN(char* serial, uint32_t size);
int getProductSN(std::string& serial);
bool IsOemMode();
bool isUpgradeMode();
int testDiskMount(const std::string& path);
// Fetches `source`, a system path below /VXA/coffer_data/ of node `nodeId`,
// into the real local path `destination` (a file, or a directory to receive
// it under its own name), waiting at most `timeoutSec` for each chunk. 0, or
// an OM_FILE_ERR_* code of platform/om_file_copy.h.
int getFileFromOtherNode(uint16_t nodeId, const std::string& source, const std::string& destination,
                         uint32_t timeoutSec);
// -1 when the node has no internal address.
int getInternalMgmtIPByNID(uint16_t nodeId, std::vector<std::string>& ips);
int getInternalMgmtIPByNID(uint16_t nodeId, std::string& joined);  // addresses joined by ","
// An address passes unchanged; a name is resolved only when DNS is deployed.
// 0, or 0x4040CA1C (no DNS), 0x4000EE04 (name unknown), 0x40E05B21 (other failure).
uint32_t ParseHostnameToIp(const std::string& host, std::string& ip, uint16_t port = 0, uint32_t tries = 5,
                           uint32_t timeoutSec = 3);

// The platform SQLite layer. `path` is a system path ("/VXA/..."): these two
// map it below the node root, so callers pass system paths and the platform
// layer below takes real ones. 0, or the platform's error code (SQLite result
// code). queryDb calls `callback` once as OMDB_QueryDb does
// (platform/om_db.h) and returns its result when the query ran.
using DbQueryCallback = int (*)(void* context, char** table, int rows, int columns, const char* errorText);
int operateDb(const std::string& path, const std::string& sql);
int queryDb(const std::string& path, const std::string& sql, DbQueryCallback callback, void* context);

// Bit numbers of 32 or more test false and change nothing.
bool TestBit(uint32_t word, uint32_t bit);
void SetBit(uint32_t& word, uint32_t bit);

// The poll period of WaitSystemMasterReady (1000 ms); tests lower it.
extern uint32_t g_uiPowerOnPollMs;

}  // namespace omlib
