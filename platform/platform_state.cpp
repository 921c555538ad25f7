#include "platform/platform_state.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <vector>

namespace platform {
namespace state {
namespace {

std::mutex g_mutex;
// Never destroyed: threads still running while the exit handlers run read the
// node flags (an offline node, the upgrade mode) through them.
std::string& g_dir = *new std::string();
std::map<std::string, std::string>& g_values = *new std::map<std::string, std::string>();
// The event descriptors of the live change waiters; under g_mutex.
std::vector<int>& g_waiters = *new std::vector<int>();

// Caller holds g_mutex.
void NotifyWaiters() {
    uint64_t one = 1;
    for (int fd : g_waiters) {
        ssize_t written = write(fd, &one, sizeof one);
        (void)written;  // a full counter has a wake-up pending anyway
    }
}

std::string TrimSpace(const std::string& text) {
    const char* ws = " \t\r\n";
    size_t begin = text.find_first_not_of(ws);
    if (begin == std::string::npos) {
        return "";
    }
    size_t end = text.find_last_not_of(ws);
    return text.substr(begin, end - begin + 1);
}

}  // namespace

void SetDir(const std::string& dir) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_dir = dir;
    NotifyWaiters();
}

std::string Dir() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_dir;
}

std::optional<std::string> Get(const std::string& name) {
    std::string dir;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        auto it = g_values.find(name);
        if (it != g_values.end()) {
            return it->second;
        }
        dir = g_dir;
    }
    // Names are fixed by the platform code, never taken from a request, but a
    // separator in one would still leave the state directory: refuse it.
    if (dir.empty() || name.empty() || name.find('/') != std::string::npos) {
        return std::nullopt;
    }
    std::ifstream in(dir + "/" + name, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    std::ostringstream text;
    text << in.rdbuf();
    return TrimSpace(text.str());
}

std::optional<long long> GetNumber(const std::string& name) {
    std::optional<std::string> text = Get(name);
    if (!text || text->empty()) {
        return std::nullopt;
    }
    errno = 0;
    char* end = nullptr;
    long long value = std::strtoll(text->c_str(), &end, 10);
    if (errno != 0 || end == nullptr || *end != '\0') {
        return std::nullopt;
    }
    return value;
}

bool IsSet(const std::string& name) {
    std::optional<std::string> text = Get(name);
    return text.has_value() && *text != "0";
}

void Set(const std::string& name, const std::string& value) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_values[name] = value;
    NotifyWaiters();
}

void Clear(const std::string& name) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_values.erase(name);
    NotifyWaiters();
}

void ClearAll() {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_values.clear();
    NotifyWaiters();
}

ChangeWaiter::ChangeWaiter() {
    m_iEventFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    m_iNotifyFd = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (m_iEventFd >= 0) {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_waiters.push_back(m_iEventFd);
    }
    Watch();
}

ChangeWaiter::~ChangeWaiter() {
    if (m_iEventFd >= 0) {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_waiters.erase(std::remove(g_waiters.begin(), g_waiters.end(), m_iEventFd), g_waiters.end());
        close(m_iEventFd);
    }
    if (m_iNotifyFd >= 0) {
        close(m_iNotifyFd);
    }
}

void ChangeWaiter::Watch() {
    std::string dir = Dir();
    if (m_iNotifyFd < 0 || (dir == m_strWatched && m_iWatch >= 0)) {
        return;
    }
    if (m_iWatch >= 0) {
        inotify_rm_watch(m_iNotifyFd, m_iWatch);
        m_iWatch = -1;
    }
    m_strWatched = dir;
    if (!dir.empty()) {
        m_iWatch = inotify_add_watch(m_iNotifyFd, dir.c_str(),
                                     IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM | IN_CREATE | IN_DELETE |
                                         IN_DELETE_SELF | IN_MOVE_SELF);
    }
}

void ChangeWaiter::Wait() {
    // Unwatchable: a look once a second, as a poll would.
    bool watched = m_iWatch >= 0 && m_iEventFd >= 0;
    struct pollfd fds[2] = {{m_iEventFd, POLLIN, 0}, {m_iNotifyFd, POLLIN, 0}};
    int ready = poll(fds, 2, watched ? -1 : 1000);
    if (ready < 0 && errno != EINTR) {
        usleep(1000 * 1000);  // never a busy loop
    }
    uint64_t count;
    while (m_iEventFd >= 0 && read(m_iEventFd, &count, sizeof count) > 0) {
    }
    alignas(struct inotify_event) char events[4096];
    bool gone = false;
    ssize_t got;
    while (m_iNotifyFd >= 0 && (got = read(m_iNotifyFd, events, sizeof events)) > 0) {
        for (ssize_t at = 0; at < got;) {
            const auto* event = reinterpret_cast<const struct inotify_event*>(events + at);
            gone = gone || (event->mask & (IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF)) != 0;
            at += static_cast<ssize_t>(sizeof(struct inotify_event) + event->len);
        }
    }
    if (gone && m_iWatch >= 0) {
        inotify_rm_watch(m_iNotifyFd, m_iWatch);
        m_iWatch = -1;  // watched again below once the directory is back
    }
    Watch();
}

}  // namespace state
}  // namespace platform
