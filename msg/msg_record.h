// One record of a message body: a 64-bit record code and an ordered list of
// cells with pairwise distinct tags.
//
// The record owns its cells: a cell handed to appendInner or
// replaceAppendInner belongs to the record from then on (even when it is
// dropped as a duplicate) and is freed by clear() or the destructor. Cell
// pointers and references obtained from the record stay valid until the
// record is cleared, assigned or destroyed.
//
// Records created with new come from the message block cache (msg_pool.h).
// A record of a body (MsgObject::AddRecord, or decoded) lives in the body's
// memory (msg_arena.h), and so do the cells it builds itself with the
// Append functions: such a record goes when its body is cleared.
//
// Not thread-safe: one thread at a time; a record may be freed on another
// thread than the one that built it.
#pragma once

#include <cstdint>
#include <iterator>
#include <ostream>
#include <string>

#include "infra/byte_order.h"
#include "msg/tlv_cell.h"

class MsgRecord {
  public:
    // Forward iteration over the cells in list order (range-for).
    template <typename Cell>
    class CellIter {
      public:
        using iterator_category = std::forward_iterator_tag;
        using value_type = CTLVCell;
        using difference_type = std::ptrdiff_t;
        using pointer = Cell*;
        using reference = Cell&;

        explicit CellIter(Cell* cell = nullptr) : m_cell(cell) {}
        Cell& operator*() const { return *m_cell; }
        Cell* operator->() const { return m_cell; }
        CellIter& operator++() {
            m_cell = m_cell->GetNext();
            return *this;
        }
        bool operator==(const CellIter& other) const { return m_cell == other.m_cell; }
        bool operator!=(const CellIter& other) const { return m_cell != other.m_cell; }

      private:
        Cell* m_cell;
    };
    using iterator = CellIter<CTLVCell>;
    using const_iterator = CellIter<const CTLVCell>;

    explicit MsgRecord(uint64_t code = 0);
    ~MsgRecord();
    // Deep copies: the code and copies of every cell in order.
    MsgRecord(const MsgRecord& other);
    MsgRecord& operator=(const MsgRecord& other);

    uint64_t GetCode() const { return m_code; }
    void SetCode(uint64_t code) { m_code = code; }

    // Adds `cell` at the end. If a cell with its tag exists, the existing one
    // stays and `cell` is freed. A null cell raises MsgException.
    void appendInner(CTLVCell* cell);
    // appendInner(CTLVCell::NewUInt16(tag, value)) and its siblings in one
    // step, raising as those do; the cell needs no block of its own when the
    // record is one of a body. As with appendInner, an existing cell with
    // the tag stays.
    void AppendUInt16(unsigned short tag, uint16_t value) {
        AppendNumber(CTLVCell::TLV_UNSIGNED, tag, value, 2);
    }
    void AppendUInt32(unsigned short tag, uint32_t value) {
        AppendNumber(CTLVCell::TLV_UNSIGNED, tag, value, 4);
    }
    void AppendUInt64(unsigned short tag, uint64_t value) {
        AppendNumber(CTLVCell::TLV_UNSIGNED, tag, value, 8);
    }
    void AppendInt32(unsigned short tag, int32_t value) {
        AppendNumber(CTLVCell::TLV_INTEGER, tag, static_cast<uint32_t>(value), 4);
    }
    void AppendBool(unsigned short tag, bool value) {
        AppendNumber(CTLVCell::TLV_BOOL, tag, value ? 1 : 0, 1);
    }
    void AppendEnum(unsigned short tag, uint64_t value) { AppendNumber(CTLVCell::TLV_ENUM, tag, value, 8); }
    inline void AppendNumber(CTLVCell::ETLVType type, unsigned short tag, uint64_t value, unsigned int width);
    void AppendString(unsigned short tag, const std::string& text,
                      CTLVCell::ETLVType type = CTLVCell::TLV_STRING);
    void AppendOctets(unsigned short tag, const void* bytes, size_t length) {
        AppendValue(CTLVCell::TLV_OCTETS, tag, bytes, length);
    }

    // As appendInner, but an existing cell with the tag takes the contents of
    // `cell` (keeping its place and its links) and `cell` is freed.
    void replaceAppendInner(CTLVCell* cell);

    // The cell with `tag`; raises MsgException (with this record's dump in
    // the text) when there is none.
    CTLVCell& operator[](unsigned short tag) {
        CTLVCell* cell = find(tag);
        if (cell == nullptr) {
            RaiseMissingTag(tag);
        }
        return *cell;
    }
    const CTLVCell& operator[](unsigned short tag) const { return (*const_cast<MsgRecord*>(this))[tag]; }
    // The cell with `tag`, or null.
    CTLVCell* find(unsigned short tag) {
        if ((m_tagBits & TagBit(tag)) == 0) {
            return nullptr;
        }
        CTLVCell* slot = m_slots[tag % kSlots];
        return slot != nullptr && slot->GetTag() == tag ? slot : FindInList(tag);
    }
    const CTLVCell* find(unsigned short tag) const { return const_cast<MsgRecord*>(this)->find(tag); }

    // Bytes of the cells on the wire: the sum of 4 + value length (kept as
    // cells are linked and change, so this costs no walk).
    unsigned int length() const { return m_cellBytes; }
    unsigned int count() const { return m_count; }

    // Frees every cell.
    void clear();
    // Takes `other`'s code and appends deep copies of its cells in order
    // (cells whose tags this record already holds are kept, as appendInner).
    void clone(const MsgRecord& other);

    // "{" "C=" code, each cell's dump, "}".
    void dump(std::ostream& out) const;

    static void* operator new(size_t size) {
        void* record = MsgPoolAlloc(size);
        if (record == nullptr) {
            MsgPoolThrowBadAlloc();
        }
        return record;
    }
    static void operator delete(void* record) noexcept { MsgPoolFree(record, sizeof(MsgRecord)); }

    CTLVCell* first() { return m_first; }
    const CTLVCell* first() const { return m_first; }
    CTLVCell* last() { return m_last; }
    const CTLVCell* last() const { return m_last; }
    iterator begin() { return iterator(m_first); }
    iterator end() { return iterator(); }
    const_iterator begin() const { return const_iterator(m_first); }
    const_iterator end() const { return const_iterator(); }

  private:
    // The body decoder links cells whose tags it has already checked.
    friend class MsgObject;
    // A cell in the list tells the record when its tag changes.
    friend class CTLVCell;

    static constexpr unsigned int kSlots = 16;

    static uint64_t TagBit(unsigned short tag) { return uint64_t{1} << (tag & 63u); }
    // The tag bits of the tags that share slot (tag % kSlots).
    static uint64_t SlotBits(unsigned short tag) { return uint64_t{0x0001000100010001} << (tag % kSlots); }
    // `cell` in the list has (now) `tag`.
    void NoteTag(unsigned short tag, CTLVCell* cell) {
        if ((m_tagBits & SlotBits(tag)) == 0) {
            m_slots[tag % kSlots] = cell;
        }
        m_tagBits |= TagBit(tag);
    }
    void LinkAtEnd(CTLVCell* cell) {
        cell->m_prev = m_last;
        cell->m_next = nullptr;
        cell->m_owner = this;
        if (m_last != nullptr) {
            m_last->m_next = cell;
        } else {
            m_first = cell;
        }
        m_last = cell;
        ++m_count;
        m_cellBytes += 4u + cell->m_length;
        NoteTag(cell->GetTag(), cell);
        if (!cell->OnlyInArena()) {
            m_mustFreeCells = true;
        }
    }
    void NoteLengthChange(unsigned short before, unsigned short after) {
        m_cellBytes += after - before;
        // The value may have moved out of the arena.
        m_mustFreeCells = true;
    }
    // A record of the body that owns `arena`.
    MsgRecord(uint64_t code, MsgArena* arena) : m_code(code), m_arena(arena) {}
    // The Append functions' common step: a cell of `type` and `tag` with a
    // copy of the value, in the body's memory when it can be. Inline only
    // for a new tag with a value that fits the arena; the rest is out of line.
    [[gnu::always_inline]] void AppendValue(CTLVCell::ETLVType type, unsigned short tag, const void* value,
                                            size_t length) {
        if ((m_tagBits & TagBit(tag)) != 0 || !LinkInArena(type, tag, value, length)) {
            AppendAnyValue(type, tag, value, length);
        }
    }
    // Links a new cell built in the arena; false (nothing done) without an
    // arena, for a value it does not take, or when it has no room. The tag
    // must be absent.
    [[gnu::always_inline]] bool LinkInArena(CTLVCell::ETLVType type, unsigned short tag, const void* value,
                                            size_t length) {
        if (m_arena == nullptr || tag >= MAX_TAG_VALUE || value == nullptr ||
            length - 1 >= TLV_MAX_VALUE_LENGTH) {
            return false;
        }
        CTLVCell* cell = CTLVCell::MakeIn(*m_arena, CTLVCell::HeaderOf(type, tag), value, length);
        if (cell == nullptr) {
            return false;
        }
        LinkAtEnd(cell);
        return true;
    }
    [[gnu::noinline]] void AppendAnyValue(CTLVCell::ETLVType type, unsigned short tag, const void* value,
                                          size_t length);
    CTLVCell* FindInList(unsigned short tag) const;
    // appendInner once the tag bit is set: the tag may be present.
    [[gnu::noinline]] void AppendIfAbsent(CTLVCell* cell);
    // Frees every cell, leaving the list fields as they were; returns how many.
    unsigned int FreeCells();
    [[noreturn, gnu::noinline, gnu::cold]] void RaiseMissingTag(unsigned short tag) const;

    uint64_t m_code;
    // The memory of the body this record lives in; null for a record made with new.
    MsgArena* m_arena = nullptr;
    CTLVCell* m_first = nullptr;
    CTLVCell* m_last = nullptr;
    unsigned int m_count = 0;
    // At most 4096 distinct tags of at most 4 + 65535 bytes each: no 32-bit overflow.
    unsigned int m_cellBytes = 0;
    // False while every cell lies, value and all, in the arena: clearing
    // then frees nothing cell by cell.
    bool m_mustFreeCells = false;
    // Lookup shortcuts, reset only by clear(). Bit (tag % 64) is set for every
    // tag any cell in the list has had: a clear bit means the tag is absent.
    // Slot (tag % kSlots) holds the first cell linked with such a tag: when
    // its tag matches it is the cell, else the list is walked. A slot is
    // written when the first of its tag bits is set and read only after, so
    // it needs no initial value (and a new record no 128 bytes of zeros).
    uint64_t m_tagBits = 0;
    CTLVCell* m_slots[kSlots];
};

inline void MsgRecord::AppendNumber(CTLVCell::ETLVType type, unsigned short tag, uint64_t value,
                                    unsigned int width) {
    if (!kChsHostLittleEndian || !CTLVCell::IsNumericalType(type) || width - 1 >= sizeof(uint64_t)) {
        // NewNumber raises for what is not a number.
        appendInner(CTLVCell::NewNumber(type, tag, value, width));
        return;
    }
    // Stored numeric values are in host order: the low `width` bytes.
    unsigned char bytes[sizeof(uint64_t)];
    memcpy(bytes, &value, sizeof(value));
    AppendValue(type, tag, bytes, width);
}

inline void MsgRecord::AppendString(unsigned short tag, const std::string& text, CTLVCell::ETLVType type) {
    if (type != CTLVCell::TLV_STRING && type != CTLVCell::TLV_JSON_ARRAY &&
        type != CTLVCell::TLV_JSON_OBJECT) {
        // NewString raises for what is not text.
        appendInner(CTLVCell::NewString(tag, text, type));
        return;
    }
    AppendValue(type, tag, text.c_str(), text.size() + 1);
}
