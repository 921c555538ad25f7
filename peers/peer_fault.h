// Fault control of the sibling modules, so that tests reach the daemon's
// failure paths: the state override "peer<pid>_mode" (platform state, read
// afresh for each request) holds one of
//   ok              answer normally (also when the override is absent)
//   delay:<ms>      wait that long, then answer normally
//   fail:<code>     answer with <code> (decimal or 0x-hexadecimal) in cell 4095
//   silent          never answer
// Stateless; thread-safe.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace chs_peers {

struct FaultMode {
    enum Kind { OK, DELAY, FAIL, SILENT };
    Kind eKind = OK;
    uint32_t uiValue = 0;  // milliseconds for DELAY, the result code for FAIL
};

// Longest delay a mode may ask for, so that a typing slip cannot park a worker for hours.
constexpr uint32_t FAULT_MAX_DELAY_MS = 600000;

// nullopt for a text that is none of the forms above.
std::optional<FaultMode> ParseFaultMode(const std::string& text);

std::string FaultStateName(uint16_t pid);

// The mode now in force for `pid`: OK when the override is absent or
// malformed (a malformed one is logged).
FaultMode CurrentFaultMode(uint16_t pid);

}  // namespace chs_peers
