// The collection engine is declared in the host interface that plugins
// compile against; the daemon includes that same header so that host and
// plugins share one declaration of every class they exchange.
#pragma once

#include "include/infocollector/engine.h"

#include <string>

// Loads plugin `name` of the configuration from `libPath` as LoadPlugin does,
// with its code recorded under `name` for the fatal-signal handler.
void ChsLoadNamedPlugin(InfoCollectEngineClass& engine, const std::string& name, const std::string& libPath);
