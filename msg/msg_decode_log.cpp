#include "msg/msg_decode_log.h"

#include <mutex>
#include <unordered_map>

#include "infra/chs_log.h"
#include "infra/timer_drv.h"

namespace {

constexpr uint64_t kWindowMs = 60000;
constexpr size_t kMaxSources = 1024;

struct Budget {
    uint64_t ulWindowStart = 0;
    unsigned int uiUsed = 0;
};

struct Budgets {
    std::mutex mutex;
    std::unordered_map<uint64_t, Budget> bySource;
};

Budgets& TheBudgets() {
    static Budgets* budgets = new Budgets();  // used by transport threads until exit
    return *budgets;
}

thread_local uint64_t t_source = 0;

}  // namespace

MsgDecodeLogScope::MsgDecodeLogScope(uint64_t source) : m_ulPrevious(t_source) { t_source = source; }

MsgDecodeLogScope::~MsgDecodeLogScope() { t_source = m_ulPrevious; }

bool MsgDecodeLogAllowed() {
    if (t_source == 0) {
        return true;
    }
    uint64_t now = TimerDrvClass::AbsMilliSecond();
    unsigned int used = 0;
    {
        Budgets& budgets = TheBudgets();
        std::lock_guard<std::mutex> lock(budgets.mutex);
        if (budgets.bySource.size() >= kMaxSources && budgets.bySource.count(t_source) == 0) {
            for (auto it = budgets.bySource.begin(); it != budgets.bySource.end();) {
                it = now - it->second.ulWindowStart >= kWindowMs ? budgets.bySource.erase(it) : std::next(it);
            }
        }
        Budget& budget = budgets.bySource[t_source];
        if (budget.uiUsed == 0 || now - budget.ulWindowStart >= kWindowMs) {
            budget.ulWindowStart = now;
            budget.uiUsed = 0;
        }
        used = ++budget.uiUsed;
    }
    if (used == MSG_DECODE_LOG_BUDGET + 1) {
        CHS_LOG(3, LOGID_MSG, "Further decode errors of connection %llu are not logged for a minute.",
                static_cast<unsigned long long>(t_source));
    }
    return used <= MSG_DECODE_LOG_BUDGET;
}
