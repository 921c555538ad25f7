// Platform state overrides: facts that are hard to reach for real (an upgrade
// in progress, a node offline, little free disk) can be forced by a file
// <cluster>/state/<name> or, in-process, by Set(). Every query reads them
// afresh, so a change takes effect at the next query.
//
// Names in use:
//   upgrade_mode, oem_mode, dns            "1" or "0"
//   power_on_phase                          number (0 = controller not powered on)
//   node<N>_offline                         present = node N reported offline
//   unmounted                               one system path per line reported as not mounted
//   free_disk_mb, free_mem_mb               number of megabytes reported free
//   lun_status                              number handed to the LUN-status callback
//   ccdb_status                             number reported by the configuration database
//
// Thread-safe.
#pragma once

#include <optional>
#include <string>

namespace platform {
namespace state {

void SetDir(const std::string& dir);  // "" turns file overrides off
std::string Dir();

// In-process overrides come first, then the file; the text is trimmed of white space.
std::optional<std::string> Get(const std::string& name);
std::optional<long long> GetNumber(const std::string& name);  // nullopt when absent or not a number
bool IsSet(const std::string& name);                          // present and not "0"

void Set(const std::string& name, const std::string& value);
void Clear(const std::string& name);
void ClearAll();  // in-process overrides only

}  // namespace state
}  // namespace platform
