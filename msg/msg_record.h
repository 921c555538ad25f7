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
//
// Not thread-safe: one thread at a time; a record may be freed on another
// thread than the one that built it.
#pragma once

#include <cstdint>
#include <iterator>
#include <ostream>

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
    // `cell` in the list has (now) `tag`.
    void NoteTag(unsigned short tag, CTLVCell* cell) {
        m_tagBits |= TagBit(tag);
        CTLVCell*& slot = m_slots[tag % kSlots];
        if (slot == nullptr) {
            slot = cell;
        }
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
    }
    void NoteLengthChange(unsigned short before, unsigned short after) { m_cellBytes += after - before; }
    CTLVCell* FindInList(unsigned short tag) const;
    // appendInner once the tag bit is set: the tag may be present.
    [[gnu::noinline]] void AppendIfAbsent(CTLVCell* cell);
    // Frees every cell, leaving the list fields as they were; returns how many.
    unsigned int FreeCells();
    [[noreturn, gnu::noinline, gnu::cold]] void RaiseMissingTag(unsigned short tag) const;

    uint64_t m_code;
    CTLVCell* m_first = nullptr;
    CTLVCell* m_last = nullptr;
    unsigned int m_count = 0;
    // At most 4096 distinct tags of at most 4 + 65535 bytes each: no 32-bit overflow.
    unsigned int m_cellBytes = 0;
    // Lookup shortcuts, reset only by clear(). Bit (tag % 64) is set for every
    // tag any cell in the list has had: a clear bit means the tag is absent.
    // Slot (tag % kSlots) holds the first cell linked with such a tag: when
    // its tag matches it is the cell, else the list is walked.
    uint64_t m_tagBits = 0;
    CTLVCell* m_slots[kSlots] = {};
};
