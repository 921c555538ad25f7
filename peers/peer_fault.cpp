#include "peers/peer_fault.h"

#include <cerrno>
#include <cstdlib>
#include <vector>

#include "infra/chs_log.h"
#include "peers/peer_codes.h"
#include "platform/platform_state.h"

namespace chs_peers {
namespace {

bool ParseNumber(const std::string& text, uint64_t max, uint64_t& out) {
    if (text.empty() || text[0] == '-' || text[0] == '+' || text[0] == ' ') {
        return false;
    }
    errno = 0;
    char* end = nullptr;
    unsigned long long value = strtoull(text.c_str(), &end, 0);
    if (errno != 0 || end == text.c_str() || *end != '\0' || value > max) {
        return false;
    }
    out = value;
    return true;
}

bool ParseNumber32(const std::string& text, uint64_t max, uint32_t& out) {
    uint64_t value = 0;
    if (!ParseNumber(text, max, value)) {
        return false;
    }
    out = static_cast<uint32_t>(value);
    return true;
}

// The mode of override `name`: nullopt when absent or malformed.
std::optional<FaultMode> ReadMode(uint16_t pid, const std::string& name) {
    std::optional<std::string> text = platform::state::Get(name);
    if (!text || text->empty()) {
        return std::nullopt;
    }
    std::optional<FaultMode> mode = ParseFaultMode(*text);
    if (!mode) {
        CHS_LOG(2, LOGID_PEERS, "[%u] State %s holds \"%s\", which is no mode; ignoring it.", pid,
                name.c_str(), text->c_str());
    }
    return mode;
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
        if (ParseNumber32(text.substr(delay.size()), FAULT_MAX_DELAY_MS, mode.uiValue)) {
            return mode;
        }
    } else if (text.compare(0, fail.size(), fail) == 0) {
        mode.eKind = FaultMode::FAIL;
        if (ParseNumber32(text.substr(fail.size()), 0xFFFFFFFFull, mode.uiValue)) {
            return mode;
        }
    }
    return std::nullopt;
}

std::string FaultStateName(uint16_t pid, const std::string& behaviour) {
    std::string name = "peer" + std::to_string(pid);
    if (!behaviour.empty()) {
        name += "_" + behaviour;
    }
    return name + "_mode";
}

FaultMode CurrentFaultMode(uint16_t pid, const std::string& behaviour, std::string* source) {
    std::vector<std::string> names;
    if (!behaviour.empty()) {
        names.push_back(FaultStateName(pid, behaviour));
    }
    names.push_back(FaultStateName(pid));
    for (const std::string& name : names) {
        if (std::optional<FaultMode> mode = ReadMode(pid, name)) {
            if (source != nullptr) {
                *source = name;
            }
            return *mode;
        }
    }
    if (source != nullptr) {
        source->clear();
    }
    return FaultMode();
}

std::optional<uint64_t> StateNumber(const std::string& name, uint64_t max) {
    std::optional<std::string> text = platform::state::Get(name);
    if (!text || text->empty()) {
        return std::nullopt;
    }
    uint64_t value = 0;
    if (!ParseNumber(*text, max, value)) {
        CHS_LOG(2, LOGID_PEERS, "State %s holds \"%s\", which is no number up to %llu; ignoring it.",
                name.c_str(), text->c_str(), static_cast<unsigned long long>(max));
        return std::nullopt;
    }
    return value;
}

}  // namespace chs_peers
