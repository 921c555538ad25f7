// Path and file helpers, and the last-record file stack (fPush / fPop /
// fReadTail) that the file encryption keeps its trailer records in.
//
// Results follow the daemon's convention: 0 for success, 0xFFFFFFFF for
// failure, unless a function says otherwise. None of them locks the file: two
// threads working on the same file must take turns themselves. Otherwise the
// functions keep no state and may run on several threads at once.
#pragma once

#include <cstdint>
#include <string>

constexpr unsigned int CHS_FILE_ERR = 0xFFFFFFFF;
// getProcessFileFullPath reads the link into a buffer of this size.
constexpr unsigned int CHS_PROC_PATH_BUF = 510;
// Bound of the "mv" a moveFile runs; a move across file systems copies the
// data, so the bound is that of the runner's long jobs.
constexpr uint32_t CHS_MOVE_FILE_TIMEOUT_MS = 540000;

// The text after the last '/' or '\' (all of it when there is none).
std::string baseName(const std::string& path);
// The text up to and including the last '/' (empty when there is none).
std::string dirName(const std::string& path);
// The daemon's own executable; empty when the link cannot be read or does not
// fit the 510-byte buffer.
std::string getProcessFileFullPath();

// Stores the size of a regular file. 0xFFFFFFFF when it cannot be opened, is
// not a regular file or is too large for 32 bits (the size is then untouched).
unsigned int getFileSize(const std::string& path, unsigned int& size);
// True when the file can be opened for reading.
bool isFileExist(const std::string& path);
// remove()'s result when the file exists, else 0.
int deleteFile(const std::string& path);

// Copies `source` to targetDirectory + baseName(source) (no separator is
// added: pass the directory with its trailing '/'). The target is created or
// truncated. 0xFFFFFFFF when either file cannot be opened or a read or write
// fails. Copying a file onto itself leaves it as it is and succeeds.
unsigned int copyFile(const std::string& source, const std::string& targetDirectory);
// Runs "mv -f <source> <target> 2>/dev/null 1>/dev/null" through the command
// runner; both paths travel as quoted shell words, and a path beginning with
// '-' is passed as "./-..." so that mv cannot read it as an option. The exit
// status of mv, or CHS_EXEC_ERR when the runner failed or a path holds a NUL.
int32_t moveFile(const std::string& source, const std::string& target);

// Whole-file binary read / write (write creates or truncates). False when the
// file cannot be opened or the read or write fails.
bool ReadFile(const std::string& path, std::string& text);
bool WriteFile(const std::string& path, const std::string& text);
// Cuts an existing file to `length` bytes. 0 when the file could be opened:
// a failed truncation is only logged. 0xFFFFFFFF when it could not be opened.
unsigned int chs_ftruncate(const std::string& path, const unsigned long& length);

// Last-record file stack.
// fPush appends `size` bytes (the file is created when missing). 0xFFFFFFFF
// for null data, a file that cannot be opened or a failed write.
unsigned int fPush(const std::string& path, const char* data, const unsigned long& size);
// fPop moves the last `size` bytes into `buffer` and cuts them off the file.
// 0xFFFFFFFF for a null buffer, a file that cannot be opened, a file shorter
// than `size` (nothing changes then), or a failed read or truncation.
unsigned int fPop(const std::string& path, char* buffer, const unsigned long& size);
// fReadTail reads the last `size` bytes and leaves the file as it is; failures as fPop.
unsigned int fReadTail(const std::string& path, char* buffer, const unsigned long& size);
