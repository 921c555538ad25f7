// Process placement at start-up: the platform control group of the process
// and the scheduler strategy of the calling thread. Called from main() before
// any other thread exists.
#pragma once

// Runs "<script> -m <name> <pid>" through system(), the script being the
// platform profile's absolute path of omm_cgroup.sh (never looked up in PATH);
// the command text must fit 256 bytes. A null name does nothing. Script and
// name travel as quoted shell words. 0 when the script ran and exited with 0,
// -1 otherwise (logged).
int CGroup_Init(const char* name);

// Hands {policy, priority 0, name} to dpax_initThreadStrategy(0, ...) and
// selects `strategy` with dpax_setCurThreadStrategy. Refused (-1, nothing
// handed over) for a null name, a name that does not fit the platform's 64
// bytes, a strategy of 6 or more, or a policy other than 0, -10, -15 and -18.
// 0 when both platform calls accepted; otherwise the failing call's result.
int ThreadStrategyInit(unsigned int strategy, int policy, const char* name);
