#include "msg/msg_object.h"

#include <cstring>
#include <memory>
#include <sstream>

#include "infra/byte_order.h"
#include "infra/chs_log.h"
#include "msg/msg_decode_log.h"
#include "msg/msg_exception.h"

namespace {

const char kInvalidPrefix[] = "TLV V3 message is invalid,reason is : ";

// Decode lines of one connection are bounded (msg_decode_log.h).
#define DECODE_LOG(...)                \
    do {                               \
        if (MsgDecodeLogAllowed()) {   \
            CHS_LOG(__VA_ARGS__);      \
        }                              \
    } while (0)
#define DECODE_LOG_PRINT(...)           \
    do {                                \
        if (MsgDecodeLogAllowed()) {    \
            CHS_LOG_PRINT(__VA_ARGS__); \
        }                               \
    } while (0)
constexpr unsigned int kMaxRecordLength = 0xFFFF;

template <typename T>
T ReadWire(const unsigned char* in) {
    T value;
    memcpy(&value, in, sizeof(value));
    return chs_convertEndianess(value);
}

template <typename T>
void WriteWire(unsigned char* out, T value) {
    value = chs_convertEndianess(value);
    memcpy(out, &value, sizeof(value));
}

// Numeric values are little-endian on the wire and in host order in a cell.
void SwapNumeric(unsigned int type, unsigned char* value, size_t length) {
    if constexpr (!kChsHostLittleEndian) {
        if (CTLVCell::IsNumericalType(type)) {
            chs_convertEndianess(value, length);
        }
    }
}

// Failures inside the cell loop, logged out of line to keep the loop small.
[[gnu::cold, gnu::noinline]] void LogBadType(unsigned int type, uint64_t code) {
    DECODE_LOG_PRINT(3, LOGID_MSG, kInvalidPrefix, "data type unmated, received type is ", type,
                     " msg code is : ", code);
}

[[gnu::cold, gnu::noinline]] void LogBadLength(unsigned int dataLength, unsigned int end,
                                               unsigned int recordLength, uint64_t code) {
    DECODE_LOG_PRINT(3, LOGID_MSG, kInvalidPrefix,
                     "data length is too long, ((sDataLen + pos) > usRecordLen + MIN_RECORD_SIZE) ->",
                     dataLength, "+", end, " > ", recordLength, "+", MIN_RECORD_SIZE,
                     " msg code is : ", code);
}

// A record long enough for more cells than this has its duplicate tags found
// with one bit per tag instead of through the record's list, so that a
// record full of colliding tags still decodes in linear time.
constexpr unsigned int kDuplicateScanCells = 64;

// Positions shared by both iterators: END_INDEX past the last record; minus()
// from index 0 gives the end, from the end the last record.
unsigned int NextIndex(const MsgObject* object, unsigned int index) {
    if (index == MsgRecord_Iterator::END_INDEX) {
        return index;
    }
    return (object == nullptr || index + 1ul >= object->size()) ? MsgRecord_Iterator::END_INDEX : index + 1;
}

unsigned int PrevIndex(const MsgObject* object, unsigned int index) {
    if (index == 0) {
        return MsgRecord_Iterator::END_INDEX;
    }
    if (index == MsgRecord_Iterator::END_INDEX) {
        return (object == nullptr || object->empty()) ? MsgRecord_Iterator::END_INDEX
                                                      : static_cast<unsigned int>(object->size() - 1);
    }
    return index - 1;
}

}  // namespace

// ---- iterators ----

MsgRecord_Iterator& MsgRecord_Iterator::plus() {
    m_index = NextIndex(m_object, m_index);
    return *this;
}

MsgRecord_Iterator& MsgRecord_Iterator::minus() {
    m_index = PrevIndex(m_object, m_index);
    return *this;
}

MsgRecord& MsgRecord_Iterator::operator*() const {
    if (m_object == nullptr) {
        RaiseMsgException("record don't exist, index is ", m_index);
    }
    return (*m_object)[m_index];
}

MsgRecord_Const_Iterator& MsgRecord_Const_Iterator::plus() {
    m_index = NextIndex(m_object, m_index);
    return *this;
}

MsgRecord_Const_Iterator& MsgRecord_Const_Iterator::minus() {
    m_index = PrevIndex(m_object, m_index);
    return *this;
}

const MsgRecord& MsgRecord_Const_Iterator::operator*() const {
    if (m_object == nullptr) {
        RaiseMsgException("record don't exist, index is ", m_index);
    }
    return (*m_object)[m_index];
}

// ---- container ----

MsgObject::~MsgObject() { clear(); }

MsgObject::MsgObject(const MsgObject& other) { *this = other; }

MsgObject& MsgObject::operator=(const MsgObject& other) {
    if (this == &other) {
        return *this;
    }
    // Copy first, so that a failed copy leaves this object as it was.
    std::vector<std::unique_ptr<MsgRecord>> copies;
    copies.reserve(other.m_records.size());
    for (const MsgRecord* record : other.m_records) {
        copies.emplace_back(new MsgRecord(*record));
    }
    clear();
    m_records.reserve(copies.size());
    for (std::unique_ptr<MsgRecord>& copy : copies) {
        m_records.push_back(copy.release());
    }
    return *this;
}

MsgRecord& MsgObject::operator[](unsigned long index) {
    if (index >= m_records.size()) {
        RaiseMsgException("record don't exist, index is ", index);
    }
    return *m_records[index];
}

const MsgRecord& MsgObject::operator[](unsigned long index) const {
    return (*const_cast<MsgObject*>(this))[index];
}

void MsgObject::append(MsgRecord* record) {
    if (record == nullptr) {
        throw MsgException("Failed to append record because of null point.");
    }
    std::unique_ptr<MsgRecord> owned(record);
    m_records.push_back(owned.get());
    owned.release();
}

MsgRecord& MsgObject::AddRecord(uint64_t code) {
    void* block = m_arena.Allocate(sizeof(MsgRecord));
    MsgRecord* record = block != nullptr ? ::new (block) MsgRecord(code, &m_arena) : new MsgRecord(code);
    try {
        m_records.push_back(record);
    } catch (...) {
        DestroyRecord(record);
        throw;
    }
    return *record;
}

void MsgObject::DestroyRecord(MsgRecord* record) {
    if (record->m_arena != nullptr) {
        record->~MsgRecord();
    } else {
        delete record;
    }
}

void MsgObject::clear() {
    for (MsgRecord* record : m_records) {
        DestroyRecord(record);
    }
    m_records.clear();
    m_arena.Reset();
}

void MsgObject::dump(std::ostream& out) const {
    for (size_t i = 0; i < m_records.size(); ++i) {
        if (i != 0) {
            out << ",";
        }
        m_records[i]->dump(out);
    }
}

// ---- one cell ----

unsigned char* CTLVCell::EncodeTo(unsigned char* out, const unsigned char* limit) const {
    WriteWire<uint16_t>(out, m_header);
    WriteWire<uint16_t>(out + 2, m_length);
    out += MIN_TLV_SIZE;
    if (m_length <= TLV_INLINE_VALUE_SIZE) {
        // All inline bytes in one move where they fit before `limit`: the
        // bytes past the value are overwritten by what is written next.
        if (static_cast<size_t>(limit - out) >= sizeof(m_inline)) {
            memcpy(out, m_inline, sizeof(m_inline));
        } else {
            CopyShort(out, m_inline, m_length);
        }
    } else if (m_heap != nullptr) {
        memcpy(out, m_heap, m_length);
    } else {
        // A long value that lost its buffer still occupies its length on the wire.
        memset(out, 0, m_length);
    }
    SwapNumeric(GetType(), out, m_length);
    return out + m_length;
}

// ---- encoding ----

unsigned int MsgObject::length() const {
    uint64_t total = 0;
    for (const MsgRecord* record : m_records) {
        unsigned int recordLength = record->length();
        if (recordLength > kMaxRecordLength) {
            throw MsgException("too big record to encode");
        }
        total += MIN_RECORD_SIZE + recordLength;
    }
    // The failure value must stay distinguishable from a length.
    if (total >= MSG_CODEC_FAILURE) {
        throw MsgException("too big body to encode");
    }
    return static_cast<unsigned int>(total);
}

unsigned int MsgObject::encode(unsigned char* buffer, unsigned int size) const {
    unsigned int total = length();
    if (total > size) {
        return MSG_CODEC_FAILURE;
    }
    if (total == 0) {
        return 0;
    }
    if (buffer == nullptr) {
        return MSG_CODEC_FAILURE;
    }
    // length() has checked every record: one more pass writes them.
    unsigned int pos = 0;
    for (const MsgRecord* record : m_records) {
        pos += WriteRecord(buffer + pos, *record, buffer + total);
    }
    return pos;
}

unsigned int MsgObject::setRecord(unsigned char* out, const MsgRecord* record) {
    if (out == nullptr || record == nullptr) {
        throw MsgException("Failed to set record because of null point.");
    }
    unsigned int recordLength = record->length();
    if (recordLength > kMaxRecordLength) {
        throw MsgException("too big record");
    }
    return WriteRecord(out, *record, out + MIN_RECORD_SIZE + recordLength);
}

unsigned int MsgObject::WriteRecord(unsigned char* out, const MsgRecord& record, const unsigned char* limit) {
    WriteWire<uint64_t>(out, record.GetCode());
    unsigned char* end = out + MIN_RECORD_SIZE;
    for (const CTLVCell* cell = record.m_first; cell != nullptr; cell = cell->m_next) {
        end = cell->EncodeTo(end, limit);
    }
    unsigned int written = static_cast<unsigned int>(end - out);
    WriteWire<uint16_t>(out + 8, static_cast<uint16_t>(written - MIN_RECORD_SIZE));
    return written;
}

// ---- decoding ----

void MsgObject::decodeValue(CTLVCell* cell, const char* in, unsigned int length) {
    if (cell == nullptr || in == nullptr || length == 0) {
        return;
    }
    if (length > TLV_MAX_VALUE_LENGTH) {
        throw CException("", 0xFFFFFFFF);
    }
    cell->StoreValue(in, length);
    SwapNumeric(cell->GetType(), cell->MutableValue(), length);
}

unsigned int MsgObject::getRecord(const unsigned char* in, unsigned int size, MsgRecord*& out) {
    return ReadRecord(in, size, nullptr, out);
}

unsigned int MsgObject::ReadRecord(const unsigned char* in, unsigned int size, MsgArena* arena,
                                   MsgRecord*& out) {
    out = nullptr;
    if (in == nullptr || size < MIN_RECORD_SIZE) {
        DECODE_LOG_PRINT(3, LOGID_MSG, kInvalidPrefix, "record is shorter than MIN_RECORD_SIZE ->", size, " < ",
                      MIN_RECORD_SIZE);
        return 0;
    }
    try {
        uint64_t code = ReadWire<uint64_t>(in);
        unsigned int recordLength = ReadWire<uint16_t>(in + 8);
        unsigned int total = recordLength + MIN_RECORD_SIZE;
        if (size < total) {
            DECODE_LOG_PRINT(3, LOGID_MSG, kInvalidPrefix,
                          "record length is too long, (usRecordLen +  MIN_RECORD_SIZE) > uiBufSize ->",
                          recordLength, "+", MIN_RECORD_SIZE, " < ", size, " msg code is : ", code);
            return 0;
        }

        void* block = arena != nullptr ? arena->Allocate(sizeof(MsgRecord)) : nullptr;
        std::unique_ptr<MsgRecord, void (*)(MsgRecord*)> record(
            block != nullptr ? ::new (block) MsgRecord(code, arena) : new MsgRecord(code), DestroyRecord);
        // Of two cells with the same tag the first one stays.
        uint64_t seen[MAX_TAG_VALUE / 64];
        const bool seenInUse = recordLength > kDuplicateScanCells * MIN_TLV_SIZE;
        if (seenInUse) {
            memset(seen, 0, sizeof(seen));
        }
        unsigned int zeroCells = 0;
        unsigned int pos = MIN_RECORD_SIZE;
        // total <= size, so a cell header that fits the record fits the buffer.
        // Fewer bytes than a cell header left: the parse-length check below rejects them.
        while (total - pos >= MIN_TLV_SIZE) {
            unsigned short header = ReadWire<uint16_t>(in + pos);
            unsigned int type = header & 0x0F;
            unsigned int dataLength = ReadWire<uint16_t>(in + pos + 2);
            if (type > CTLVCell::TLV_TYPE_MAX) {
                LogBadType(type, code);
                return 0;
            }
            if (dataLength > total - pos - MIN_TLV_SIZE) {
                LogBadLength(dataLength, pos + MIN_TLV_SIZE, recordLength, code);
                return 0;
            }
            unsigned short tag = static_cast<unsigned short>(header >> 4);
            bool duplicate = seenInUse ? (seen[tag / 64] >> (tag % 64) & 1u) != 0 : record->find(tag) != nullptr;
            if (dataLength == 0) {
                ++zeroCells;
            }
            if (!duplicate) {
                if (seenInUse) {
                    seen[tag / 64] |= uint64_t{1} << (tag % 64);
                }
                const unsigned char* value = in + pos + MIN_TLV_SIZE;
                CTLVCell* cell = record->m_arena != nullptr
                                     ? CTLVCell::MakeIn(*record->m_arena, header, value, dataLength)
                                     : nullptr;
                if (cell == nullptr) {
                    std::unique_ptr<CTLVCell> made(new CTLVCell());
                    made->m_header = header;
                    if (dataLength != 0) {
                        made->StoreFirstValue(value, dataLength);
                        made->m_length = static_cast<unsigned short>(dataLength);
                    }
                    cell = made.release();
                }
                if (dataLength != 0) {
                    SwapNumeric(type, cell->MutableValue(), dataLength);
                }
                record->LinkAtEnd(cell);
            }
            pos += MIN_TLV_SIZE + dataLength;
        }
        // One line per record, not per cell: a body of empty cells must not
        // turn into a flood of log lines.
        if (zeroCells != 0) {
            DECODE_LOG(3, LOGID_MSG, "cell length is zero. Cells of zero length in record %llu: %u.",
                    static_cast<unsigned long long>(code), zeroCells);
        }
        if (pos != total) {
            DECODE_LOG(3, LOGID_MSG, "the total length is not equal with parselen.");
            return 0;
        }
        out = record.release();
        return total;
    } catch (const std::exception& e) {
        // Only allocation can fail here; the daemon keeps running on a message it cannot hold.
        DECODE_LOG_PRINT(3, LOGID_MSG, kInvalidPrefix, "failed to hold the record, ", e.what());
        return 0;
    }
}

unsigned int MsgObject::decode(const unsigned char* buffer, unsigned int size) {
    clear();
    if (size == 0) {
        return 0;
    }
    if (buffer == nullptr || size < MIN_RECORD_SIZE) {
        DECODE_LOG_PRINT(3, LOGID_MSG, kInvalidPrefix, "body is shorter than MIN_RECORD_SIZE ->", size, " < ",
                      MIN_RECORD_SIZE);
        return MSG_CODEC_FAILURE;
    }
    try {
        unsigned int consumed = 0;
        while (true) {
            MsgRecord* record = nullptr;
            unsigned int read = ReadRecord(buffer + consumed, size - consumed, &m_arena, record);
            if (read == 0 || record == nullptr) {
                clear();
                return MSG_CODEC_FAILURE;
            }
            try {
                m_records.push_back(record);
            } catch (...) {
                DestroyRecord(record);
                throw;
            }
            consumed += read;
            if (consumed >= size) {
                return consumed;
            }
            if (size - consumed < MIN_RECORD_SIZE) {
                DECODE_LOG_PRINT(3, LOGID_MSG, kInvalidPrefix, "bytes after the last record ->", size - consumed,
                              " < ", MIN_RECORD_SIZE, " msg code is : ", record->GetCode());
                clear();
                return MSG_CODEC_FAILURE;
            }
        }
    } catch (const std::exception& e) {
        DECODE_LOG_PRINT(3, LOGID_MSG, kInvalidPrefix, "failed to hold the body, ", e.what());
        clear();
        return MSG_CODEC_FAILURE;
    }
}
