#include "peers/peer_fault.h"

#include <cerrno>
#include <cstdlib>

#include "infra/chs_log.h"
#include "peers/peer_codes.h"
#include "platform/platform_state.h"

namespace chs_peers {
namespace {

bool ParseNumber(const std::string& text, uint64_t max, uint32_t& out) {
    if (text.empty() || text[0] == '-' || text[0] == '+' || text[0] == ' ') {
        return false;
    }
    errno = 0;
    char* end = nullptr;
    unsigned long long value = strtoull(text.c_str(), &end, 0);
    if (errno != 0 || end == text.c_str() || *end != '\0' || value > max) {
        return false;
    }
    out = static_cast<uint32_t>(value);
    return true;
}

}  // namespace

std::optional<FaultMode> ParseFaultMode(const std::string& text) {
    FaultMode mode;
    if (text == "ok") {
        return mode;
    }
    if (text == "silent") {
        mode.eKind = FaultMode::SILENT;
        return mode;
    }
    const std::string delay = "delay:";
    const std::string fail = "fail:";
    if (text.compare(0, delay.size(), delay) == 0) {
        mode.eKind = FaultMode::DELAY;
        if (ParseNumber(text.substr(delay.size()), FAULT_MAX_DELAY_MS, mode.uiValue)) {
            return mode;
        }
    } else if (text.compare(0, fail.size(), fail) == 0) {
        mode.eKind = FaultMode::FAIL;
        if (ParseNumber(text.substr(fail.size()), 0xFFFFFFFFull, mode.uiValue)) {
            return mode;
        }
    }
    return std::nullopt;
}

std::string FaultStateName(uint16_t pid) { return "peer" + std::to_string(pid) + "_mode"; }

FaultMode CurrentFaultMode(uint16_t pid) {
    std::string name = FaultStateName(pid);
    std::optional<std::string> text = platform::state::Get(name);
    if (!text || text->empty()) {
        return FaultMode();
    }
    std::optional<FaultMode> mode = ParseFaultMode(*text);
    if (!mode) {
        CHS_LOG(2, LOGID_PEERS, "[%u] State %s holds \"%s\", which is no mode; answering normally.", pid,
                name.c_str(), text->c_str());
        return FaultMode();
    }
    return *mode;
}

}  // namespace chs_peers
