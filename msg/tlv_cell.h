// One typed tag-length-value cell of a message body.
//
// A cell owns its value bytes: up to TLV_INLINE_VALUE_SIZE bytes live inside
// the cell, longer values in a buffer of their own that the cell frees. Either
// way the stored value is followed by one NUL byte that is not part of the
// length, so that text access can never run past the value, even for text
// that arrived from the wire without its terminator.
//
// Cells created with new and their long values come from the message block
// cache (msg_pool.h): building and freeing a body costs no heap call per cell.
// Cells a record builds itself (MsgRecord::AppendUInt32 and the like) and
// the cells of a decoded body live, with their long values, in the memory of
// their body (msg_arena.h) and are never deleted one by one.
//
// A cell is a node of its record's doubly linked list; only MsgRecord changes
// the links. A cell that is not in a record has null links.
//
// Not thread-safe: a cell (and the record holding it) belongs to one thread
// at a time; it may be freed on another thread than the one that built it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <ostream>
#include <string>

#include "msg/msg_arena.h"
#include "msg/msg_pool.h"

constexpr unsigned short MAX_TAG_VALUE = 4096;
constexpr unsigned int TLV_INLINE_VALUE_SIZE = 15;
constexpr unsigned int TLV_MAX_VALUE_LENGTH = 0xFFFF;

class MsgRecord;
class MsgObject;

// Raises MsgException with `reason` followed by `number` in decimal. Out of
// line and cold, so that the checks on the codec's hot paths stay small.
[[noreturn, gnu::noinline, gnu::cold]] void RaiseMsgException(const char* reason, unsigned long number);

class CTLVCell {
  public:
    // The type code occupies the low 4 bits of the header word; codes 10..15 are invalid.
    enum ETLVType : unsigned char {
        TLV_INVALID = 0,
        TLV_OCTETS = 1,
        TLV_STRING = 2,
        TLV_UNSIGNED = 3,
        TLV_INTEGER = 4,
        TLV_BOOL = 5,
        TLV_ENUM = 6,
        TLV_JSON_ARRAY = 7,
        TLV_JSON_OBJECT = 8,
        TLV_TIME = 9,
    };
    static constexpr unsigned int TLV_TYPE_MAX = TLV_TIME;

    // Print flag true, header 0, length 0, no value.
    CTLVCell() = default;
    ~CTLVCell() {
        if (m_length > TLV_INLINE_VALUE_SIZE && (m_storage & kValueInArena) == 0) {
            MsgPoolFree(m_heap, m_length + 1u);
        }
    }
    // Deep copies of header, length, print flag and value; the links are not copied.
    CTLVCell(const CTLVCell& other);
    CTLVCell& operator=(const CTLVCell& other);

    // Sets header, length and value (the value is copied). A tag of
    // MAX_TAG_VALUE or more raises MsgException; a value longer than
    // TLV_MAX_VALUE_LENGTH raises CException. A null value or zero length
    // leaves the cell with the header and no value.
    void set_i(ETLVType type, unsigned short tag, const void* value, unsigned long length);

    // Convenience constructors in the widths this system writes. The caller
    // owns the returned cell until it hands it to a record. They raise as set_i.
    static CTLVCell* NewUInt16(unsigned short tag, uint16_t value);
    static CTLVCell* NewUInt32(unsigned short tag, uint32_t value);
    static CTLVCell* NewUInt64(unsigned short tag, uint64_t value);
    static CTLVCell* NewInt32(unsigned short tag, int32_t value);
    static CTLVCell* NewBool(unsigned short tag, bool value);
    static CTLVCell* NewEnum(unsigned short tag, uint64_t value);
    // A numeric cell of any numeric type, `width` (1..8) little-endian bytes.
    static CTLVCell* NewNumber(ETLVType type, unsigned short tag, uint64_t value, unsigned int width);
    // Text types (TLV_STRING, TLV_JSON_ARRAY, TLV_JSON_OBJECT): the text and its NUL.
    static CTLVCell* NewString(unsigned short tag, const std::string& text, ETLVType type = TLV_STRING);
    static CTLVCell* NewOctets(unsigned short tag, const void* bytes, size_t length);

    unsigned short GetHeader() const { return m_header; }
    unsigned short GetTag() const { return static_cast<unsigned short>(m_header >> 4); }
    // The raw 4-bit code, which may be above TLV_TYPE_MAX only for a cell
    // nobody validated; compare with the enumerators.
    ETLVType GetType() const { return static_cast<ETLVType>(m_header & 0x0F); }
    unsigned short GetLength() const { return m_length; }
    // The value bytes (GetLength() of them, followed by a NUL); null when there is no value.
    const unsigned char* GetValue() const {
        return m_length == 0 ? nullptr : m_length > TLV_INLINE_VALUE_SIZE ? m_heap : m_inline;
    }

    bool GetPrintFlag() const { return m_printFlag; }
    // False hides the value in dumps (secrets); the value itself is unchanged.
    void SetPrintFlag(bool print) { m_printFlag = print; }

    // The text of a TLV_STRING cell, up to its first NUL. Raises MsgException
    // for any other type and for a long value without a buffer.
    operator char const*() const;

    // Type 0: empty; type 1: the raw bytes; text types: the text up to its
    // first NUL; numeric types: decimal (type 4 signed). Other codes: empty.
    std::string toString() const;

    // Raises MsgException unless the type is numeric (3, 4, 5, 6 or 9).
    void checkNumerical() const;
    static bool IsNumericalType(unsigned int type) {
        constexpr unsigned int kNumeric =
            1u << TLV_UNSIGNED | 1u << TLV_INTEGER | 1u << TLV_BOOL | 1u << TLV_ENUM | 1u << TLV_TIME;
        return type < 32 && ((1u << type) & kNumeric) != 0;
    }

    // The numeric value, read as a little-endian integer of GetLength() bytes
    // (0 bytes read 0, 8 or more bytes: the first 8). Raise unless numeric.
    // GetInt64 sign-extends a TLV_INTEGER of 1, 2 or 8 bytes; 3- and 5..7-byte
    // values fill a zeroed integer and are not sign-extended.
    uint64_t GetUInt64() const;
    int64_t GetInt64() const;
    bool GetBool() const { return GetUInt64() != 0; }

    // "{" tag "," length "," type name ":" value "}"; the value is "******"
    // in double quotes when the print flag is false.
    void dump(std::ostream& out) const;
    // The dump name of a type code: "Invalid", "Oct", "S", ... "T"; "unknown" above 9.
    static const char* TypeName(unsigned int type);

    // Neighbours in the owning record (null at the ends or outside a record).
    CTLVCell* GetNext() const { return m_next; }
    CTLVCell* GetPrev() const { return m_prev; }

    static void* operator new(size_t size) {
        void* cell = MsgPoolAlloc(size);
        if (cell == nullptr) {
            MsgPoolThrowBadAlloc();
        }
        return cell;
    }
    static void operator delete(void* cell) noexcept { MsgPoolFree(cell, sizeof(CTLVCell)); }

  private:
    friend class MsgRecord;
    friend class MsgObject;

    // A new cell with the header of `type` and `tag` and a copy of the value;
    // raises as set_i.
    static CTLVCell* Make(ETLVType type, unsigned short tag, const void* value, unsigned long length);
    // Make's general path, checks included.
    [[gnu::noinline]] static CTLVCell* MakeAnyValue(ETLVType type, unsigned short tag, const void* value,
                                                    unsigned long length);
    // A cell with `header` and a copy of `length` (<= TLV_MAX_VALUE_LENGTH)
    // value bytes, cell and value in one piece of `arena`; null when the
    // arena has no room. The tag of the header is not checked.
    static CTLVCell* MakeIn(MsgArena& arena, unsigned short header, const void* value, size_t length) {
        const bool longValue = length > TLV_INLINE_VALUE_SIZE;
        void* block = arena.Allocate(sizeof(CTLVCell) + (longValue ? length + 1 : 0));
        if (block == nullptr) {
            return nullptr;
        }
        CTLVCell* cell = ::new (block) CTLVCell();
        cell->m_header = header;
        if (longValue) {
            unsigned char* buffer = static_cast<unsigned char*>(block) + sizeof(CTLVCell);
            memcpy(buffer, value, length);
            buffer[length] = 0;
            cell->m_heap = buffer;
            cell->m_storage = kCellInArena | kValueInArena;
        } else {
            CopyShort(cell->m_inline, value, length);
            cell->m_storage = kCellInArena;
        }
        cell->m_length = static_cast<unsigned short>(length);
        return cell;
    }
    // True when only the arena holds what the cell uses: nothing to free.
    bool OnlyInArena() const {
        return (m_storage & kCellInArena) != 0 &&
               (m_length <= TLV_INLINE_VALUE_SIZE || (m_storage & kValueInArena) != 0);
    }
    static unsigned short HeaderOf(ETLVType type, unsigned short tag) {
        return static_cast<unsigned short>((tag << 4) | (static_cast<unsigned int>(type) & 0x0F));
    }
    // NewNumber for a type and width known to be valid (tlv_cell.cpp only).
    static inline CTLVCell* MakeNumber(ETLVType type, unsigned short tag, uint64_t value, unsigned int width);
    // Writes header word, length and value (numeric values little-endian) and
    // returns the end; writes nothing at or past `limit`, which lies at or
    // past that end. Defined beside the body codec (msg_object.cpp).
    inline unsigned char* EncodeTo(unsigned char* out, const unsigned char* limit) const;
    void FreeValue();
    // Copies `length` bytes (>0, <= TLV_MAX_VALUE_LENGTH) into owned storage;
    // `value` may point into this cell's own value.
    void StoreValue(const void* value, size_t length);
    // Copies the bytes of a value into a cell without one (length 0, zero
    // inline bytes, so that a short value is followed by NULs); the caller
    // then sets the length.
    void StoreFirstValue(const void* value, size_t length) {
        if (length > TLV_INLINE_VALUE_SIZE) {
            m_heap = CopyLongValue(value, length);
        } else {
            CopyShort(m_inline, value, length);
        }
    }
    // A pooled copy of a long value followed by a NUL; raises CException when memory is exhausted.
    static unsigned char* CopyLongValue(const void* value, size_t length);
    // Copies up to 16 bytes without a library call.
    static void CopyShort(unsigned char* to, const void* from, size_t length);
    template <typename Word>
    static void CopyTwoWords(unsigned char* to, const void* from, size_t length);
    unsigned char* MutableValue() { return const_cast<unsigned char*>(GetValue()); }
    uint64_t ReadUnsigned() const;
    int64_t ReadSigned() const;
    void DumpValue(std::ostream& out) const;
    // Every change of m_length after construction goes through here, so that
    // the owning record's byte count stays exact.
    void SetLength(unsigned short length);
    // Tells the owning record about the tag of a changed header.
    void NoteHeader();

    // m_storage bits: the cell, or its long value, lies in a body's arena
    // (only the arena frees it).
    static constexpr unsigned char kCellInArena = 1;
    static constexpr unsigned char kValueInArena = 2;

    unsigned short m_header = 0;
    unsigned short m_length = 0;
    bool m_printFlag = true;
    unsigned char m_storage = 0;
    // Value bytes plus the trailing NUL; m_heap is used when m_length > TLV_INLINE_VALUE_SIZE.
    union {
        unsigned char m_inline[TLV_INLINE_VALUE_SIZE + 1] = {};
        unsigned char* m_heap;
    };
    CTLVCell* m_prev = nullptr;
    CTLVCell* m_next = nullptr;
    // The record whose list holds the cell, or null.
    MsgRecord* m_owner = nullptr;
};

// Two moves of one width that may overlap in the middle.
template <typename Word>
inline void CTLVCell::CopyTwoWords(unsigned char* to, const void* from, size_t length) {
    Word head;
    Word tail;
    memcpy(&head, from, sizeof(Word));
    memcpy(&tail, static_cast<const unsigned char*>(from) + length - sizeof(Word), sizeof(Word));
    memcpy(to, &head, sizeof(Word));
    memcpy(to + length - sizeof(Word), &tail, sizeof(Word));
}

inline void CTLVCell::CopyShort(unsigned char* to, const void* from, size_t length) {
    if (length >= 8) {
        CopyTwoWords<uint64_t>(to, from, length);
    } else if (length >= 4) {
        CopyTwoWords<uint32_t>(to, from, length);
    } else if (length >= 2) {
        CopyTwoWords<uint16_t>(to, from, length);
    } else if (length == 1) {
        *to = *static_cast<const unsigned char*>(from);
    }
}
