#include "infra/plugin_fault.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>

namespace {

constexpr size_t kMaxRanges = 8;  // loadable segments per library
constexpr size_t kNameMax = 128;
constexpr size_t kPathMax = 512;
constexpr size_t kQuarantineMaxEntries = 64;
constexpr size_t kQuarantineLineMax = 4096;

struct PluginRange {
    uintptr_t start[kMaxRanges];
    uintptr_t end[kMaxRanges];
    size_t ranges;
    char name[kNameMax];
    char path[kPathMax];
};

// Filled under g_registerMutex; a slot becomes visible to the handler only
// when g_plugins is raised past it, after it is complete.
PluginRange g_table[kPluginFaultMaxPlugins];
std::atomic<size_t> g_plugins{0};
std::mutex g_registerMutex;
char g_quarantineFile[kPathMax];

void CopyCut(char* target, size_t size, const std::string& text) {
    size_t n = text.size() < size - 1 ? text.size() : size - 1;
    memcpy(target, text.data(), n);
    target[n] = '\0';
}

// Tabs and line ends would break the file's one-line-per-entry form.
std::string OneField(const std::string& text) {
    std::string out = text;
    for (char& c : out) {
        if (c == '\t' || c == '\n' || c == '\r') {
            c = ' ';
        }
    }
    return out;
}

}  // namespace

bool PluginFaultRegister(void* dlHandle, const std::string& name, const std::string& libPath) {
    struct link_map* map = nullptr;
    if (dlHandle == nullptr || dlinfo(dlHandle, RTLD_DI_LINKMAP, &map) != 0 || map == nullptr) {
        return false;
    }
    struct Search {
        uintptr_t base;
        PluginRange* slot;
    } search{static_cast<uintptr_t>(map->l_addr), nullptr};
    std::lock_guard<std::mutex> lock(g_registerMutex);
    size_t index = g_plugins.load(std::memory_order_relaxed);
    if (index >= kPluginFaultMaxPlugins) {
        return false;
    }
    PluginRange& slot = g_table[index];
    slot.ranges = 0;
    search.slot = &slot;
    dl_iterate_phdr(
        [](struct dl_phdr_info* info, size_t, void* data) -> int {
            Search* s = static_cast<Search*>(data);
            if (info->dlpi_addr != s->base) {
                return 0;
            }
            for (ElfW(Half) i = 0; i < info->dlpi_phnum && s->slot->ranges < kMaxRanges; ++i) {
                const ElfW(Phdr)& header = info->dlpi_phdr[i];
                if (header.p_type == PT_LOAD && (header.p_flags & PF_X) != 0) {
                    s->slot->start[s->slot->ranges] = info->dlpi_addr + header.p_vaddr;
                    s->slot->end[s->slot->ranges] = info->dlpi_addr + header.p_vaddr + header.p_memsz;
                    ++s->slot->ranges;
                }
            }
            return 1;
        },
        &search);
    if (slot.ranges == 0) {
        return false;
    }
    CopyCut(slot.name, sizeof(slot.name), OneField(name));
    CopyCut(slot.path, sizeof(slot.path), OneField(libPath));
    g_plugins.store(index + 1, std::memory_order_release);
    return true;
}

void PluginFaultSetQuarantineFile(const std::string& realPath) {
    std::lock_guard<std::mutex> lock(g_registerMutex);
    CopyCut(g_quarantineFile, sizeof(g_quarantineFile), realPath);
}

int PluginFaultFind(uintptr_t address) {
    size_t count = g_plugins.load(std::memory_order_acquire);
    for (size_t i = 0; i < count; ++i) {
        for (size_t r = 0; r < g_table[i].ranges; ++r) {
            if (address >= g_table[i].start[r] && address < g_table[i].end[r]) {
                return static_cast<int>(i);
            }
        }
    }
    return -1;
}

const char* PluginFaultName(int index) {
    if (index < 0 || static_cast<size_t>(index) >= g_plugins.load(std::memory_order_acquire)) {
        return "";
    }
    return g_table[index].name;
}

bool PluginFaultRecord(int index) {
    if (index < 0 || static_cast<size_t>(index) >= g_plugins.load(std::memory_order_acquire) ||
        g_quarantineFile[0] == '\0') {
        return false;
    }
    int fd = open(g_quarantineFile, O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0640);
    if (fd < 0) {
        return false;
    }
    char line[kNameMax + kPathMax + 2];
    size_t used = 0;
    const char* parts[] = {g_table[index].name, "\t", g_table[index].path, "\n"};
    for (const char* part : parts) {
        size_t n = strlen(part);
        memcpy(line + used, part, n);
        used += n;
    }
    bool written = write(fd, line, used) == static_cast<ssize_t>(used);
    close(fd);
    return written;
}

std::vector<QuarantinedPlugin> PluginQuarantineRead(const std::string& realPath) {
    std::vector<QuarantinedPlugin> entries;
    int fd = open(realPath.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        return entries;
    }
    std::string text;
    char buffer[4096];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof(buffer))) > 0 &&
           text.size() < kQuarantineMaxEntries * kQuarantineLineMax) {
        text.append(buffer, static_cast<size_t>(n));
    }
    close(fd);
    size_t pos = 0;
    while (pos < text.size() && entries.size() < kQuarantineMaxEntries) {
        size_t end = text.find('\n', pos);
        std::string line = text.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
        pos = end == std::string::npos ? text.size() : end + 1;
        size_t tab = line.find('\t');
        if (line.empty() || tab == 0 || line.size() > kQuarantineLineMax) {
            continue;
        }
        QuarantinedPlugin entry{line.substr(0, tab), tab == std::string::npos ? "" : line.substr(tab + 1)};
        bool known = false;
        for (const QuarantinedPlugin& other : entries) {
            known = known || other.strName == entry.strName;
        }
        if (!known) {
            entries.push_back(std::move(entry));
        }
    }
    return entries;
}

int PluginQuarantineRelease(const std::string& realPath, const std::string& name) {
    std::vector<QuarantinedPlugin> entries = PluginQuarantineRead(realPath);
    std::string rest;
    bool found = false;
    for (const QuarantinedPlugin& entry : entries) {
        if (entry.strName == name) {
            found = true;
        } else {
            rest += entry.strName + "\t" + entry.strLibPath + "\n";
        }
    }
    if (!found) {
        return 0;
    }
    std::string temp = realPath + ".new";
    int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0640);
    if (fd < 0) {
        return -1;
    }
    bool written = write(fd, rest.data(), rest.size()) == static_cast<ssize_t>(rest.size());
    written = fsync(fd) == 0 && written;
    close(fd);
    if (!written || rename(temp.c_str(), realPath.c_str()) != 0) {
        unlink(temp.c_str());
        return -1;
    }
    return 1;
}
