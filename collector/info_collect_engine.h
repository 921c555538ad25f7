// The collection engine is declared in the host interface that plugins
// compile against; the daemon includes that same header so that host and
// plugins share one declaration of every class they exchange.
#pragma once

#include "include/infocollector/engine.h"
