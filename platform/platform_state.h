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

// Waits for the overrides to change, so that a watcher need not poll: Wait()
// returns once a file of the state directory has been written, moved or
// removed, or Set, Clear, ClearAll or SetDir has run, since the previous
// Wait() (or the construction). Where the directory cannot be watched (none
// set, missing, no inotify) Wait() returns after at most a second. One
// waiter belongs to one thread.
class ChangeWaiter {
public:
    ChangeWaiter();
    ~ChangeWaiter();
    ChangeWaiter(const ChangeWaiter&) = delete;
    ChangeWaiter& operator=(const ChangeWaiter&) = delete;

    void Wait();

private:
    void Watch();  // (re)watches the current directory

    int m_iNotifyFd = -1;  // inotify: the directory's files
    int m_iWatch = -1;
    std::string m_strWatched;
    int m_iEventFd = -1;  // signalled by the in-process changes
};

}  // namespace state
}  // namespace platform
