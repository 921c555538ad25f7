#include "include/infocollector/host_paths.h"

#include "platform/platform_profile.h"

std::string InfocollectorRealPath(const std::string& systemPath) { return platform::RealPath(systemPath); }
