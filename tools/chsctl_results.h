// What the result codes of the daemon's answers mean, in a few words for the
// person at the command line. One table for every subcommand, so that a code
// reads the same whichever request it answers; a subcommand whose request
// gives a code a narrower sense (the stop of a remote log task answers -1 for
// a wrong task id) says so itself before falling back to this table.
#pragma once

#include <cstdint>

namespace chs_tools {

// The meaning of `code`, or nullptr for a code chsctl does not know.
const char* ResultMeaningOf(uint32_t code);

// Prints "failed: result 0x%08X (meaning)" on standard error, the meaning
// from the table (left out for an unknown code), and returns kExitFailed.
int ReportResult(uint32_t code);

}  // namespace chs_tools
