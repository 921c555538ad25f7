// A fake of the daemon for a plugin's unit tests: it defines the host
// functions the plugin calls, keeps what the plugin asked for, and lets the
// test set the plugin's parameters and its node directory. Add the host
// functions your plugin uses, in the same manner.
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "infocollector/file_handoff.h"

class InputDriverBase;

namespace fake_host {

struct State {
    std::mutex mutex;
    std::string nodeDir;                              // ends in '/'
    std::map<std::string, std::string> parameters;    // name -> first value
    std::map<std::string, InputDriverBase*> drivers;  // registered input drivers
    std::vector<std::string> recorded;                // insertPluginRecord
    std::vector<std::string> sent;                    // pluginSendFileWithResult
    std::vector<std::string> logged;                  // PluginLog

    // Hand-offs whose result is still to come.
    struct PendingSend {
        std::string file;
        PluginSendResultFunc onResult;
        void* context;
    };
    std::vector<PendingSend> pending;
};

State& Host();

// Calls the result function of every pending hand-off once, with `outcome`
// and `code`, on the calling thread, as the daemon's message thread would.
// The number of results given.
size_t AnswerSends(PluginSendOutcome outcome, uint32_t code);

// Registers the plugin's drivers with a fake engine, as the daemon does
// after loading it. The result of RegisterPlugin.
int RegisterWithFakeEngine();

}  // namespace fake_host
