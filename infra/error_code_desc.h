// Error texts: the process-wide table of result-code texts and the system's
// text for an errno value.
#pragma once

#include <map>
#include <string>

// Code -> text of the result codes returned to requesters. Filled once by the
// export framework during start-up, before any thread reads it; read-only
// afterwards, so readers need no lock.
extern std::map<unsigned int, std::string> errorCodeDescMap;

// The text of `code`, or an empty text for a code the table lacks.
std::string GetErrorCodeDesc(unsigned int code);

// The system's text for `err`, or for the current errno when `err` is 0
// (at most 255 characters). Thread-safe.
std::string sysError(int err);
