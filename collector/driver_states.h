// The run state of every input driver, and the bounded, parallel calls of
// their Start and Stop that keep it.
//
// Each Start or Stop runs on a thread of its own; the caller waits for all
// the calls of one batch together, at most the call limit (10 s unless the
// plugin configuration file says "driver_call_limit_sec"). A call that
// overruns is logged, its thread is left behind and its driver is shown as
// stuck until the call returns; no other call reaches that driver meanwhile.
// When a late call returns and the switch has changed since, the driver is
// brought to the wanted state once (a Start that returns after an "off" is
// followed by a Stop). At most kChsMaxLeftBehindCalls calls are left behind
// at a time; while that many are, further calls are refused and count as
// failed.
//
// Thread safety: every function may be called from any thread. Batches of
// one engine are expected to be serialised by the caller (the switch
// handler's mutex), as the engine's own calls are.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class InfoCollectEngineClass;
class InputDriverBase;

struct ChsDriverState {
    std::string strName;
    bool bRunning;  // its last Start succeeded and no Stop came since
    bool bStuck;    // a Start or Stop overran the limit and has not returned
};

// A snapshot of the input drivers of the daemon's engine, by name.
std::vector<ChsDriverState> ChsCollectDriverStates();

constexpr uint32_t kChsDriverCallLimitDefaultMs = 10000;
constexpr uint32_t kChsDriverCallLimitMaxMs = 600000;
constexpr size_t kChsMaxLeftBehindCalls = 16;

// The limit of one Start or Stop; values outside 1 ms..10 min are clamped.
void ChsSetDriverCallLimitMs(uint32_t limitMs);
uint32_t ChsDriverCallLimitMs();
// Calls left behind and not yet returned.
size_t ChsLeftBehindCalls();

// The drivers of `engine` whose Start or Stop failed (non-zero, threw,
// overran, was refused) in its last batch, by name.
std::vector<std::string> ChsLastFailedDrivers(const InfoCollectEngineClass* engine);

// ---- for the engine ----

namespace driver_run {

// Notes a registered input driver of `engine` (not running, not stuck).
void Add(const InfoCollectEngineClass* engine, const std::string& name, InputDriverBase* driver);
// Starts (or stops) the named drivers of `engine` in parallel, all of them
// when `names` is null, within the call limit; the names of those that
// failed, also kept for ChsLastFailedDrivers. `oneResult`, when given, gets
// the answer of a batch of one driver, or -1 when it gave none in time.
std::vector<std::string> Run(const InfoCollectEngineClass* engine, bool start,
                             const std::vector<std::string>* names = nullptr, int32_t* oneResult = nullptr);
// Whether a call of a driver of `engine` has not returned yet.
bool AnyInCall(const InfoCollectEngineClass* engine);
// Forgets `engine` and its drivers (its destructor).
void Forget(const InfoCollectEngineClass* engine);

}  // namespace driver_run
