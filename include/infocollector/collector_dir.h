// The collector directories as plugins see them: where each kind of collected
// file belongs, and the small directory and file operations the daemon lends
// to its plugins. The daemon exports these symbols; a plugin resolves them at
// load time, so it must be built with the same C++ standard library.
//
// Collected files live in one tree on the controller's coffer disk
// (/VXA/coffer_data/omm/export_import/chs/collector/) and, while the platform
// reports the array's LUN usable, in a second tree on that LUN
// (/VXA/lun_data/omm/chs/collector/).
//
// Paths: every absolute path handed to these functions is a system path
// ("/VXA/...") or a path already below the node root; the daemon maps system
// paths below the node root itself. Every argument travels to the shell as one
// quoted word, so names with blanks, quotes or "$(...)" are plain names.
//
// Thread safety: all functions may be called from any thread. They keep no
// state of their own; the medium InfocollectorGetPath chooses may change
// between two calls when the platform reports a new LUN status.
#pragma once

#include <cstdint>
#include <string>

// Kinds of collected files. 0 and 6 name the same directory.
enum INFO_COLLECTOR_PATH_TYPE : uint32_t {
    INFO_COLLECTOR_PATH_NODE = 0,           // "node/"
    INFO_COLLECTOR_PATH_NODE_TEMP = 1,      // "node/temp/", created on demand
    INFO_COLLECTOR_PATH_ARRAY = 2,          // "array/"
    INFO_COLLECTOR_PATH_ARRAY_TEMP = 3,     // "array/temp/", created on demand
    INFO_COLLECTOR_PATH_ALARM = 4,          // "alarm/"
    INFO_COLLECTOR_PATH_PERF = 5,           // "perf/"
    INFO_COLLECTOR_PATH_NODE_INFO = 6,      // "node/" as well
    INFO_COLLECTOR_PATH_DHA = 7,            // "dha/"
    INFO_COLLECTOR_PATH_RUNNING_DATA = 8,   // "running_data/"
    INFO_COLLECTOR_PATH_DIAGNOSE_DATA = 9,  // "diagnose_data/"
    INFO_COLLECTOR_PATH_BUTT                // number of path types; not a path type
};

// State of the LUN-backed collector storage, as the platform reports it.
// The underlying type is fixed so that any 32-bit value the platform sends
// can be held (values other than these are ignored).
enum _tagENUM_LUN_STATUS : int32_t {
    CHS_LUN_STATUS_UNUSABLE = 0,  // LUN storage not usable: the coffer tree is used
    CHS_LUN_STATUS_USABLE = 1,    // LUN storage usable: the LUN tree is used
    CHS_LUN_STATUS_INITIAL = 3,   // no report yet: the coffer tree is used
};

// The directory (with its trailing '/') of `type` on the current medium: the
// LUN tree while the LUN is usable, the coffer tree otherwise.
//
// The text is the REAL path, below the node root (on a controller, whose root
// is "/", it is the system path itself), so that a plugin can open files in it
// directly. Handing it back to the functions below is fine: a path already
// below the node root is not mapped a second time.
// A type above 9 is a caller error: throws std::logic_error.
std::string InfocollectorGetPath(INFO_COLLECTOR_PATH_TYPE type);

// Makes sure `dir` exists as a directory (created with `mode`, e.g. "750", and
// handed to the management owner). 0 when it exists or was created; -1 when
// the coffer disk is not mounted or the directory cannot be created.
int32_t TestAndRecoverSomeCollectorDir(std::string dir, std::string mode);

// Creates `dir` (with its parents) unless it is a directory already, then
// sets its mode, also on an existing directory. -1 when it cannot be created,
// otherwise the exit status of chmod.
int32_t CreateDir(std::string dir, std::string mode);

// Removes `dir` with everything below it. 0 when it does not exist, otherwise
// the exit status of "rm -rf".
int32_t DeleteDir(std::string dir);

// Deletes every regular file below `dir` and keeps the directories. Refused
// with -1 for a path shorter than 22 characters (as given, before mapping), a
// guard against emptying a system directory by mistake; otherwise the exit
// status of find.
int32_t CleanDirFile(std::string dir);

// Sets the group of `dir`. -1 (and a log line) when it does not exist,
// otherwise the exit status of chgrp.
int32_t ChangeDirGroup(std::string dir, std::string group);

// Sets the mode and the owner ("user:group") of `file`; a symbolic link gets
// the owner itself, its target is left alone. The exit status of the commands.
int32_t ChangeFilePermissions(const std::string& file, const std::string& mode, const std::string& owner);

// Packs every non-hidden entry of `dir` into the gzip-compressed tar file
// `archive`, with names relative to `dir`. A relative `archive` is taken
// relative to `dir`. Nothing is packed when `dir` cannot be entered. The exit
// status of tar (or of the failed cd).
int32_t CompressDirFile(std::string archive, std::string dir);

// Runs the collected-file cleaning script /VXA/script/collector_clean_file.sh
// on directory `first` (which must lie below a collector tree) keeping the
// `second` newest collected files; files whose names contain "alarm",
// "running" or "filelist.txt" are left alone. The exit status of the script
// (0 done, 1 bad arguments, 2 directory refused, 3 a file could not be removed).
int32_t CleanTarFile(std::string first, std::string second);
