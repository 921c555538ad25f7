#include "msg/tlv_cell.h"

#include <cstring>
#include <memory>
#include <new>

#include "infra/byte_order.h"
#include "msg/msg_exception.h"
#include "msg/msg_pool.h"
#include "msg/msg_record.h"

namespace {

const char* const kTypeNames[] = {"Invalid", "Oct", "S", "U", "I", "B", "E", "JA", "JO", "T"};

bool IsTextType(unsigned int type) {
    return type == CTLVCell::TLV_STRING || type == CTLVCell::TLV_JSON_ARRAY ||
           type == CTLVCell::TLV_JSON_OBJECT;
}

[[noreturn, gnu::noinline, gnu::cold]] void RaiseCopyFailure() { throw CException("", 0xFFFFFFFF); }

void CheckTag(unsigned short tag) {
    if (tag >= MAX_TAG_VALUE) {
        RaiseMsgException("tag is big than MAX_TAG_VALUE, tag is ", tag);
    }
}

// The wire length is 16 bits; a longer value would be cut silently.
void CheckLength(const void* value, unsigned long length) {
    if (value != nullptr && length > TLV_MAX_VALUE_LENGTH) {
        RaiseCopyFailure();
    }
}

}  // namespace

void RaiseMsgException(const char* reason, unsigned long number) {
    throw MsgException(reason + std::to_string(number));
}

unsigned char* CTLVCell::CopyLongValue(const void* value, size_t length) {
    unsigned char* buffer = static_cast<unsigned char*>(MsgPoolAlloc(length + 1));
    if (buffer == nullptr) {
        RaiseCopyFailure();
    }
    memcpy(buffer, value, length);
    buffer[length] = 0;
    return buffer;
}

CTLVCell::CTLVCell(const CTLVCell& other) : m_header(other.m_header), m_printFlag(other.m_printFlag) {
    const unsigned char* value = other.GetValue();
    if (value != nullptr) {
        StoreFirstValue(value, other.m_length);
    }
    m_length = other.m_length;
}

CTLVCell* CTLVCell::Make(ETLVType type, unsigned short tag, const void* value, unsigned long length) {
    // The common cells: a valid tag, a value of 1 to MSG_POOL_MAX_BLOCK - 1
    // bytes, and blocks in the thread's lists. Nothing here can fail; every
    // other case is MakeAnyValue.
    if (tag < MAX_TAG_VALUE && value != nullptr && length - 1 < MSG_POOL_MAX_BLOCK - 1) {
        if (length <= TLV_INLINE_VALUE_SIZE) {
            void* block = MsgPoolTryAlloc(sizeof(CTLVCell));
            if (block != nullptr) {
                CTLVCell* cell = ::new (block) CTLVCell();
                cell->m_header = HeaderOf(type, tag);
                CopyShort(cell->m_inline, value, length);
                cell->m_length = static_cast<unsigned short>(length);
                return cell;
            }
        } else {
            unsigned char* buffer = static_cast<unsigned char*>(MsgPoolTryAlloc(length + 1));
            void* block = buffer != nullptr ? MsgPoolTryAlloc(sizeof(CTLVCell)) : nullptr;
            if (block != nullptr) {
                memcpy(buffer, value, length);
                buffer[length] = 0;
                CTLVCell* cell = ::new (block) CTLVCell();
                cell->m_header = HeaderOf(type, tag);
                cell->m_heap = buffer;
                cell->m_length = static_cast<unsigned short>(length);
                return cell;
            }
            MsgPoolFree(buffer, length + 1);
        }
    }
    return MakeAnyValue(type, tag, value, length);
}

CTLVCell* CTLVCell::MakeAnyValue(ETLVType type, unsigned short tag, const void* value, unsigned long length) {
    CheckTag(tag);
    CheckLength(value, length);
    std::unique_ptr<CTLVCell> cell(new CTLVCell());
    cell->m_header = HeaderOf(type, tag);
    if (value != nullptr && length != 0) {
        cell->StoreFirstValue(value, length);
        cell->m_length = static_cast<unsigned short>(length);
    }
    return cell.release();
}

void CTLVCell::SetLength(unsigned short length) {
    if (m_owner != nullptr) {
        m_owner->NoteLengthChange(m_length, length);
    }
    m_length = length;
}

void CTLVCell::NoteHeader() {
    if (m_owner != nullptr) {
        m_owner->NoteTag(GetTag(), this);
    }
}

CTLVCell& CTLVCell::operator=(const CTLVCell& other) {
    if (this == &other) {
        return *this;
    }
    const unsigned char* value = other.GetValue();
    if (value != nullptr) {
        StoreValue(value, other.m_length);
    } else {
        FreeValue();
    }
    // A long value without a buffer stays so: its length is kept as it was.
    SetLength(other.m_length);
    m_header = other.m_header;
    m_printFlag = other.m_printFlag;
    NoteHeader();
    return *this;
}

void CTLVCell::set_i(ETLVType type, unsigned short tag, const void* value, unsigned long length) {
    CheckTag(tag);
    CheckLength(value, length);
    if (value == nullptr || length == 0) {
        FreeValue();
        SetLength(0);
    } else {
        StoreValue(value, length);
    }
    m_header = HeaderOf(type, tag);
    NoteHeader();
}

// Defined before its users so that they inline it.
inline CTLVCell* CTLVCell::MakeNumber(ETLVType type, unsigned short tag, uint64_t value, unsigned int width) {
    // Stored numeric values are in host order: the low `width` bytes of the value.
    unsigned char bytes[sizeof(uint64_t)];
    if constexpr (kChsHostLittleEndian) {
        memcpy(bytes, &value, sizeof(value));
    } else {
        for (unsigned int i = 0; i < width; ++i) {
            bytes[i] = static_cast<unsigned char>(value >> (8 * i));
        }
        chs_convertEndianess(bytes, width);
    }
    return Make(type, tag, bytes, width);
}

CTLVCell* CTLVCell::NewUInt16(unsigned short tag, uint16_t value) {
    return MakeNumber(TLV_UNSIGNED, tag, value, 2);
}
CTLVCell* CTLVCell::NewUInt32(unsigned short tag, uint32_t value) {
    return MakeNumber(TLV_UNSIGNED, tag, value, 4);
}
CTLVCell* CTLVCell::NewUInt64(unsigned short tag, uint64_t value) {
    return MakeNumber(TLV_UNSIGNED, tag, value, 8);
}
CTLVCell* CTLVCell::NewInt32(unsigned short tag, int32_t value) {
    return MakeNumber(TLV_INTEGER, tag, static_cast<uint64_t>(static_cast<uint32_t>(value)), 4);
}
CTLVCell* CTLVCell::NewBool(unsigned short tag, bool value) {
    return MakeNumber(TLV_BOOL, tag, value ? 1 : 0, 1);
}
CTLVCell* CTLVCell::NewEnum(unsigned short tag, uint64_t value) {
    return MakeNumber(TLV_ENUM, tag, value, 8);
}

CTLVCell* CTLVCell::NewNumber(ETLVType type, unsigned short tag, uint64_t value, unsigned int width) {
    if (!IsNumericalType(type)) {
        RaiseMsgException("CTLVCell isn't numerical type! tag equal to ", tag);
    }
    if (width == 0 || width > sizeof(uint64_t)) {
        RaiseMsgException("numerical width is invalid, width is ", width);
    }
    return MakeNumber(type, tag, value, width);
}

CTLVCell* CTLVCell::NewString(unsigned short tag, const std::string& text, ETLVType type) {
    if (!IsTextType(type)) {
        RaiseMsgException("CTLVCell isn't string type! tag equal to ", tag);
    }
    return Make(type, tag, text.c_str(), text.size() + 1);
}

CTLVCell* CTLVCell::NewOctets(unsigned short tag, const void* bytes, size_t length) {
    return Make(TLV_OCTETS, tag, bytes, length);
}

CTLVCell::operator char const*() const {
    if (GetType() != TLV_STRING) {
        RaiseMsgException("CTLVCell isn't string type! tag equal to ", GetTag());
    }
    if (m_length > TLV_INLINE_VALUE_SIZE) {
        if (m_heap == nullptr) {
            throw MsgException("CTLVCell string value is null,tag " + std::to_string(GetTag()) + " length " +
                               std::to_string(m_length));
        }
        return reinterpret_cast<const char*>(m_heap);
    }
    // Bytes past the length are zero, so an empty or unterminated short value still ends here.
    return reinterpret_cast<const char*>(m_inline);
}

std::string CTLVCell::toString() const {
    unsigned int type = GetType();
    const char* value = reinterpret_cast<const char*>(GetValue());
    if (type == TLV_OCTETS) {
        return value == nullptr ? std::string() : std::string(value, m_length);
    }
    if (IsTextType(type)) {
        return value == nullptr ? std::string() : std::string(value, strnlen(value, m_length));
    }
    if (IsNumericalType(type)) {
        return type == TLV_INTEGER ? std::to_string(ReadSigned()) : std::to_string(ReadUnsigned());
    }
    return std::string();
}

void CTLVCell::checkNumerical() const {
    if (!IsNumericalType(GetType())) {
        RaiseMsgException("CTLVCell isn't numerical type! tag equal to ", GetTag());
    }
}

uint64_t CTLVCell::GetUInt64() const {
    checkNumerical();
    return GetType() == TLV_INTEGER ? static_cast<uint64_t>(ReadSigned()) : ReadUnsigned();
}

int64_t CTLVCell::GetInt64() const {
    checkNumerical();
    return GetType() == TLV_INTEGER ? ReadSigned() : static_cast<int64_t>(ReadUnsigned());
}

// Stored numeric values are in host order; the widths follow what peers write.
uint64_t CTLVCell::ReadUnsigned() const {
    if constexpr (kChsHostLittleEndian) {
        // Inline bytes past the length are zero and a long value has more
        // than 8 bytes: 8 bytes read give every width up to 8, and the first
        // 8 bytes of a longer value.
        const unsigned char* stored = m_length > TLV_INLINE_VALUE_SIZE ? m_heap : m_inline;
        uint64_t number = 0;
        if (stored != nullptr) {
            memcpy(&number, stored, sizeof(number));
        }
        return number;
    }
    const unsigned char* value = GetValue();
    if (value == nullptr) {
        return 0;
    }
    if (m_length == 1) {
        return value[0];
    }
    if (m_length == 2) {
        uint16_t number;
        memcpy(&number, value, sizeof(number));
        return number;
    }
    if (m_length <= 4) {
        uint32_t number = 0;
        memcpy(&number, value, m_length);
        return number;
    }
    uint64_t number = 0;
    memcpy(&number, value, m_length < sizeof(number) ? m_length : sizeof(number));
    return number;
}

int64_t CTLVCell::ReadSigned() const {
    // The same widths as the unsigned read, sign-extended from the width the
    // value was copied into (3 bytes fill a 32-bit number, 5 to 7 a 64-bit one).
    uint64_t raw = ReadUnsigned();
    unsigned int bits = m_length == 1 ? 8 : m_length == 2 ? 16 : m_length <= 4 ? 32 : 64;
    if (m_length != 0 && bits < 64 && ((raw >> (bits - 1)) & 1u) != 0) {
        raw |= ~0ULL << bits;
    }
    return static_cast<int64_t>(raw);
}

const char* CTLVCell::TypeName(unsigned int type) {
    return type <= TLV_TYPE_MAX ? kTypeNames[type] : "unknown";
}

void CTLVCell::dump(std::ostream& out) const {
    out << "{" << GetTag() << "," << m_length << "," << TypeName(GetType()) << ":";
    DumpValue(out);
    out << "}";
}

void CTLVCell::DumpValue(std::ostream& out) const {
    if (!m_printFlag) {
        out << "\"******\"";
        return;
    }
    unsigned int type = GetType();
    const unsigned char* value = GetValue();
    if (type == TLV_INVALID) {
        out << "invalid";
    } else if (type == TLV_OCTETS) {
        out << "{";
        for (unsigned int i = 0; value != nullptr && i < m_length; ++i) {
            out << "0x" << std::hex << static_cast<unsigned int>(value[i]) << std::dec;
        }
        out << "}";
    } else if (IsTextType(type)) {
        if (value != nullptr) {
            out.write(reinterpret_cast<const char*>(value),
                      static_cast<std::streamsize>(strnlen(reinterpret_cast<const char*>(value), m_length)));
        }
    } else if (IsNumericalType(type)) {
        out << toString();
    } else {
        out << "null";
    }
}

void CTLVCell::FreeValue() {
    if (m_length > TLV_INLINE_VALUE_SIZE && (m_storage & kValueInArena) == 0) {
        MsgPoolFree(m_heap, m_length + 1u);
    }
    m_storage &= static_cast<unsigned char>(~kValueInArena);
    // Also nulls m_heap: the two share their bytes.
    memset(m_inline, 0, sizeof(m_inline));
}

void CTLVCell::StoreValue(const void* value, size_t length) {
    if (m_length == 0) {
        StoreFirstValue(value, length);
        SetLength(static_cast<unsigned short>(length));
        return;
    }
    // `value` may point into this cell's own storage, so the old value is freed only after the copy.
    if (length > TLV_INLINE_VALUE_SIZE) {
        unsigned char* buffer = CopyLongValue(value, length);
        FreeValue();
        m_heap = buffer;
    } else {
        unsigned char copy[TLV_INLINE_VALUE_SIZE + 1] = {};
        memcpy(copy, value, length);
        FreeValue();
        memcpy(m_inline, copy, sizeof(copy));
    }
    SetLength(static_cast<unsigned short>(length));
}
