// Fault control of the sibling modules, so that tests reach the daemon's
// failure paths. Every override is a platform state (a file in
// <cluster>/state/, read afresh for each request).
//
// Modes. "peer<pid>_mode" applies to every request of endpoint <pid>;
// "peer<pid>_<behaviour>_mode", when present, takes its place for that one
// behaviour (so "peer561_mode" = fail:5 with "peer561_alarm-entry_mode" = ok
// fails everything but the alarm entries). Each holds one of
//   ok              answer normally (also when the override is absent)
//   delay:<ms>      wait that long, then answer normally
//   fail:<code>     answer with <code> (decimal or 0x-hexadecimal) in cell 4095
//   silent          never answer
// Behaviours: 561 export-start, export-status, export-package, export-clear,
// export-stop, log-list, alarm-entry; 569 running-data.
//
// Answer shaping (numbers, decimal or 0x-hexadecimal):
//   peer561_export_total        the overall state every export status answer
//                               reports, e.g. 0x05000531 (the export never
//                               ends); 0x4000C933 is reported together with
//                               that code as the failure in cell 4095
//   peer569_running_data_pad    bytes of padding (white space after the JSON)
//                               added to the running-data file
//
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

// "peer<pid>_mode", or "peer<pid>_<behaviour>_mode" for a behaviour.
std::string FaultStateName(uint16_t pid, const std::string& behaviour = "");

// The mode now in force for `behaviour` of `pid` (empty: the endpoint's own
// mode), and in `source` the override it came from (empty when none). OK when
// no override applies; a malformed override is logged and ignored.
FaultMode CurrentFaultMode(uint16_t pid, const std::string& behaviour = "", std::string* source = nullptr);

// The number held by the state override `name` (decimal or 0x-hexadecimal, at
// most `max`); nullopt when absent, logged and nullopt when malformed.
std::optional<uint64_t> StateNumber(const std::string& name, uint64_t max);

}  // namespace chs_peers
