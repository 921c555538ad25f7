// A message body: an ordered sequence of records, and its wire codec.
//
// Wire form (all integers little-endian), records one after the other with
// no count or header of their own:
//   record: code (8) | record length (2) | cells (record length bytes)
//   cell:   header word (2: tag << 4 | type) | value length (2) | value
//
// The object owns its records (append() takes ownership) and frees them when
// cleared, assigned or destroyed. decode() never raises and never reads
// outside [buffer, buffer + size): every failure is logged and reported as
// 0xFFFFFFFF. Encoding raises MsgException for a record that does not fit the
// 16-bit record length.
//
// Not thread-safe: one thread at a time.
#pragma once

#include <cstdint>
#include <ostream>
#include <vector>

#include "msg/msg_arena.h"
#include "msg/msg_pool.h"
#include "msg/msg_record.h"

constexpr unsigned int MIN_RECORD_SIZE = 10;
constexpr unsigned int MIN_TLV_SIZE = 4;
constexpr unsigned int MSG_CODEC_FAILURE = 0xFFFFFFFF;

class MsgObject;

// A position over the records of one MsgObject: an index, END_INDEX meaning
// "end". Valid while the object lives; dereferencing checks the position
// (raising MsgException at the end or past a shrunken object).
class MsgRecord_Iterator {
  public:
    static constexpr unsigned int END_INDEX = 0xFFFFFFFF;

    MsgRecord_Iterator(MsgObject* object, unsigned int index) : m_object(object), m_index(index) {}
    // Next index; "end" past the last record (and stays "end").
    MsgRecord_Iterator& plus();
    // From 0: "end"; from "end": the last index; otherwise index - 1.
    MsgRecord_Iterator& minus();
    MsgRecord_Iterator& operator++() { return plus(); }
    MsgRecord_Iterator& operator--() { return minus(); }
    MsgRecord& operator*() const;
    MsgRecord* operator->() const { return &**this; }
    unsigned int GetIndex() const { return m_index; }
    bool operator==(const MsgRecord_Iterator& other) const {
        return m_object == other.m_object && m_index == other.m_index;
    }
    bool operator!=(const MsgRecord_Iterator& other) const { return !(*this == other); }

  private:
    MsgObject* m_object;
    unsigned int m_index;
};

class MsgRecord_Const_Iterator {
  public:
    static constexpr unsigned int END_INDEX = 0xFFFFFFFF;

    MsgRecord_Const_Iterator(const MsgObject* object, unsigned int index)
        : m_object(object), m_index(index) {}
    MsgRecord_Const_Iterator& plus();
    MsgRecord_Const_Iterator& minus();
    MsgRecord_Const_Iterator& operator++() { return plus(); }
    MsgRecord_Const_Iterator& operator--() { return minus(); }
    const MsgRecord& operator*() const;
    const MsgRecord* operator->() const { return &**this; }
    unsigned int GetIndex() const { return m_index; }
    bool operator==(const MsgRecord_Const_Iterator& other) const {
        return m_object == other.m_object && m_index == other.m_index;
    }
    bool operator!=(const MsgRecord_Const_Iterator& other) const { return !(*this == other); }

  private:
    const MsgObject* m_object;
    unsigned int m_index;
};

class MsgObject {
  public:
    using iterator = MsgRecord_Iterator;
    using const_iterator = MsgRecord_Const_Iterator;

    MsgObject() = default;
    ~MsgObject();
    // Deep copies of every record.
    MsgObject(const MsgObject& other);
    MsgObject& operator=(const MsgObject& other);

    // The record at `index`; raises MsgException at or past the end.
    MsgRecord& operator[](unsigned long index);
    const MsgRecord& operator[](unsigned long index) const;

    // Takes ownership of `record` and adds it at the end; a null record raises MsgException.
    void append(MsgRecord* record);
    // A new record with `code` at the end, held in the body's own memory
    // together with the cells it builds (MsgRecord::AppendUInt32 and the
    // like). It is valid until the body is cleared, assigned, decoded into
    // or destroyed.
    MsgRecord& AddRecord(uint64_t code);
    size_t size() const { return m_records.size(); }
    bool empty() const { return m_records.empty(); }

    // Body length on the wire: the sum of MIN_RECORD_SIZE + record length.
    // Raises MsgException for a record longer than 65535 bytes of cells.
    unsigned int length() const;

    // Writes the body into `buffer` and returns the bytes written; returns
    // MSG_CODEC_FAILURE and writes nothing when `size` is below length().
    unsigned int encode(unsigned char* buffer, unsigned int size) const;
    // Replaces the records by those read from `size` bytes at `buffer`;
    // returns the bytes consumed (0 for size 0), or MSG_CODEC_FAILURE with
    // the object left empty.
    unsigned int decode(const unsigned char* buffer, unsigned int size);

    // Writes one record; `out` must have room for MIN_RECORD_SIZE +
    // record->length() bytes. Returns the bytes written. Raises MsgException
    // for a record longer than 65535 bytes of cells.
    static unsigned int setRecord(unsigned char* out, const MsgRecord* record);
    // Reads one record from at most `size` bytes at `in`. On success `out` is
    // a new record (owned by the caller) and the bytes consumed are returned;
    // on failure it logs, sets `out` to null and returns 0. Never raises.
    static unsigned int getRecord(const unsigned char* in, unsigned int size, MsgRecord*& out);
    // Copies `length` wire bytes at `in` into `cell` as its value, in host order for numeric types.
    static void decodeValue(CTLVCell* cell, const char* in, unsigned int length);

    void clear();
    // Bytes the body holds for the records of AddRecord and decode.
    size_t ArenaBytes() const { return m_arena.ChunkBytes(); }
    // The record dumps separated by ",".
    void dump(std::ostream& out) const;

    iterator begin() { return iterator(this, m_records.empty() ? iterator::END_INDEX : 0); }
    iterator end() { return iterator(this, iterator::END_INDEX); }
    const_iterator begin() const {
        return const_iterator(this, m_records.empty() ? const_iterator::END_INDEX : 0);
    }
    const_iterator end() const { return const_iterator(this, const_iterator::END_INDEX); }

  private:
    // Writes one record whose length is known to fit, summing it as it goes;
    // nothing is written at or past `limit`, the end of what is encoded.
    static unsigned int WriteRecord(unsigned char* out, const MsgRecord& record, const unsigned char* limit);
    // getRecord, building the record in `arena` when it is not null.
    static unsigned int ReadRecord(const unsigned char* in, unsigned int size, MsgArena* arena, MsgRecord*& out);
    // Frees a record made with new, or ends one of an arena.
    static void DestroyRecord(MsgRecord* record);

    std::vector<MsgRecord*, MsgPoolAllocator<MsgRecord*>> m_records;
    // The memory of the records built by AddRecord and decode.
    MsgArena m_arena;
};
