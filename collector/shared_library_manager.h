// Opening and closing plugin libraries. The name rule lives here so that no
// other code hands a path to the dynamic loader.
#pragma once

#include <string>

class SharedLibraryManagerClass {
  public:
    // Opens `path` with RTLD_NOW. Null, after logging why, when the name
    // does not end in ".so" (the first ".so" of the path must be its last
    // three characters) or the loader refuses the file. The caller owns the
    // handle and gives it back with UnloadLib.
    static void* LoadLib(const std::string& path);
    static void UnloadLib(void* handle);

    // The name rule alone.
    static bool IsValidSoName(const std::string& path);
};
