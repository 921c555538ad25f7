// Cluster and node services of the platform: cluster attach, node identity,
// liveness, controller names, serial number, modes, power-on phase, disk
// mounts, internal management addresses and name resolution.
//
// A node is online while its daemon holds its presence lock
// <cluster>/run/node<N>.presence (taken by OMClusterInit and held for the life
// of the process), unless the state override node<N>_offline says otherwise.
// All calls are thread-safe once OMClusterInit has returned.
#pragma once

#include <cstdint>
#include <string>

#include "platform/cluster_config.h"

constexpr uint32_t OM_INTERNAL_IP_LEN = 16;
constexpr uint32_t OM_INTERNAL_IP_NUM = 16;

struct tagOM_INTERNAL_IP_S {
    uint32_t uiIpNum;
    char acIp[OM_INTERNAL_IP_NUM][OM_INTERNAL_IP_LEN];
};
static_assert(sizeof(tagOM_INTERNAL_IP_S) == 260, "internal address record is 260 bytes");

// Attaches the process to the cluster described by `clusterFile` as node
// `nodeIdText` with its root directory `nodeRoot`. The first three numbers
// identify the caller to the process manager and are only logged. Returns 0,
// or -1 after writing a one-line reason to standard error.
int OMClusterInit(int processType, unsigned int processFlags, int processSubType, const char* nodeIdText,
                  const char* nodeRoot, const char* clusterFile);
int OMLIB_ShmInit(void);

// Called from a platform thread with each new LUN status (state override
// lun_status, looked at whenever the overrides change). Registering again replaces the callback.
typedef void (*OM_LUN_STATUS_CHANGE_FN)(int32_t status);
int OM_RegOmmLunStatusChangeFunc(OM_LUN_STATUS_CHANGE_FN callback);

int getLocalCtrlPowerOnPhase(uint32_t* phase);
int OMLIB_getLocalNodeID(uint16_t* nodeId);
int OMLIB_getMasterNodeID(uint16_t* nodeId);
int OMLIB_getAliveNodeBitMap(uint32_t* bitMap);
int OM_GetClusterCfgNodesNum(uint32_t* count);
int GET_NODE_NAME(uint16_t nodeId, char* name, uint32_t size);
int CONVERT_CTRLNAME_TO_NODE_ID(const char* name, uint16_t* nodeId);
int OMLIB_getClusterSN(char* serial, uint32_t size);
int OMLIB_IsOemMode(bool* oem);
int OMLIB_getAllUpgradeMode(bool* upgrading);
int OM_TestDiskMount(const char* path);
int OMLIB_GetInternalMgmtIPByNID(uint16_t nodeId, tagOM_INTERNAL_IP_S* ips);
int OM_IsDNSAddrDeployed(bool* deployed);
// Resolves `host` into `ip` (at most size - 1 bytes). Returns 0, 2 when the
// name does not resolve, another non-zero value on any other failure.
int NET_GetServerCanConnectIp(const char* host, uint16_t port, char* ip, uint32_t size, uint32_t tries,
                              uint32_t timeoutSec);

namespace platform {

// For the platform's own services and for tests: the cluster the process is
// attached to (empty before OMClusterInit) and an attach without the process
// manager's arguments. AttachCluster does not take the presence lock when
// `holdPresence` is false (tools that are not a node's daemon).
const ClusterConfig& Cluster();
bool AttachCluster(const std::string& clusterFile, uint16_t nodeId, const std::string& nodeRoot,
                   bool holdPresence, std::string& error);
void DetachCluster();  // releases the presence lock; for tests
bool IsNodeOnline(uint16_t nodeId);

}  // namespace platform
