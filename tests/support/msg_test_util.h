// Small builders and probes shared by the message framework's tests.
#pragma once

#include <functional>
#include <initializer_list>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "msg/msg_async_call.h"
#include "msg/msg_exception.h"
#include "msg/msg_record.h"

namespace chs_test {

// The prefix of every log line that refuses a malformed wire message.
inline const std::string kInvalidMsg = "TLV V3 message is invalid,reason is : ";

// What `item.dump(out)` writes, for cells, records and bodies.
template <typename T>
auto DumpText(const T& item) -> decltype(item.dump(std::declval<std::ostream&>()), std::string()) {
    std::ostringstream out;
    item.dump(out);
    return out.str();
}

// What `message.Dump(out)` writes, for whole messages.
template <typename T>
auto DumpText(const T& message) -> decltype(message.Dump(std::declval<std::ostream&>()), std::string()) {
    std::ostringstream out;
    message.Dump(out);
    return out.str();
}

// A callback that counts its calls and its destruction into counters the test owns.
struct CountingCall : MsgAsyncCall {
    CountingCall(int& answers, int& timeouts, int& destroyed)
        : answers(answers), timeouts(timeouts), destroyed(destroyed) {}
    ~CountingCall() override { ++destroyed; }
    void msg_rsp(InnerMsg&) override { ++answers; }
    void timeout(InnerMsg&) override { ++timeouts; }
    int& answers;
    int& timeouts;
    int& destroyed;
};

// Hand-assembled little-endian wire bytes, so that tests pin the layout
// instead of trusting the encoder.
struct Wire {
    std::vector<unsigned char> bytes;
    Wire& Put(uint64_t value, int size) {
        for (int i = 0; i < size; ++i) bytes.push_back(static_cast<unsigned char>(value >> (8 * i)));
        return *this;
    }
    Wire& U16(uint16_t v) { return Put(v, 2); }
    Wire& U32(uint32_t v) { return Put(v, 4); }
    Wire& U64(uint64_t v) { return Put(v, 8); }
    Wire& Record(uint64_t code, uint16_t length) { return U64(code).U16(length); }
    Wire& Cell(uint16_t tag, unsigned int type, const std::string& value) {
        U16(static_cast<uint16_t>(tag << 4 | type)).U16(static_cast<uint16_t>(value.size()));
        bytes.insert(bytes.end(), value.begin(), value.end());
        return *this;
    }
    template <size_t N>
    Wire& Cell(uint16_t tag, unsigned int type, const char (&value)[N]) {
        return Cell(tag, type, std::string(value, N - 1));
    }
    unsigned int size() const { return static_cast<unsigned int>(bytes.size()); }
};

// A record of `code` holding `cells` (which it takes).
inline MsgRecord* RecordOf(uint64_t code, std::initializer_list<CTLVCell*> cells) {
    MsgRecord* record = new MsgRecord(code);
    for (CTLVCell* cell : cells) {
        record->appendInner(cell);
    }
    return record;
}

// The text of the MsgException `action` raises, or "(nothing raised)".
inline std::string RaisedText(const std::function<void()>& action) {
    try {
        action();
    } catch (const MsgException& e) {
        return e.what();
    }
    return "(nothing raised)";
}

// Every cell of `record`, in order, as its dump "{tag,length,type:value}":
// one comparison checks the type, length and value of each cell and that no
// other cell is there.
inline std::vector<std::string> CellTexts(const MsgRecord& record) {
    std::vector<std::string> texts;
    for (const CTLVCell& cell : record) {
        std::ostringstream out;
        cell.dump(out);
        texts.push_back(out.str());
    }
    return texts;
}

}  // namespace chs_test
