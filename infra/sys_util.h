// Free-memory and free-disk checks made before work that needs room.
//
// The figures are read directly rather than through "free -m" and "df -m":
//   memory: MemFree of /proc/meminfo, the "free" column that
//           "free -m | awk 'NR==2{print $4}'" reads. MemAvailable would also
//           count reclaimable cache; keeping MemFree keeps the thresholds
//           meaning what they were tuned for, and it never reports more room
//           than the original command did.
//   disk:   f_bavail of statvfs on the path mapped below the node root, the
//           "available" column of df for the file system holding the path.
//           Unlike grepping df for the path this also works where the path is
//           a plain directory (a simulated node), and cannot match another
//           mount whose name merely contains the path.
// The platform state overrides "free_mem_mb" and "free_disk_mb" replace the
// real figures when set. Whether the coffer disk is mounted is not judged
// here (OM_TestDiskMount does that).
//
// Results: 0 when at least the minimum is free, 0xFFFFFFFF otherwise or when
// the figure cannot be read. Stateless and thread-safe.
#pragma once

#include <string>

constexpr unsigned int CHS_CHECK_ERR = 0xFFFFFFFF;

unsigned int CHS_CheckSysAvailMem(unsigned int minimumMB);
// `mountPath` is a system path ("/VXA/coffer_data"); an empty path fails.
unsigned int CHS_CheckDiskCofferMem(const std::string& mountPath, unsigned int minimumMB);
// The disk check, then the memory check; true when both pass.
bool CHS_CheckSpace(unsigned int memoryMB, unsigned int diskMB, const std::string& mountPath);
