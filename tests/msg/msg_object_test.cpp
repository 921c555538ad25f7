#include "msg/msg_object.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "msg/msg_exception.h"
#include "msg/msg_pool.h"
#include "msg/net_mgr_msg.h"
#include "msg/tlv_cell.h"
#include "tests/support/log_capture.h"
#include "tests/support/msg_test_util.h"

namespace {

using chs_test::LogCapture;
using chs_test::RaisedText;
using chs_test::RecordOf;
const std::string& kInvalid = chs_test::kInvalidMsg;

using chs_test::Wire;

const auto DumpOf = [](const auto& item) { return chs_test::DumpText(item); };

std::vector<unsigned char> Encoded(const MsgObject& body) {
    std::vector<unsigned char> wire(body.length());
    EXPECT_EQ(body.encode(wire.data(), static_cast<unsigned int>(wire.size())), wire.size());
    return wire;
}

TEST(MsgRecordTest, DuplicateTagsKeepFirstOrTakeNewValueInPlace) {
    MsgRecord record(1);
    record.appendInner(CTLVCell::NewUInt32(1, 10));
    record.appendInner(CTLVCell::NewString(2, "two"));
    record.appendInner(CTLVCell::NewUInt32(1, 11));
    EXPECT_EQ(record.count(), 2u);
    EXPECT_EQ(record[1].GetUInt64(), 10u);

    CTLVCell* kept = &record[1];
    record.replaceAppendInner(CTLVCell::NewString(1, "replaced"));
    record.replaceAppendInner(CTLVCell::NewBool(3, true));
    EXPECT_EQ(&record[1], kept) << "the existing cell keeps its place";
    std::vector<unsigned short> tags;
    for (const CTLVCell& cell : record) tags.push_back(cell.GetTag());
    EXPECT_EQ(tags, (std::vector<unsigned short>{1, 2, 3}));
    EXPECT_EQ(record[1].toString(), "replaced");
    EXPECT_EQ(record.last()->GetPrev()->GetTag(), 2);
    EXPECT_EQ(record.length(), (4u + 9) + (4 + 4) + (4 + 1));

    // A cell changed in place keeps the record's length and lookups exact.
    record[2].set_i(CTLVCell::TLV_STRING, 20, "now twenty bytes long", 22);
    EXPECT_EQ(record.length(), (4u + 9) + (4 + 22) + (4 + 1));
    EXPECT_EQ(record.find(2), nullptr);
    EXPECT_EQ(record[20].toString(), "now twenty bytes long");

    EXPECT_EQ(RaisedText([&] { record.appendInner(nullptr); }),
              "Exception:Failed to append cell because of null point.");
    EXPECT_THROW(record.replaceAppendInner(nullptr), MsgException);
}

TEST(MsgRecordTest, MissingTagRaisesWithTheRecordDump) {
    std::unique_ptr<MsgRecord> record(RecordOf(5, {CTLVCell::NewUInt32(1, 7)}));
    const MsgRecord& view = *record;
    EXPECT_EQ(RaisedText([&] { (void)view[9]; }),
              "Exception:tag don't exist, tag is 9 .record is {C=5{1,4,U:7}}");
    EXPECT_THROW((void)(*record)[9], MsgException);
    EXPECT_EQ(record->find(9), nullptr);
    EXPECT_EQ(view.find(1)->GetUInt64(), 7u);
}

TEST(MsgRecordTest, CopiesAreDeepAndKeepOrder) {
    std::unique_ptr<MsgRecord> original(
        RecordOf(77, {CTLVCell::NewString(3, std::string(40, 'x')), CTLVCell::NewUInt16(1, 2)}));
    MsgRecord copy(*original);
    MsgRecord assigned(1);
    assigned.appendInner(CTLVCell::NewUInt32(3, 99));
    assigned = *original;
    original->replaceAppendInner(CTLVCell::NewString(3, "changed"));
    original->clear();
    EXPECT_EQ(original->count(), 0u);
    EXPECT_EQ(original->first(), nullptr);

    for (const MsgRecord* record : {&copy, &assigned}) {
        EXPECT_EQ(chs_test::DumpText(*record), "{C=77{3,41,S:" + std::string(40, 'x') + "}{1,2,U:2}}");
        EXPECT_EQ(record->count(), 2u);
    }
}

TEST(MsgObjectTest, EncodeWritesLittleEndianRecordsAndCells) {
    MsgObject body;
    body.append(RecordOf(0x0102030405060708ull, {CTLVCell::NewUInt32(1, 5), CTLVCell::NewString(2, "ab")}));
    Wire expected;
    expected.Record(0x0102030405060708ull, 15)
        .Cell(1, 3, std::string("\x05\0\0\0", 4))
        .Cell(2, 2, std::string("ab\0", 3));
    ASSERT_EQ(body.length(), expected.size());
    std::vector<unsigned char> out(body.length());
    EXPECT_EQ(body.encode(out.data(), static_cast<unsigned int>(out.size())), expected.size());
    EXPECT_EQ(out, expected.bytes);
}

// Bodies are built on the transport's reader thread and freed on a task
// thread: the freeing thread keeps a bounded number of blocks, the depot
// hands them back to the building thread, and the rest goes to the heap.
TEST(MsgPoolTest, BodyFreedOnAnotherThreadIsKeptOnlyUpToTheCaps) {
    if (!GetMsgPoolStats().enabled) {
        GTEST_SKIP() << "the pool is bypassed under AddressSanitizer";
    }
    // Cells, their 21-byte values and records: three classes of at least 32 bytes.
    const size_t threadCap = 3 * MSG_POOL_THREAD_CLASS_BYTES / 32;
    const size_t depotCap = 3 * MSG_POOL_DEPOT_CLASS_BYTES / 32;
    auto build = [](MsgObject& body, int records) {
        for (int code = 0; code < records; ++code) {
            MsgRecord* record = new MsgRecord(code);
            body.append(record);
            for (unsigned short tag = 0; tag < 1000; ++tag) {
                record->appendInner(CTLVCell::NewString(tag, "twenty bytes of text"));
            }
        }
    };
    auto body = std::make_unique<MsgObject>();
    build(*body, 10);  // 20010 blocks
    std::thread freer([&] {
        body.reset();
        EXPECT_LE(GetMsgPoolStats().threadBlocks, threadCap);
    });
    freer.join();
    size_t depot = GetMsgPoolStats().depotBlocks;
    EXPECT_LE(depot, depotCap);
    EXPECT_GT(depot, 0u) << "blocks freed on the other thread reach the depot";

    MsgObject again;
    build(again, 1);
    EXPECT_LT(GetMsgPoolStats().depotBlocks, depot) << "the building thread takes blocks from the depot";
}

TEST(MsgObjectTest, EveryTypeSurvivesARoundTrip) {
    MsgObject body;
    MsgRecord* first = new MsgRecord(0x70003014);
    first->appendInner(new CTLVCell());  // type 0, no value
    const unsigned char raw[] = {0, 1, 2, 0xFF};
    first->appendInner(CTLVCell::NewOctets(1, raw, sizeof(raw)));
    first->appendInner(CTLVCell::NewString(2, std::string(300, 's')));
    first->appendInner(CTLVCell::NewUInt64(3, 0xFFFFFFFFFFFFFFFFull));
    first->appendInner(CTLVCell::NewInt32(4, -123456));
    first->appendInner(CTLVCell::NewBool(5, true));
    first->appendInner(CTLVCell::NewEnum(6, 6));
    first->appendInner(CTLVCell::NewString(7, "[1,2]", CTLVCell::TLV_JSON_ARRAY));
    first->appendInner(CTLVCell::NewString(8, "{\"a\":1}", CTLVCell::TLV_JSON_OBJECT));
    first->appendInner(CTLVCell::NewNumber(CTLVCell::TLV_TIME, 4095, 1700000000, 8));
    body.append(first);
    body.append(new MsgRecord(2));
    body.append(RecordOf(3, {CTLVCell::NewUInt16(10, 65535)}));

    std::vector<unsigned char> wire(body.length());
    unsigned int written = body.encode(wire.data(), static_cast<unsigned int>(wire.size()));
    ASSERT_EQ(written, wire.size());
    MsgObject decoded;
    ASSERT_EQ(decoded.decode(wire.data(), written), written);
    EXPECT_EQ(DumpOf(decoded), DumpOf(body));
    EXPECT_EQ(decoded[0][4].GetInt64(), -123456);
    EXPECT_EQ(decoded[0][3].GetUInt64(), 0xFFFFFFFFFFFFFFFFull);
    EXPECT_EQ(decoded[0][2].toString(), std::string(300, 's'));
    EXPECT_EQ(decoded[1].count(), 0u);
}

// Records of a body build their cells in the body's memory; a record made
// with new builds them with new. Both must give the bytes, the duplicate
// rule and the refusals of appendInner(CTLVCell::New...).
TEST(MsgObjectTest, AppendFunctionsMatchAppendInnerInAndOutOfTheArena) {
    const std::string longText(300, 'x');
    const unsigned char raw[] = {0, 1, 2, 0xFF};
    auto viaAppend = [&](MsgRecord& record) {
        record.AppendUInt16(1, 65535);
        record.AppendUInt32(2, 0x01020304);
        record.AppendUInt64(3, ~0ull);
        record.AppendInt32(4, -5);
        record.AppendBool(5, true);
        record.AppendEnum(6, 6);
        record.AppendNumber(CTLVCell::TLV_TIME, 7, 1700000000, 8);
        record.AppendString(8, "short");
        record.AppendString(9, longText, CTLVCell::TLV_JSON_ARRAY);
        record.AppendOctets(10, raw, sizeof(raw));
        record.AppendString(1, "duplicate tag: dropped");
    };
    MsgRecord reference(0x70003014);
    for (CTLVCell* cell : {CTLVCell::NewUInt16(1, 65535), CTLVCell::NewUInt32(2, 0x01020304),
                           CTLVCell::NewUInt64(3, ~0ull), CTLVCell::NewInt32(4, -5), CTLVCell::NewBool(5, true),
                           CTLVCell::NewEnum(6, 6), CTLVCell::NewNumber(CTLVCell::TLV_TIME, 7, 1700000000, 8),
                           CTLVCell::NewString(8, "short"),
                           CTLVCell::NewString(9, longText, CTLVCell::TLV_JSON_ARRAY),
                           CTLVCell::NewOctets(10, raw, sizeof(raw))}) {
        reference.appendInner(cell);
    }
    MsgObject expected;
    expected.append(new MsgRecord(reference));
    const std::vector<unsigned char> expectedWire = Encoded(expected);

    for (bool inBody : {true, false}) {
        SCOPED_TRACE(inBody ? "record of a body" : "record made with new");
        MsgObject body;
        MsgRecord* record = inBody ? &body.AddRecord(0x70003014) : new MsgRecord(0x70003014);
        if (!inBody) {
            body.append(record);
        }
        viaAppend(*record);
        EXPECT_EQ(Encoded(body), expectedWire);
        EXPECT_EQ((*record)[4].GetInt64(), -5);
        EXPECT_EQ(RaisedText([&] { record->AppendUInt16(MAX_TAG_VALUE, 1); }),
                  "Exception:tag is big than MAX_TAG_VALUE, tag is 4096");
        EXPECT_EQ(RaisedText([&] { record->AppendNumber(CTLVCell::TLV_STRING, 20, 1, 4); }),
                  "Exception:CTLVCell isn't numerical type! tag equal to 20");
        EXPECT_EQ(RaisedText([&] { record->AppendString(21, "x", CTLVCell::TLV_OCTETS); }),
                  "Exception:CTLVCell isn't string type! tag equal to 21");
        // New values for cells of the arena: short, long, and back; then clear.
        record->replaceAppendInner(CTLVCell::NewString(8, longText));
        record->replaceAppendInner(CTLVCell::NewString(9, "now short", CTLVCell::TLV_JSON_ARRAY));
        (*record)[10].set_i(CTLVCell::TLV_OCTETS, 10, longText.data(), longText.size());
        EXPECT_EQ((*record)[8].toString(), longText);
        EXPECT_EQ((*record)[9].toString(), "now short");
        EXPECT_EQ((*record)[10].toString(), longText);
        MsgObject decoded;
        const std::vector<unsigned char> wire = Encoded(body);
        ASSERT_EQ(decoded.decode(wire.data(), static_cast<unsigned int>(wire.size())), wire.size());
        EXPECT_EQ(DumpOf(decoded), DumpOf(body));
    }
}

// Values that left the arena for pool blocks go back to the pool when the
// body is cleared, and a body that once held a large message keeps at most
// one small chunk for the next one.
TEST(MsgObjectTest, ClearingABodyReturnsPoolValuesAndShrinksItsArena) {
    const std::string longText(100, 'y');
    MsgObject body;
    if (GetMsgPoolStats().enabled) {  // not under AddressSanitizer
        // Two cell and two value blocks of these classes on the thread's lists.
        CTLVCell* spare = CTLVCell::NewString(1, longText);
        delete CTLVCell::NewString(1, longText);
        delete spare;
        MsgRecord& record = body.AddRecord(1);
        record.AppendString(1, "short");
        const size_t before = GetMsgPoolStats().threadBlocks;
        record.replaceAppendInner(CTLVCell::NewString(1, longText));
        body.clear();
        EXPECT_EQ(GetMsgPoolStats().threadBlocks, before) << "cell and value blocks are back on the list";
    }

    for (int code = 0; code < 200; ++code) {
        MsgRecord& big = body.AddRecord(code);
        for (unsigned short tag = 0; tag < 20; ++tag) {
            big.AppendString(tag, longText);
        }
    }
    const std::vector<unsigned char> wire = Encoded(body);
    MsgObject decoded;
    ASSERT_EQ(decoded.decode(wire.data(), static_cast<unsigned int>(wire.size())), wire.size());
    EXPECT_EQ(decoded[199][19].toString(), longText);
    decoded.clear();
    body.clear();
    EXPECT_EQ(body.ArenaBytes(), 0u) << "the last chunk was larger than the one kept";
    body.AddRecord(1).AppendString(1, longText);
    body.clear();
    EXPECT_EQ(body.ArenaBytes(), MsgArena::kFirstChunk) << "a small body keeps its chunk for the next one";
}

#ifdef CHS_MSG_POOL_BYPASS
// Once the body is cleared, a read of its arena cells is reported (use-after-poison).
TEST(MsgObjectTest, CellsOfAClearedBodyArePoisoned) {
    MsgObject body;
    body.AddRecord(1).AppendString(1, "in the arena");
    const CTLVCell* cell = &body[0][1];
    EXPECT_FALSE(__asan_address_is_poisoned(cell));
    body.clear();
    EXPECT_TRUE(__asan_address_is_poisoned(cell));
    EXPECT_TRUE(__asan_address_is_poisoned(reinterpret_cast<const unsigned char*>(cell) + sizeof(CTLVCell) - 1));
}
#endif

TEST(MsgObjectTest, EncodeIntoAShortBufferWritesNothing) {
    MsgObject body;
    EXPECT_EQ(body.encode(nullptr, 0), 0u) << "an empty body writes nothing";
    body.append(RecordOf(1, {CTLVCell::NewString(1, "hello")}));
    std::vector<unsigned char> out(body.length() - 1, 0xEE);
    EXPECT_EQ(body.encode(out.data(), static_cast<unsigned int>(out.size())), MSG_CODEC_FAILURE);
    EXPECT_EQ(out, std::vector<unsigned char>(out.size(), 0xEE));
}

TEST(MsgObjectTest, RecordBeyondSixteenBitLengthCannotBeEncoded) {
    std::string big(40000, 'b');
    MsgObject body;
    body.append(RecordOf(1, {CTLVCell::NewString(1, big), CTLVCell::NewString(2, big)}));
    EXPECT_EQ(RaisedText([&] { (void)body.length(); }), "Exception:too big record to encode");
    std::vector<unsigned char> out(100000);
    EXPECT_THROW(body.encode(out.data(), static_cast<unsigned int>(out.size())), MsgException);
    EXPECT_EQ(RaisedText([&] { MsgObject::setRecord(out.data(), &body[0]); }), "Exception:too big record");
}

TEST(MsgObjectTest, BodiesShorterThanARecordHeaderAndOneOfExactlyThatSize) {
    LogCapture log;
    std::vector<unsigned char> bytes(9, 0);
    MsgObject body;
    EXPECT_EQ(body.decode(bytes.data(), 0), 0u);
    EXPECT_TRUE(body.empty());
    for (unsigned int size = 1; size < MIN_RECORD_SIZE; ++size) {
        EXPECT_EQ(body.decode(bytes.data(), size), MSG_CODEC_FAILURE) << size;
    }
    EXPECT_EQ(body.decode(nullptr, 20), MSG_CODEC_FAILURE);

    Wire wire;
    wire.Record(42, 0);
    ASSERT_EQ(body.decode(wire.bytes.data(), wire.size()), 10u) << "a bare header is a record without cells";
    ASSERT_EQ(body.size(), 1u);
    EXPECT_EQ(body[0].GetCode(), 42u);
    EXPECT_EQ(body[0].count(), 0u);
}

// Damage to one record fails the whole body, and nothing read before it survives.
TEST(MsgObjectTest, DamagedBodiesFailAsAWhole) {
    Wire good;
    good.Record(1, 6).Cell(1, 3, "\x07\x00");
    struct Case {
        const char* name;
        Wire wire;
        std::string log;
    };
    std::vector<Case> cases;
    cases.push_back({"three trailing bytes", good, "bytes after the last record ->3 < 10"});
    cases.back().wire.bytes.insert(cases.back().wire.bytes.end(), {1, 2, 3});
    cases.push_back({"type code 12", good,
                     kInvalid + "data type unmated, received type is 12 msg code is : 9"});
    cases.back().wire.Record(9, 4).Cell(2, 12, "");
    cases.push_back(
        {"cells end one byte early, last record", good, "the total length is not equal with parselen."});
    cases.back().wire.Record(9, 7).Cell(2, 3, "\x01\x00").bytes.push_back(0);
    cases.push_back(
        {"cells end one byte early, record follows", {}, "the total length is not equal with parselen."});
    cases.back().wire.Record(9, 7).Cell(2, 3, "\x01\x00").bytes.push_back(0);
    cases.back().wire.Record(10, 0);
    cases.push_back(
        {"record longer than the buffer", good,
         kInvalid +
             "record length is too long, (usRecordLen +  MIN_RECORD_SIZE) > uiBufSize ->30+10 < 14 msg "
             "code is : 9"});
    cases.back().wire.Record(9, 30).Cell(2, 3, "");
    cases.push_back(
        {"value past the record", good,
         kInvalid +
             "data length is too long, ((sDataLen + pos) > usRecordLen + MIN_RECORD_SIZE) ->5+14 > "
             "8+10 msg code is : 9"});
    cases.back().wire.Record(9, 8).Cell(2, 3, "\x01\x00\x00\x00\x00").bytes.resize(good.size() + 18 + 1);

    for (Case& c : cases) {
        SCOPED_TRACE(c.name);
        LogCapture log;
        MsgObject body;
        body.append(new MsgRecord(123));
        EXPECT_EQ(body.decode(c.wire.bytes.data(), c.wire.size()), MSG_CODEC_FAILURE);
        EXPECT_TRUE(body.empty());
        EXPECT_TRUE(log.Contains(c.log)) << log.Lines().size();
    }
}

// Every cut of a valid body fails unless it falls on a record boundary.
TEST(MsgObjectTest, EveryTruncationIsRejectedOrEndsOnARecord) {
    Wire wire;
    wire.Record(1, 11).Cell(1, 2, "abcdefg");
    unsigned int boundary = wire.size();
    wire.Record(2, 8).Cell(2, 3, "\x01\x02\x03\x04");
    LogCapture log(0);
    for (unsigned int size = 1; size < wire.size(); ++size) {
        std::vector<unsigned char> cut(wire.bytes.begin(), wire.bytes.begin() + size);
        MsgObject body;
        unsigned int read = body.decode(cut.data(), size);
        if (size == boundary) {
            EXPECT_EQ(read, boundary);
            EXPECT_EQ(body.size(), 1u);
        } else {
            EXPECT_EQ(read, MSG_CODEC_FAILURE) << size;
        }
    }
}

TEST(MsgObjectTest, DuplicateTagOnTheWireKeepsTheFirstCell) {
    LogCapture log;
    Wire wire;
    wire.Record(5, 16).Cell(1, 3, "\x01\x00").Cell(1, 3, "\x02\x00").Cell(2, 1, "");
    MsgObject body;
    ASSERT_EQ(body.decode(wire.bytes.data(), wire.size()), wire.size());
    EXPECT_EQ(body[0].count(), 2u);
    EXPECT_EQ(body[0][1].GetUInt64(), 1u);
    EXPECT_EQ(body[0][2].GetValue(), nullptr);
    EXPECT_TRUE(log.Contains("cell length is zero."));
}

TEST(MsgObjectTest, IteratorsWalkBothWaysAndCheckTheirPosition) {
    MsgObject body;
    for (uint64_t code : {10, 20, 30}) body.append(new MsgRecord(code));
    std::vector<uint64_t> codes;
    for (MsgRecord& record : body) codes.push_back(record.GetCode());
    EXPECT_EQ(codes, (std::vector<uint64_t>{10, 20, 30}));

    MsgObject::iterator it = body.end();
    EXPECT_EQ(it.minus()->GetCode(), 30u);
    EXPECT_EQ(it.minus().minus().GetIndex(), 0u);
    EXPECT_EQ(it.minus(), body.end()) << "minus from the first record is the end";
    EXPECT_EQ(RaisedText([&] { (void)*it; }), "Exception:record don't exist, index is 4294967295");
    EXPECT_EQ(body.begin().plus().plus().plus(), body.end());
    EXPECT_EQ(body.end().plus(), body.end());

    const MsgObject& view = body;
    MsgObject::const_iterator cit = view.end();
    EXPECT_EQ((*cit.minus()).GetCode(), 30u);
    EXPECT_EQ(cit.plus(), view.end());
    MsgObject empty;
    EXPECT_EQ(empty.begin(), empty.end());
    EXPECT_EQ(empty.end().minus(), empty.end());
    EXPECT_EQ(RaisedText([&] { (void)body[3]; }), "Exception:record don't exist, index is 3");
}

TEST(MsgObjectTest, CopiesAreDeepAndDumpsJoinRecords) {
    MsgObject body;
    body.append(RecordOf(1, {CTLVCell::NewUInt16(1, 5)}));
    body.append(new MsgRecord(2));
    EXPECT_EQ(DumpOf(body), "{C=1{1,2,U:5}},{C=2}");
    MsgObject copy(body);
    MsgObject assigned;
    assigned.append(new MsgRecord(9));
    assigned = body;
    body[0].replaceAppendInner(CTLVCell::NewUInt16(1, 6));
    body.clear();
    EXPECT_EQ(DumpOf(copy), "{C=1{1,2,U:5}},{C=2}");
    EXPECT_EQ(DumpOf(assigned), DumpOf(copy));
    EXPECT_THROW(body.append(nullptr), MsgException);
}

std::vector<unsigned char> Bytes(size_t count, unsigned char first = 'a') {
    std::vector<unsigned char> bytes(count);
    for (size_t i = 0; i < count; ++i) {
        bytes[i] = static_cast<unsigned char>(first + i);
    }
    return bytes;
}

TEST(TLVCellTest, TagMustStayBelowMaxTagValue) {
    CTLVCell cell;
    uint32_t value = 1;
    cell.set_i(CTLVCell::TLV_UNSIGNED, 4095, &value, sizeof(value));
    EXPECT_EQ(cell.GetTag(), 4095);
    EXPECT_EQ(cell.GetType(), CTLVCell::TLV_UNSIGNED);
    EXPECT_EQ(cell.GetHeader(), 0xFFF3);

    EXPECT_EQ(RaisedText([&] { cell.set_i(CTLVCell::TLV_UNSIGNED, 4096, &value, sizeof(value)); }),
              "Exception:tag is big than MAX_TAG_VALUE, tag is 4096");
    EXPECT_EQ(cell.GetTag(), 4095) << "a refused set_i leaves the cell as it was";
    EXPECT_THROW(CTLVCell::NewUInt32(5000, 1), MsgException);
}

TEST(TLVCellTest, NullOrEmptyValueLeavesOnlyTheHeader) {
    CTLVCell cell;
    std::vector<unsigned char> long_value = Bytes(40);
    cell.set_i(CTLVCell::TLV_OCTETS, 3, long_value.data(), long_value.size());
    cell.set_i(CTLVCell::TLV_STRING, 9, nullptr, 12);
    EXPECT_EQ(cell.GetHeader(), (9 << 4) | 2);
    EXPECT_EQ(cell.GetLength(), 0);
    EXPECT_EQ(cell.GetValue(), nullptr);
    EXPECT_STREQ(static_cast<const char*>(cell), "");
    cell.set_i(CTLVCell::TLV_OCTETS, 9, long_value.data(), 0);
    EXPECT_EQ(cell.GetLength(), 0);
}

TEST(TLVCellTest, ValueLongerThanTheWireLengthIsRefused) {
    std::vector<unsigned char> huge(TLV_MAX_VALUE_LENGTH + 1, 'x');
    CTLVCell cell;
    try {
        cell.set_i(CTLVCell::TLV_OCTETS, 1, huge.data(), huge.size());
        FAIL() << "a value that the 16-bit length cannot describe must not be cut silently";
    } catch (const CException& e) {
        EXPECT_EQ(e.GetCode(), 0xFFFFFFFFu);
        EXPECT_STREQ(e.what(), "Exception:");
    }
    cell.set_i(CTLVCell::TLV_OCTETS, 1, huge.data(), TLV_MAX_VALUE_LENGTH);
    EXPECT_EQ(cell.GetLength(), TLV_MAX_VALUE_LENGTH);
}

// 15 bytes live inside the cell, 16 in a buffer of their own; both copy deeply.
TEST(TLVCellTest, InlineAndHeapValuesCopyDeeply) {
    for (size_t size : {size_t{15}, size_t{16}}) {
        SCOPED_TRACE(size);
        std::vector<unsigned char> bytes = Bytes(size);
        CTLVCell original;
        original.set_i(CTLVCell::TLV_OCTETS, 7, bytes.data(), bytes.size());
        original.SetPrintFlag(false);
        bool inside = original.GetValue() >= reinterpret_cast<const unsigned char*>(&original) &&
                      original.GetValue() < reinterpret_cast<const unsigned char*>(&original + 1);
        EXPECT_EQ(inside, size <= TLV_INLINE_VALUE_SIZE);

        CTLVCell copied(original);
        CTLVCell assigned;
        assigned.set_i(CTLVCell::TLV_STRING, 1, "something else entirely", 24);
        assigned = original;
        std::vector<unsigned char> other = Bytes(size, 'A');
        original.set_i(CTLVCell::TLV_OCTETS, 7, other.data(), other.size());

        for (const CTLVCell* copy : {&copied, &assigned}) {
            EXPECT_NE(copy->GetValue(), original.GetValue());
            EXPECT_EQ(copy->GetLength(), size);
            EXPECT_EQ(copy->GetHeader(), (7 << 4) | 1);
            EXPECT_FALSE(copy->GetPrintFlag());
            EXPECT_EQ(0, memcmp(copy->GetValue(), bytes.data(), size));
        }
        assigned = assigned;
        EXPECT_EQ(0, memcmp(assigned.GetValue(), bytes.data(), size));
    }
}

TEST(TLVCellTest, SetFromItsOwnValueKeepsTheValue) {
    for (size_t size : {size_t{5}, size_t{30}}) {
        std::vector<unsigned char> bytes = Bytes(size);
        CTLVCell cell;
        cell.set_i(CTLVCell::TLV_OCTETS, 2, bytes.data(), bytes.size());
        cell.set_i(CTLVCell::TLV_OCTETS, 3, cell.GetValue(), cell.GetLength());
        ASSERT_EQ(cell.GetLength(), size);
        EXPECT_EQ(0, memcmp(cell.GetValue(), bytes.data(), size));
    }
}

// Values of every width the wire can carry, bytes 0x81 0x82 ...: the high
// bit is set so that sign handling shows.
TEST(TLVCellTest, NumericValuesReadLittleEndianByWidth) {
    const uint64_t expected_unsigned[] = {0, 0x81, 0x8281, 0x838281, 0x84838281, 0x8584838281, 0x868584838281,
                                          0x87868584838281, 0x8887868584838281, 0x8887868584838281};
    const int64_t expected_signed[] = {0, -127, static_cast<int16_t>(0x8281), 0x838281,
                                       static_cast<int32_t>(0x84838281), 0x8584838281, 0x868584838281,
                                       0x87868584838281, static_cast<int64_t>(0x8887868584838281),
                                       static_cast<int64_t>(0x8887868584838281)};
    std::vector<unsigned char> bytes = Bytes(9, 0x81);
    for (size_t width = 0; width <= 9; ++width) {
        SCOPED_TRACE(width);
        CTLVCell unsigned_cell;
        unsigned_cell.set_i(CTLVCell::TLV_UNSIGNED, 1, bytes.data(), width);
        EXPECT_EQ(unsigned_cell.GetUInt64(), expected_unsigned[width]);
        EXPECT_EQ(unsigned_cell.toString(), std::to_string(expected_unsigned[width]));

        CTLVCell signed_cell;
        signed_cell.set_i(CTLVCell::TLV_INTEGER, 1, bytes.data(), width);
        EXPECT_EQ(signed_cell.GetInt64(), expected_signed[width]);
        EXPECT_EQ(signed_cell.toString(), std::to_string(expected_signed[width]));
    }
}

// Each dump "{tag,length,type:value}" pins the width, type and value a typed constructor wrote.
TEST(TLVCellTest, TypedConstructorsUseTheSystemWidthsAndDumpPerType) {
    const unsigned char raw[] = {0x01, 0xAB, 0x00};
    const std::pair<CTLVCell*, const char*> cases[] = {
        {CTLVCell::NewUInt16(1, 0xBEEF), "{1,2,U:48879}"},
        {CTLVCell::NewUInt32(2, 0xDEADBEEF), "{2,4,U:3735928559}"},
        {CTLVCell::NewUInt64(3, 0x0123456789ABCDEFull), "{3,8,U:81985529216486895}"},
        {CTLVCell::NewInt32(4, -5), "{4,4,I:-5}"},
        {CTLVCell::NewBool(5, true), "{5,1,B:1}"},
        {CTLVCell::NewBool(6, false), "{6,1,B:0}"},
        {CTLVCell::NewEnum(7, 9), "{7,8,E:9}"},
        {CTLVCell::NewNumber(CTLVCell::TLV_TIME, 8, 1700000000, 8), "{8,8,T:1700000000}"},
        {CTLVCell::NewString(9, "abc"), "{9,4,S:abc}"},  // text is stored with its NUL
        {CTLVCell::NewString(10, "[1]", CTLVCell::TLV_JSON_ARRAY), "{10,4,JA:[1]}"},
        {CTLVCell::NewString(11, "{}", CTLVCell::TLV_JSON_OBJECT), "{11,3,JO:{}}"},
        {CTLVCell::NewOctets(12, raw, sizeof(raw)), "{12,3,Oct:{0x10xab0x0}}"},
    };
    for (const auto& [cell, dump] : cases) {
        std::unique_ptr<CTLVCell> owned(cell);
        EXPECT_EQ(DumpOf(*cell), dump);
    }
    std::unique_ptr<CTLVCell> flag(CTLVCell::NewBool(5, true));
    EXPECT_TRUE(flag->GetBool());
    std::unique_ptr<CTLVCell> octets(CTLVCell::NewOctets(2, raw, sizeof(raw)));
    EXPECT_EQ(octets->toString(), std::string("\x01\xAB\x00", 3));

    EXPECT_THROW(CTLVCell::NewNumber(CTLVCell::TLV_STRING, 1, 1, 4), MsgException);
    EXPECT_THROW(CTLVCell::NewNumber(CTLVCell::TLV_UNSIGNED, 1, 1, 0), MsgException);
    EXPECT_THROW(CTLVCell::NewNumber(CTLVCell::TLV_UNSIGNED, 1, 1, 9), MsgException);
    EXPECT_THROW(CTLVCell::NewString(1, "x", CTLVCell::TLV_OCTETS), MsgException);

    CTLVCell invalid;
    invalid.set_i(CTLVCell::TLV_INVALID, 1, nullptr, 0);
    EXPECT_EQ(invalid.toString(), "");
    EXPECT_EQ(DumpOf(invalid), "{1,0,Invalid:invalid}");
    CTLVCell odd;
    odd.set_i(static_cast<CTLVCell::ETLVType>(12), 11, "zz", 2);
    EXPECT_EQ(DumpOf(odd), "{11,2,unknown:null}");
    EXPECT_EQ(odd.toString(), "");
}

TEST(TLVCellTest, StringAndNumericAccessCheckTheType) {
    std::unique_ptr<CTLVCell> number(CTLVCell::NewUInt32(7, 1));
    EXPECT_EQ(RaisedText([&] { (void)static_cast<const char*>(*number); }),
              "Exception:CTLVCell isn't string type! tag equal to 7");
    std::unique_ptr<CTLVCell> json(CTLVCell::NewString(8, "{}", CTLVCell::TLV_JSON_OBJECT));
    EXPECT_THROW((void)static_cast<const char*>(*json), MsgException) << "only type 2 converts";

    std::unique_ptr<CTLVCell> text(CTLVCell::NewString(11, "x"));
    EXPECT_EQ(RaisedText([&] { text->checkNumerical(); }),
              "Exception:CTLVCell isn't numerical type! tag equal to 11");
    EXPECT_THROW(text->GetUInt64(), MsgException);
    EXPECT_NO_THROW(number->checkNumerical());
}

// Text from the wire need not carry its NUL; reading it must stop at the value's end.
TEST(TLVCellTest, UnterminatedTextStopsAtTheValueEnd) {
    for (size_t size : {size_t{3}, size_t{15}, size_t{40}}) {
        std::vector<unsigned char> bytes(size, 'q');
        CTLVCell cell;
        cell.set_i(CTLVCell::TLV_STRING, 1, bytes.data(), bytes.size());
        EXPECT_EQ(std::string(static_cast<const char*>(cell)), std::string(size, 'q'));
        EXPECT_EQ(cell.toString(), std::string(size, 'q'));
    }
    CTLVCell embedded;
    embedded.set_i(CTLVCell::TLV_STRING, 1, "ab\0cd", 5);
    EXPECT_EQ(embedded.toString(), "ab");
}

TEST(TLVCellTest, ClearedPrintFlagHidesTheValueOnlyInDumps) {
    std::unique_ptr<CTLVCell> secret(CTLVCell::NewString(12, "pass phrase"));
    ASSERT_TRUE(secret->GetPrintFlag());
    secret->SetPrintFlag(false);
    EXPECT_EQ(DumpOf(*secret), "{12,12,S:\"******\"}");
    EXPECT_EQ(secret->toString(), "pass phrase");
    std::unique_ptr<CTLVCell> number(CTLVCell::NewUInt16(13, 5));
    number->SetPrintFlag(false);
    EXPECT_EQ(DumpOf(*number), "{13,2,U:\"******\"}");
}

struct Head {
    uint32_t magic = 0x55555555;
    uint32_t version = 3;
    uint32_t result = 0;
    uint32_t sessionKey = 0xFFFFFFFF;
    uint16_t node = 65533;
    uint16_t reserve1 = 0xFFFF;
    uint16_t reserve2 = 0xFFFF;
    uint16_t serial = 0xFFFF;
    uint32_t length = 0;
};

// Wire bytes assembled by hand so that the tests pin the header layout.
std::vector<unsigned char> Message(const Head& head, const std::vector<unsigned char>& body = {}) {
    chs_test::Wire out;
    out.U32(head.magic).U32(head.version).U32(head.result).U32(head.sessionKey);
    out.U16(head.node).U16(head.reserve1).U16(head.reserve2).U16(head.serial).U32(head.length);
    out.bytes.insert(out.bytes.end(), body.begin(), body.end());
    return out.bytes;
}

// One record, code 7, one unsigned cell: tag 1, value 0x1234.
std::vector<unsigned char> SmallBody() { return chs_test::Wire().Record(7, 6).Cell(1, 3, "\x34\x12").bytes; }


Head With(void (*change)(Head&)) {
    Head head;
    change(head);
    return head;
}

// Each is refused for one reason, the length first; a length near 4 GiB
// must not wrap around into a match.
TEST(NetMgrMsgTest, MalformedHeadersAreRefused) {
    const struct {
        const char* why;
        Head fields;
        unsigned int size;
        std::string logged;
    } cases[] = {
        {"short", Head{}, 27, "TLV V3 message is invalid,pBuf is null or uiBufSize is not enough!"},
        {"length first", With([](Head& h) { h.magic = 0x12345678, h.version = 9, h.serial = 7; }), 29,
         kInvalid + "(uiBufSize != pHead->uiLength + sizeof(Q7XMsgHeadV3)) -> 29 != 0 + 28 msg serail 7"},
        {"near 4 GiB", With([](Head& h) { h.length = 0xFFFFFFFF - 27; }), 28, "uiBufSize != pHead->uiLength"},
        {"4 GiB", With([](Head& h) { h.length = 0xFFFFFFFF; }), 27, "uiBufSize is not enough"},
        {"magic", With([](Head& h) { h.magic = 0x55555554; }), 28,
         kInvalid + "received magic number is 1431655764"},
        {"version", With([](Head& h) { h.version = 2; }), 28, kInvalid + "received version is 2"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.why);
        LogCapture log;
        std::vector<unsigned char> bytes = Message(c.fields);
        bytes.resize(std::max<size_t>(bytes.size(), c.size));
        NetMgrMsg message;
        EXPECT_EQ(message.Decode(bytes.data(), c.size), 0xFFFFFFFFu);
        std::vector<std::string> lines = log.Matching(c.logged);
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_NE(lines[0].find("[CheckValid:"), std::string::npos) << lines[0];
        EXPECT_EQ(log.Count("TLV V3 message is invalid"), 1u) << "one reason";
    }
    Q7XMsgHeadV3 head = MakeFreshQ7XMsgHeadV3();
    EXPECT_EQ(NetMgrMsg::CheckValid(nullptr, 28, head), 0xFFFFFFFFu);
    std::vector<unsigned char> bytes = Message(cases[1].fields);
    bytes.push_back(0);
    EXPECT_EQ(NetMgrMsg::CheckValid(bytes.data(), 29, head), 0xFFFFFFFFu);
    EXPECT_EQ(head.uiMagicNumber, 0x12345678u) << "the header is read even when it is refused";
}

TEST(NetMgrMsgTest, BodyFailureLeavesTheMessageUnchanged) {
    NetMgrMsg message;
    message.SetResult(3);
    message.SetSessionKey(42);
    message.GetBody().append(new MsgRecord(11));
    std::string before = DumpOf(message);

    LogCapture log;
    Head fields;
    fields.result = 8;
    fields.serial = 9;
    fields.length = 3;
    std::vector<unsigned char> bytes = Message(fields, {1, 2, 3});
    EXPECT_EQ(message.Decode(bytes.data(), static_cast<unsigned int>(bytes.size())), 0xFFFFFFFFu);
    EXPECT_TRUE(
        log.Contains(kInvalid +
                     "it failed to parse record: (position = uiBufSize - head.uiLength - pos) -> position "
                     "= 31 - 3 - 0 msg serail 9."));
    EXPECT_EQ(DumpOf(message), before);
    EXPECT_EQ(message.GetHead().uiLength, 0u);
}

TEST(NetMgrMsgTest, DumpShowsOnlyTheTailOfTheSessionKey) {
    NetMgrMsg message;
    EXPECT_EQ(DumpOf(message), "{S=65535,SK=*295}");
    message.SetSessionKey(42);
    EXPECT_EQ(DumpOf(message), "{S=65535,SK=*42}");
    message.SetSessionKey(4321);
    message.SetResult(7);
    message.SetNodeNum(1);
    message.SetSerialNum(12);
    message.GetBody().append(chs_test::RecordOf(5, {CTLVCell::NewUInt16(1, 3)}));
    EXPECT_EQ(DumpOf(message), "{R=7 N=1 S=12,SK=*321{C=5{1,2,U:3}}}");
}

TEST(NetMgrMsgTest, EncodeAndDecodeRoundTrip) {
    NetMgrMsg message;
    MsgInterface& generic = message;
    generic.SetResult(0x40E00001);
    generic.SetSessionKey(123456);
    message.SetNodeNum(3);
    message.SetSerialNum(77);
    message.GetBody().append(chs_test::RecordOf(7, {CTLVCell::NewUInt16(1, 0x1234)}));

    unsigned char* raw = nullptr;
    unsigned int written = generic.Encode(raw);
    std::unique_ptr<unsigned char[]> owned(raw);
    ASSERT_NE(raw, nullptr);
    std::vector<unsigned char> body = SmallBody();
    ASSERT_EQ(written, body.size());
    Head expected;
    expected.result = 0x40E00001;
    expected.sessionKey = 123456;
    expected.node = 3;
    expected.serial = 77;
    expected.length = static_cast<uint32_t>(body.size());
    std::vector<unsigned char> wire = Message(expected, body);
    EXPECT_EQ(std::vector<unsigned char>(raw, raw + 28 + written), wire);

    NetMgrMsg decoded;
    ASSERT_EQ(decoded.Decode(wire.data(), static_cast<unsigned int>(wire.size())), wire.size());
    EXPECT_EQ(DumpOf(decoded), DumpOf(message));
    EXPECT_EQ(decoded.GetResult(), 0x40E00001u);
    EXPECT_EQ(decoded.GetBody()[0][1].GetUInt64(), 0x1234u);
    // A header-only message replaces the body, and every field is read.
    wire = Message(Head{0x55555555, 3, 5, 4321, 2, 0x1111, 0x2222, 9, 0});
    ASSERT_EQ(decoded.Decode(wire.data(), static_cast<unsigned int>(wire.size())), 28u);
    EXPECT_TRUE(decoded.GetBody().empty());
    EXPECT_EQ(DumpOf(decoded), "{R=5 N=2 S=9,SK=*321}");
    EXPECT_EQ(decoded.GetHead().usReserve1, 0x1111);
    EXPECT_EQ(decoded.GetHead().usReserve2, 0x2222);
    EXPECT_EQ(decoded.GetVersion(), 3u);
    decoded.Clear();
    EXPECT_TRUE(decoded.GetBody().empty());

    NetMgrMsg empty;
    unsigned char* header_only = nullptr;
    EXPECT_EQ(empty.Encode(header_only), 0u);
    std::unique_ptr<unsigned char[]> owned_header(header_only);
    EXPECT_EQ(std::vector<unsigned char>(header_only, header_only + 28), Message(Head{}));
}

}  // namespace
