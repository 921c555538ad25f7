#include <cerrno>
#include <cstdlib>

#include "tools/chsctl_commands.h"

namespace chs_tools {

bool ParseNumber(const char* text, unsigned long min, unsigned long max, unsigned long& value) {
    char* end = nullptr;
    errno = 0;
    value = strtoul(text, &end, 10);
    return *text >= '0' && *text <= '9' && *end == '\0' && errno == 0 && value >= min && value <= max;
}

}  // namespace chs_tools
