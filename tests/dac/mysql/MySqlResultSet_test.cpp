// Row and column-definition decoding over byte fixtures.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "dac/mysql/MySqlErrors.h"
#include "dac/mysql/MySqlResultSet.h"

using namespace rivalon;

namespace {

const std::uint8_t* Bytes(const std::string& s) { return reinterpret_cast<const std::uint8_t*>(s.data()); }

std::string LenStr(const std::string& s) {
    std::string out;
    if (s.size() < 251) {
        out += static_cast<char>(s.size());
    } else if (s.size() < 0x10000) {
        out += '\xFC';
        out += static_cast<char>(s.size() & 0xFF);
        out += static_cast<char>((s.size() >> 8) & 0xFF);
    } else {
        out += '\xFD';
        out += static_cast<char>(s.size() & 0xFF);
        out += static_cast<char>((s.size() >> 8) & 0xFF);
        out += static_cast<char>((s.size() >> 16) & 0xFF);
    }
    return out + s;
}

int ErrorOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const EMySqlException& e) {
        return e.ErrorCode();
    }
    return -1;
}

std::string View(const TMySqlBinds& b, std::size_t i) {
    return std::string(reinterpret_cast<const char*>(b.Buffer) + b.Items[i].Offset, b.Items[i].Length);
}

} // namespace

TEST(FetchFields, LocatesValuesWithoutCopying) {
    const std::string big(300, 'x');
    const std::string mid(70000, 'y');
    const std::string row = LenStr("1") + "\xFB" + LenStr("") + LenStr(big) + LenStr(mid);
    TMySqlBinds binds(5);
    FetchFields(Bytes(row), row.size(), &binds);
    EXPECT_EQ(binds.Buffer, Bytes(row));
    EXPECT_EQ(binds.BufferLength, row.size());
    EXPECT_EQ(View(binds, 0), "1");
    EXPECT_EQ(binds.Items[0].Offset, 1u);
    EXPECT_TRUE(binds.Items[1].IsNull);
    EXPECT_EQ(binds.Items[1].Offset, 0u);
    EXPECT_EQ(binds.Items[1].Length, 0u);
    EXPECT_FALSE(binds.Items[2].IsNull);
    EXPECT_EQ(binds.Items[2].Length, 0u);
    // A value longer than 250 bytes starts with 0xFC, one past 65535 with 0xFD.
    EXPECT_EQ(row[4], '\xFC');
    EXPECT_EQ(View(binds, 3), big);
    EXPECT_EQ(View(binds, 4), mid);
}

TEST(FetchFields, EightByteLength) {
    std::string row = "\xFE";
    const std::uint64_t n = 0x1000000; // the first length that needs the 8-byte form
    for (int i = 0; i < 8; ++i) row += static_cast<char>((n >> (8 * i)) & 0xFF);
    row.append(n, 'z');
    TMySqlBinds binds(1);
    FetchFields(Bytes(row), row.size(), &binds);
    EXPECT_EQ(binds.Items[0].Offset, 9u);
    EXPECT_EQ(binds.Items[0].Length, n);
}

TEST(FetchFields, MalformedRowsAreRefused) {
    const std::string good = LenStr("abc") + "\xFB" + "\xFC\x2C\x01" + std::string(300, 'q');
    // Every truncation of a valid row is short of its fields.
    for (std::size_t cut = 0; cut < good.size(); ++cut) {
        TMySqlBinds binds(3);
        EXPECT_EQ(ErrorOf([&] { FetchFields(Bytes(good), cut, &binds); }), CR_MALFORMED_PACKET)
            << "cut at " << cut;
    }
    struct Case {
        const char* what;
        std::string row;
        std::size_t columns;
    } cases[] = {
        {"invalid prefix 0xFF", std::string("\xFF", 1), 1},
        {"length past the end", std::string("\x05" "ab", 3), 1},
        {"8-byte length past the end", std::string("\xFE\xFF\xFF\xFF\xFF\xFF\xFF\xFF\x7F" "a", 10), 1},
        {"bytes after the last value", std::string("\x01" "a" "x", 3), 1},
        {"fewer values than columns", std::string("\x01" "a", 2), 2},
    };
    for (const Case& c : cases) {
        TMySqlBinds binds(c.columns);
        EXPECT_EQ(ErrorOf([&] { FetchFields(Bytes(c.row), c.row.size(), &binds); }), CR_MALFORMED_PACKET)
            << c.what;
    }
    const std::string one = LenStr("a");
    EXPECT_EQ(ErrorOf([&] { FetchFields(Bytes(one), one.size(), nullptr); }), CR_NULL_POINTER);
}

TEST(FetchPreparedFields, BitmapFixedAndLengthEncodedValues) {
    std::vector<TMySqlFieldInfo> fields(4);
    fields[0].MyType = MYSQL_TYPE_TINY;
    fields[1].MyType = MYSQL_TYPE_LONGLONG;
    fields[2].MyType = MYSQL_TYPE_VAR_STRING;
    fields[3].MyType = MYSQL_TYPE_LONG;
    // Header 0x00, bitmap (4 + 9) / 8 = 1 byte: column 3 NULL is bit 5.
    std::string row("\x00\x20", 2);
    row += '\x07';
    row += std::string("\x2A\x00\x00\x00\x00\x00\x00\x00", 8);
    row += LenStr("hey");
    TMySqlBinds binds(4);
    FetchPreparedFields(Bytes(row), row.size(), fields, &binds);
    EXPECT_EQ(binds.Items[0].Offset, 2u);
    EXPECT_EQ(binds.Items[0].Length, 1u);
    EXPECT_EQ(binds.Items[1].Offset, 3u);
    EXPECT_EQ(binds.Items[1].Length, 8u);
    EXPECT_EQ(View(binds, 2), "hey");
    EXPECT_TRUE(binds.Items[3].IsNull);
    for (std::size_t cut = 0; cut < row.size(); ++cut)
        EXPECT_EQ(ErrorOf([&] { FetchPreparedFields(Bytes(row), cut, fields, &binds); }), CR_MALFORMED_PACKET);
}

namespace {

std::string Definition41(const std::string& name, std::uint16_t charset, std::uint32_t length,
                         std::uint8_t type, std::uint16_t flags, std::uint8_t decimals) {
    std::string d = LenStr("def") + LenStr("rivalon_test") + LenStr("t_alias") + LenStr("t") +
                    LenStr(name) + LenStr(name + "_org");
    d += '\x0C';
    d += static_cast<char>(charset & 0xFF);
    d += static_cast<char>(charset >> 8);
    for (int i = 0; i < 4; ++i) d += static_cast<char>((length >> (8 * i)) & 0xFF);
    d += static_cast<char>(type);
    d += static_cast<char>(flags & 0xFF);
    d += static_cast<char>(flags >> 8);
    d += static_cast<char>(decimals);
    d += std::string(2, '\0');
    return d;
}

} // namespace

TEST(MySqlFieldInfo, Protocol41Definition) {
    const std::string d = Definition41("id", 63, 11, MYSQL_TYPE_LONG, 0x4203, 0);
    const TMySqlFieldInfo f = MySqlFieldInfo(Bytes(d), d.size(), true, true);
    EXPECT_EQ(f.Database, "rivalon_test");
    EXPECT_EQ(f.Table, "t_alias");
    EXPECT_EQ(f.OrgTable, "t");
    EXPECT_EQ(f.Name, "id");
    EXPECT_EQ(f.OrgName, "id_org");
    EXPECT_EQ(f.CharsetNr, 63);
    EXPECT_EQ(f.Length, 11u);
    EXPECT_EQ(f.MyType, MYSQL_TYPE_LONG);
    EXPECT_EQ(f.Flags, 0x4203u | NUM_FLAG);
    EXPECT_EQ(f.Scale, 0);
    EXPECT_EQ(f.MaxLength, 0);
    EXPECT_TRUE(f.DefaultValue.empty());

    // A 16-bit flags field with its top bit set stays within 16 bits.
    const std::string v = Definition41("s", 45, 400, MYSQL_TYPE_VAR_STRING, 0x8001, 0);
    EXPECT_EQ(MySqlFieldInfo(Bytes(v), v.size(), true, true).Flags, 0x8001u);
    const std::string dec = Definition41("d", 63, 12, MYSQL_TYPE_NEWDECIMAL, 0, 2);
    EXPECT_EQ(MySqlFieldInfo(Bytes(dec), dec.size(), true, true).Scale, 2);

    for (std::size_t cut = 0; cut + 2 < d.size(); ++cut)
        EXPECT_EQ(ErrorOf([&] { MySqlFieldInfo(Bytes(d), cut, true, true); }), CR_MALFORMED_PACKET)
            << "cut at " << cut;
}

TEST(MySqlFieldInfo, NumericMark) {
    struct Case {
        std::uint8_t type;
        std::uint32_t length;
        bool numeric;
    } cases[] = {
        {MYSQL_TYPE_DECIMAL, 10, true},    {MYSQL_TYPE_TINY, 4, true},
        {MYSQL_TYPE_INT24, 9, true},       {MYSQL_TYPE_LONGLONG, 20, true},
        {MYSQL_TYPE_TIMESTAMP, 19, false}, {MYSQL_TYPE_TIMESTAMP, 14, true},
        {MYSQL_TYPE_TIMESTAMP, 8, true},   {MYSQL_TYPE_YEAR, 4, true},
        {MYSQL_TYPE_DATE, 10, false},      {MYSQL_TYPE_VAR_STRING, 80, false},
    };
    for (const Case& c : cases) EXPECT_EQ(IsNumField(c.type, c.length), c.numeric) << int(c.type);
}

TEST(MySqlFieldInfo, OldProtocolDefinition) {
    std::string d = LenStr("tbl") + LenStr("col") + LenStr(std::string("\x0B\x00\x00", 3)) +
                    LenStr(std::string("\xFD", 1));
    const std::string longFlags = d + LenStr(std::string("\x01\x02\x03", 3));
    TMySqlFieldInfo f = MySqlFieldInfo(Bytes(longFlags), longFlags.size(), false, true);
    EXPECT_EQ(f.Table, "tbl");
    EXPECT_EQ(f.OrgTable, "tbl");
    EXPECT_EQ(f.Name, "col");
    EXPECT_TRUE(f.OrgName.empty());
    EXPECT_TRUE(f.Database.empty());
    EXPECT_EQ(f.CharsetNr, 0);
    EXPECT_EQ(f.Length, 11u);
    EXPECT_EQ(f.MyType, MYSQL_TYPE_VAR_STRING);
    EXPECT_EQ(f.Flags, 0x0201u);
    EXPECT_EQ(f.Scale, 3);
    const std::string shortFlags = d + LenStr(std::string("\x01\x03", 2));
    f = MySqlFieldInfo(Bytes(shortFlags), shortFlags.size(), false, false);
    EXPECT_EQ(f.Flags, 0x01u);
    EXPECT_EQ(f.Scale, 3);
    EXPECT_EQ(ErrorOf([&] { MySqlFieldInfo(Bytes(shortFlags), shortFlags.size(), false, true); }),
              CR_MALFORMED_PACKET);
}
