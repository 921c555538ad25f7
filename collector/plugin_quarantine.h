// Plugins kept out of the daemon after their code faulted.
//
// The fatal-signal handler appends the faulting plugin to the quarantine file
// (infra/plugin_fault.h). At the next start the engine asks
// ChsQuarantineSkips for every configured plugin: a quarantined one is not
// loaded, which is logged and raised as an operation-log entry, and the node
// status lists it. The release request (chsctl plugin release NAME) removes
// the entry and loads the plugin at once, starting its drivers when
// collection is on.
//
// Thread safety: every function may be called from any thread.
#pragma once

#include <string>
#include <vector>

#include "infra/plugin_fault.h"
#include "msg/inner_msg.h"

// Points the fault handler at this node's quarantine file and reads it. Call
// once, before the first plugin is loaded.
void ChsQuarantineInit();

// Whether the configured plugin `name` (library `libPath`) is quarantined;
// if so it is remembered as skipped, logged and raised as an operation-log
// entry (sent from a thread of its own: the alarm service may be slow).
bool ChsQuarantineSkips(const std::string& name, const std::string& libPath);

// The plugins this start skipped and that are still quarantined.
std::vector<QuarantinedPlugin> ChsQuarantinedPlugins();

// The release request: cell chs_wire::PLUGIN_RELEASE_TAG_NAME names the plugin.
// Answers 0 with a description of what happened, or a RESULT_PLUGIN_* code.
void HandleReleasePlugin(InnerMsg& msg);
