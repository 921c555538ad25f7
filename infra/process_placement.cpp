#include "infra/process_placement.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "infra/chs_log.h"
#include "infra/string_util.h"
#include "platform/dpax_thread.h"
#include "platform/platform_profile.h"

namespace {

constexpr size_t kCGroupCmdLen = 256;
constexpr unsigned int kThreadStrategyCount = 6;

bool IsKnownPolicy(int policy) { return policy == 0 || policy == -10 || policy == -15 || policy == -18; }

}  // namespace

int CGroup_Init(const char* name) {
    if (name == nullptr) {
        return -1;
    }
    char cmd[kCGroupCmdLen];
    const std::string& program = platform::GetProfile().strCgroupProgram;
    int length = snprintf(cmd, sizeof(cmd), "%s -m %s %d", ShellQuote(program).c_str(), ShellQuote(name).c_str(),
                          static_cast<int>(getpid()));
    if (length < 0 || static_cast<size_t>(length) >= sizeof(cmd)) {
        CHS_LOG(3, LOGID_INFRA, "Control group command for %.64s does not fit %zu bytes.", name, sizeof(cmd));
        return -1;
    }
    int status = system(cmd);
    if (status == -1 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        CHS_LOG(2, LOGID_INFRA, "Control group command [%s] failed, status %d.", cmd, status);
        return -1;
    }
    return 0;
}

int ThreadStrategyInit(unsigned int strategy, int policy, const char* name) {
    tagDPAX_THREAD_STRATEGY_S config{};
    if (name == nullptr || strategy >= kThreadStrategyCount || !IsKnownPolicy(policy) ||
        strlen(name) >= sizeof(config.acName)) {
        CHS_LOG(3, LOGID_INFRA, "Thread strategy %u with policy %d refused.", strategy, policy);
        return -1;
    }
    config.iPolicy = policy;
    config.iPriority = 0;
    memcpy(config.acName, name, strlen(name) + 1);
    int ret = dpax_initThreadStrategy(0, &config);
    if (ret != 0) {
        CHS_LOG(3, LOGID_INFRA, "Init thread strategy %s failed, ret %d.", name, ret);
        return ret;
    }
    ret = dpax_setCurThreadStrategy(strategy);
    if (ret != 0) {
        CHS_LOG(3, LOGID_INFRA, "Set thread strategy %u failed, ret %d.", strategy, ret);
    }
    return ret;
}
