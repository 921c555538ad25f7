#include "msg/tlv_cell.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "msg/msg_exception.h"
#include "tests/support/msg_test_util.h"

namespace {

using chs_test::RaisedText;
const auto Dump = [](const CTLVCell& cell) { return chs_test::DumpText(cell); };

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
        EXPECT_EQ(Dump(*cell), dump);
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
    EXPECT_EQ(Dump(invalid), "{1,0,Invalid:invalid}");
    CTLVCell odd;
    odd.set_i(static_cast<CTLVCell::ETLVType>(12), 11, "zz", 2);
    EXPECT_EQ(Dump(odd), "{11,2,unknown:null}");
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
    EXPECT_EQ(Dump(*secret), "{12,12,S:\"******\"}");
    EXPECT_EQ(secret->toString(), "pass phrase");
    std::unique_ptr<CTLVCell> number(CTLVCell::NewUInt16(13, 5));
    number->SetPrintFlag(false);
    EXPECT_EQ(Dump(*number), "{13,2,U:\"******\"}");
}

}  // namespace
