// Bringing a file another process reports (the running data, the
// alarm-and-event file) into the diagnose directory. The location comes from
// an answer of another process and is not trusted: it must be a system path
// below the coffer tree without "..", it must still lie there once every
// symbolic link is resolved, and only a regular file is read, opened without
// following a link. The copy is made under a staging name that the merge
// never packs and is put in place under its final name only when complete,
// never over an existing file; a failed copy leaves nothing behind.
//
// Stateless; the functions may run on several threads at once as long as
// each uses its own staging name.
#pragma once

#include <cstdint>
#include <string>

#include "export/export_frame.h"

// Where a reported data file may lie.
constexpr const char* DATA_FILE_SOURCE_ROOT = "/VXA/coffer_data/";

// True for an absolute system path below DATA_FILE_SOURCE_ROOT without a ".."
// component, whose last component is an acceptable name.
bool IsAcceptedDataSource(const std::string& systemPath);
// True for a plain file name that cannot stand for anything else in the
// diagnose directory or the merge: not hidden, no '/', not a package name
// or the merged file ("DiagnoseInfo..." / "DiagoseInfo...") and not the
// merge's "temp".
bool IsAcceptedDataFileName(const std::string& name);

// Opens the regular file of the system path `systemPath` (mapped below the
// node root) for reading: -1 (logged) when it is not accepted, resolves
// outside the coffer tree, is a link or not a regular file. `size` gets its
// size. The caller closes the descriptor.
int OpenDataSource(const std::string& systemPath, uint64_t& size);

// Copies the first `size` bytes of `sourceFd` into the new file `realTarget`
// (created exclusively, never through a link). 0, or -1 with the target removed.
int32_t CopyToNewFile(int sourceFd, uint64_t size, const std::string& realTarget);

// Gives the complete file `realStaging` its final name `realFinal` in the same
// directory without replacing anything there. 0, or -1 (staging removed).
int32_t PublishDataFile(const std::string& realStaging, const std::string& realFinal);

// The size of the regular file `realPath` (not followed when a link). false
// when it cannot be read.
bool RegularFileSizeNoFollow(const std::string& realPath, uint64_t& size);

// Whether the export record still belongs to the export of `generation` (a
// clear or a new start moves it on, and a late thread then drops its result).
bool IsCurrentExport(uint32_t generation);
// Sets `block`'s status under the record's lock when the record still belongs
// to `generation`, and wakes the gathering.
void SettleDataBlock(tagCOLLECOR_EXPORT_DATA_S& block, uint32_t generation, uint32_t status);
