#include "msg/msg_record.h"

#include <cstring>
#include <sstream>

#include "infra/chs_log.h"
#include "msg/msg_exception.h"

namespace {

[[noreturn, gnu::noinline, gnu::cold]] void RaiseNullCell() {
    throw MsgException("Failed to append cell because of null point.");
}

}  // namespace

MsgRecord::MsgRecord(uint64_t code) : m_code(code) {}

MsgRecord::~MsgRecord() { FreeCells(); }

MsgRecord::MsgRecord(const MsgRecord& other) : m_code(other.m_code) { clone(other); }

MsgRecord& MsgRecord::operator=(const MsgRecord& other) {
    if (this != &other) {
        clear();
        clone(other);
    }
    return *this;
}

void MsgRecord::appendInner(CTLVCell* cell) {
    if (cell == nullptr) {
        RaiseNullCell();
    }
    // A clear tag bit settles it without a call, so that the common append
    // needs no stack frame.
    if ((m_tagBits & TagBit(cell->GetTag())) != 0) {
        AppendIfAbsent(cell);
        return;
    }
    LinkAtEnd(cell);
}

void MsgRecord::AppendIfAbsent(CTLVCell* cell) {
    if (find(cell->GetTag()) != nullptr) {
        delete cell;
        return;
    }
    LinkAtEnd(cell);
}

void MsgRecord::AppendAnyValue(CTLVCell::ETLVType type, unsigned short tag, const void* value,
                               size_t length) {
    if (find(tag) == nullptr && LinkInArena(type, tag, value, length)) {
        return;
    }
    // Made, checked and dropped as a duplicate exactly as appendInner(New...) does.
    appendInner(CTLVCell::Make(type, tag, value, length));
}

void MsgRecord::replaceAppendInner(CTLVCell* cell) {
    if (cell == nullptr) {
        RaiseNullCell();
    }
    CTLVCell* existing = find(cell->GetTag());
    if (existing == nullptr) {
        LinkAtEnd(cell);
        return;
    }
    // The record owns `cell` from here on, even if the copy fails.
    try {
        *existing = *cell;
    } catch (...) {
        delete cell;
        throw;
    }
    delete cell;
}

CTLVCell* MsgRecord::FindInList(unsigned short tag) const {
    for (CTLVCell* cell = m_first; cell != nullptr; cell = cell->m_next) {
        if (cell->GetTag() == tag) {
            return cell;
        }
    }
    return nullptr;
}

void MsgRecord::RaiseMissingTag(unsigned short tag) const {
    std::ostringstream text;
    text << "tag don't exist, tag is " << tag << " .record is ";
    dump(text);
    throw MsgException(text.str());
}

unsigned int MsgRecord::FreeCells() {
    if (!m_mustFreeCells) {
        return m_count;
    }
    m_mustFreeCells = false;
    unsigned int freed = 0;
    CTLVCell* cell = m_first;
    while (cell != nullptr) {
        CTLVCell* next = cell->m_next;
        if ((cell->m_storage & CTLVCell::kCellInArena) != 0) {
            cell->~CTLVCell();
        } else {
            delete cell;
        }
        ++freed;
        cell = next;
    }
    return freed;
}

void MsgRecord::clear() {
    m_count -= FreeCells();
    m_first = nullptr;
    m_last = nullptr;
    m_cellBytes = 0;
    m_tagBits = 0;
    if (m_count != 0) {
        CHS_LOG(3, LOGID_MSG, "the list has been empty ,but the count is not zero when clear record!");
        m_count = 0;
    }
}

void MsgRecord::clone(const MsgRecord& other) {
    if (this == &other) {
        return;
    }
    m_code = other.m_code;
    for (const CTLVCell* cell = other.m_first; cell != nullptr; cell = cell->m_next) {
        appendInner(new CTLVCell(*cell));
    }
}

void MsgRecord::dump(std::ostream& out) const {
    out << "{"
        << "C=" << m_code;
    for (const CTLVCell* cell = m_first; cell != nullptr; cell = cell->m_next) {
        cell->dump(out);
    }
    out << "}";
}
