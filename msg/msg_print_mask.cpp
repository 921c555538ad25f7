// Print masks: which cells dumps of messages must hide (pass phrases,
// passwords). Registrations are made at start-up, before messages are dumped;
// the registry is guarded anyway so that a late registration cannot corrupt it.
#include <map>
#include <mutex>

#include "msg/inner_msg.h"

namespace {

std::mutex& MaskMutex() {
    static std::mutex* mutex = new std::mutex();
    return *mutex;
}

std::multimap<unsigned long long, unsigned int>& Masks() {
    static auto* masks = new std::multimap<unsigned long long, unsigned int>();
    return *masks;
}

bool IsRegistered(unsigned long long key, unsigned int tag) {
    auto range = Masks().equal_range(key);
    for (auto it = range.first; it != range.second; ++it) {
        if (it->second == tag) {
            return true;
        }
    }
    return false;
}

}  // namespace

void Msg_SetPrintMask(unsigned int subCommand, unsigned long long command, unsigned int tag) {
    std::lock_guard<std::mutex> lock(MaskMutex());
    unsigned long long key = subCommand != 0 ? subCommand : command;
    if (!IsRegistered(key, tag)) {
        Masks().emplace(key, tag);
    }
}

bool Msg_IsNeedPrintMask(unsigned int subCommand, unsigned long long command, unsigned int tag) {
    std::lock_guard<std::mutex> lock(MaskMutex());
    return IsRegistered(subCommand, tag) || IsRegistered(command, tag);
}

bool Msg_IsGeneralCmd(unsigned long long code) {
    return (code & ~0xA000ULL) == 0xD00004000ULL || (code & ~0x2000ULL) == 0xD00000000ULL;
}

void Msg_SetPrintMask(MsgObject& body, uint32_t opCode) {
    {
        std::lock_guard<std::mutex> lock(MaskMutex());
        if (Masks().empty()) {
            return;
        }
    }
    for (MsgRecord& record : body) {
        unsigned long long key = record.GetCode() != 0 ? record.GetCode() : opCode;
        unsigned int subCommand = 0;
        if (Msg_IsGeneralCmd(key)) {
            const CTLVCell* selector = record.find(0);
            subCommand = selector != nullptr ? MsgCellValue32(*selector) : 0;
        }
        for (CTLVCell& cell : record) {
            if (Msg_IsNeedPrintMask(subCommand, key, cell.GetTag())) {
                cell.SetPrintFlag(false);
            }
        }
    }
}

void Msg_SetPrintMask(InnerMsg& message) { Msg_SetPrintMask(message.GetBody(), message.GetMsgInfo().uiMsgOPCode); }
