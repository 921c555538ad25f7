// chsctl status: the state of every node of the cluster in one screen.
#include <cstdio>

#include "tools/chsctl_commands.h"

namespace chs_tools {

int RunStatus(const ControlOptions&) {
    fprintf(stderr, "chsctl: status is not served yet\n");
    return kExitFailed;
}

}  // namespace chs_tools
