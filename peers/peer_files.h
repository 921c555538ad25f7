// File work of the export services, done through directory descriptors so
// that a symbolic link put in the way (by a careless script or by someone
// who wants a package to carry another file) is never followed: directories
// are walked one component at a time with O_NOFOLLOW, source files are opened
// with O_NOFOLLOW and taken only when they are regular files.
//
// Stateless; thread-safe. The descriptors belong to the caller.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace chs_peers {

// An open directory descriptor, closed with the object.
class DirFd {
  public:
    DirFd() = default;
    explicit DirFd(int fd) : m_fd(fd) {}
    ~DirFd();
    DirFd(DirFd&& other) noexcept : m_fd(other.Release()) {}
    DirFd& operator=(DirFd&& other) noexcept;
    DirFd(const DirFd&) = delete;
    DirFd& operator=(const DirFd&) = delete;

    int Get() const { return m_fd; }
    bool Valid() const { return m_fd >= 0; }
    int Release();

  private:
    int m_fd = -1;
};

// Opens `root`/`relative` (`relative` may start with '/': a system path below
// the root). The root is trusted and may itself be reached through links;
// below it no component may be a link, "." or "..". With `create`, missing
// components are made (mode 0755). An invalid DirFd with the reason in `why`;
// `missing` tells a component that does not exist from every other failure.
DirFd OpenDirBelow(const std::string& root, const std::string& relative, bool create, std::string& why,
                   bool* missing = nullptr);

// Makes (or opens, without following a link) the directory `name` in `parent`.
DirFd MakeSubDir(int parent, const std::string& name, std::string& why);

// The names in `dir` of regular files, sorted, at most `limit`; `more` tells
// whether there were more. Links and other entries that are neither regular
// files nor directories are counted in `skipped`.
std::vector<std::string> RegularFiles(int dir, size_t limit, bool& more, size_t& skipped);

enum class CopyOutcome { COPIED, CUT, ABSENT, SKIPPED, FAILED };

// Copies the regular file `name` of `fromDir` to `toName` in `toDir` (which
// must not exist). A file longer than `limit` bytes is cut to its last
// `limit` bytes (the newest lines of a log): CUT. ABSENT: no such file;
// SKIPPED: a link or not a regular file; FAILED: `why` says.
// `copied` receives the bytes written.
CopyOutcome CopyFileTail(int fromDir, const std::string& name, int toDir, const std::string& toName,
                         uint64_t limit, uint64_t& copied, std::string& why);

// Writes all `size` bytes to `fd`, resuming after interruptions. false when
// a write fails.
bool WriteAll(int fd, const char* data, size_t size);

// A name for a file inside a directory: not empty, not "." or "..", no '/'.
bool IsPlainName(const std::string& name);

}  // namespace chs_peers
