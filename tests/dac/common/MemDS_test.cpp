#include <gtest/gtest.h>

#include <optional>

#include "dac/common/MemDS.h"
#include "platform/CodePage.h"
#include "TestRecordSet.h"

using namespace rivalon;
using namespace rivalon::test;

namespace {

// A data set that owns its record store, as the query owns its record set.
class TTestQuery : public TMemDataSet {
public:
    TTestRecordSet RS;
    TTestQuery() {
        SetName(u"qryAux");
        SetData(&RS);
    }
    ~TTestQuery() override { Close(); }
};

std::u16string MessageOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const EDatabaseError& e) {
        return e.Message();
    }
    return u"<no EDatabaseError>";
}

} // namespace

TEST(FieldTypes, NamesMapsAndCompatibility) {
    EXPECT_EQ(FieldTypeName(ftUnknown), u"Unknown");
    EXPECT_EQ(FieldTypeName(ftString), u"String");
    EXPECT_EQ(FieldTypeName(ftSmallint), u"SmallInt");
    EXPECT_EQ(FieldTypeName(ftInteger), u"Integer");
    EXPECT_EQ(FieldTypeName(ftFixedChar), u"FixedChar");
    EXPECT_EQ(FieldTypeName(ftWideString), u"WideString");
    EXPECT_EQ(FieldTypeName(ftLargeint), u"LargeInt");
    EXPECT_EQ(FieldTypeName(ftFixedWideChar), u"FixedWideChar");
    EXPECT_EQ(FieldTypeName(ftSingle), u"Single");
    EXPECT_EQ(int(ftFixedChar), 23);
    EXPECT_EQ(int(ftWideString), 24);
    EXPECT_EQ(int(ftLargeint), 25);
    EXPECT_EQ(int(ftFixedWideChar), 38);

    const TFieldTypeMap& map = TFieldTypeMap::Default();
    struct Case {
        uint16_t dt;
        TFieldType ft;
    } maps[] = {
        {dtUnknown, ftUnknown}, {dtString, ftString}, {dtExtString, ftString},
        {dtWideString, ftWideString}, {dtExtWideString, ftWideString}, {dtInt8, ftShortint},
        {dtInt16, ftSmallint}, {dtInt32, ftInteger}, {dtInt64, ftLargeint}, {dtUInt64, ftLargeint},
        {dtUInt8, ftByte}, {dtUInt16, ftWord}, {dtUInt32, ftLongWord}, {dtSingle, ftSingle},
        {dtFloat, ftFloat}, {dtExtended, ftExtended}, {dtCurrency, ftCurrency}, {dtBCD, ftBCD},
        {dtFMTBCD, ftFMTBcd}, {dtDate, ftDate}, {dtTime, ftTime}, {dtDateTime, ftDateTime},
        {dtSQLTimeStamp, ftTimeStamp}, {dtSQLTimeStampOffset, TFieldType(99)}, {dtBoolean, ftBoolean},
        {dtBytes, ftBytes}, {dtVarBytes, ftVarBytes}, {dtExtVarBytes, ftVarBytes}, {dtBlob, ftBlob},
        {dtMemo, ftMemo}, {dtWideMemo, ftWideMemo}, {dtVariant, ftVariant}, {dtObject, ftADT},
        {dtReference, ftReference}, {dtArray, ftArray}, {dtTable, ftDataSet}, {dtGuid, ftGuid},
        {dtCursor, ftCursor},
    };
    for (const auto& c : maps) EXPECT_EQ(map.GetFieldType(c.dt), c.ft) << "dt " << c.dt;
    for (uint16_t dt : {dtFixedChar, dtFixedWideChar, dtExtBytes, dtXML, uint16_t(42)})
        EXPECT_FALSE(map.GetFieldType(dt).has_value()) << "dt " << dt;
    struct Back {
        TFieldType ft;
        uint16_t dt;
    } backs[] = {{ftString, dtString}, {ftFixedChar, dtString}, {ftWideString, dtWideString},
                 {ftFixedWideChar, dtWideString}, {ftInteger, dtInt32}, {ftLargeint, dtInt64},
                 {ftUnknown, dtUnknown}};
    for (const auto& b : backs) EXPECT_EQ(map.GetDataType(b.ft), b.dt) << "ft " << int(b.ft);

    struct Compat {
        TFieldType field, def;
        bool ok;
    } compat[] = {
        {ftInteger, ftSmallint, true},   {ftInteger, ftShortint, true},  {ftInteger, ftByte, true},
        {ftInteger, ftWord, true},       {ftSmallint, ftInteger, true},  {ftInteger, ftLargeint, false},
        {ftLargeint, ftInteger, false},  {ftInteger, ftLongWord, false}, {ftString, ftFixedChar, true},
        {ftString, ftGuid, true},        {ftString, ftWideString, false}, {ftWideString, ftFixedWideChar, true},
        {ftFloat, ftCurrency, true},     {ftCurrency, ftFloat, true},    {ftFloat, ftSingle, false},
        {ftBCD, ftFMTBcd, false},        {ftSingle, ftSingle, true},     {ftDate, ftDateTime, false},
    };
    for (const auto& c : compat)
        EXPECT_EQ(FieldTypesCompatible(c.field, c.def), c.ok) << int(c.field) << " on " << int(c.def);
}

TEST(MemDataSet, DefaultFieldsReadRowsInOrder) {
    TTestQuery q;
    FillNumbered(q.RS, 60);
    EXPECT_EQ(q.RecordCount(), 0);
    q.Open();
    ASSERT_TRUE(q.Active());
    EXPECT_EQ(q.RecordCount(), 60);
    ASSERT_EQ(q.FieldDefs().Count(), 3);
    EXPECT_EQ(q.FieldDefs()[0].DataType, ftInteger);
    EXPECT_EQ(q.FieldDefs()[1].DataType, ftString);
    EXPECT_EQ(q.FieldDefs()[1].Size, 100);
    EXPECT_EQ(q.FieldDefs()[2].DataType, ftLargeint);
    ASSERT_EQ(q.FieldCount(), 3);
    EXPECT_NE(dynamic_cast<TIntegerField*>(&q.Fields(0)), nullptr);
    EXPECT_NE(dynamic_cast<TStringField*>(&q.Fields(1)), nullptr);
    EXPECT_NE(dynamic_cast<TLargeintField*>(&q.Fields(2)), nullptr);
    EXPECT_EQ(q.Fields(1).Size(), 100);

    TField& id = q.FieldByName(u"ID_PERSONAGEM");
    TField& nome = q.FieldByName(u"Nome");
    int expected = 0;
    for (q.First(); !q.Eof(); q.Next()) {
        ++expected;
        EXPECT_EQ(q.RecNo(), expected);
        EXPECT_EQ(id.AsInteger(), expected);
        EXPECT_EQ(nome.AsString(), u"Heroi " + Utf8ToUtf16(std::to_string(expected)));
        EXPECT_EQ(q.FieldByName(u"total").AsLargeInt(), int64_t(expected) * 1000000000000LL);
    }
    EXPECT_EQ(expected, 60);
    EXPECT_EQ(id.AsInteger(), 60); // Eof stays on the last row
    q.Prior();
    EXPECT_EQ(id.AsInteger(), 59);
    q.First();
    EXPECT_TRUE(q.Bof());
    EXPECT_EQ(q.MoveBy(30), 30);
    EXPECT_EQ(id.AsString(), u"31");
    const TRecBookmark mark = q.GetBookmark();
    q.Last();
    EXPECT_EQ(id.AsInteger(), 60);
    EXPECT_TRUE(q.GotoBookmark(mark));
    EXPECT_EQ(id.AsInteger(), 31);
}

TEST(MemDataSet, AsksNoBlockAfterTheEndOfTheRows) {
    TTestQuery q;
    FillNumbered(q.RS, 30);
    q.Open();
    EXPECT_EQ(q.RS.BlockRows, (std::vector<int>{25, 5}));
    EXPECT_TRUE(q.RS.FetchEnded());
    q.Last();
    for (q.First(); !q.Eof(); q.Next()) {
    }
    EXPECT_EQ(q.RS.BlockRows.size(), 2u);
    EXPECT_EQ(q.RecordCount(), 30);
}

TEST(MemDataSet, DefaultFieldsOutOfRangeAndReopen) {
    TTestQuery q;
    FillNumbered(q.RS, 3);
    q.Open();
    // 3 000 000 000 000 does not fit the 32-bit accessor.
    EXPECT_THROW(q.FieldByName(u"total").AsInteger(), EDatabaseError);
    q.Close();
    EXPECT_FALSE(q.Active());
    EXPECT_EQ(q.RecordCount(), 0);
    EXPECT_EQ(q.FieldCount(), 0); // default fields live only while open
    q.Open();
    EXPECT_EQ(q.RecordCount(), 3);
    const TRecBookmark stale{0, nullptr, 0};
    EXPECT_FALSE(q.GotoBookmark(stale));
}

TEST(MemDataSet, RepeatedColumnNamesGetTheirOwnFields) {
    TTestQuery q;
    q.RS.Columns = {{u"a", dtInt32}, {u"A", dtInt32}, {u"a_1", dtInt32}, {u"c", dtString, 0, false, true}};
    q.RS.Rows = {{int64_t(1), int64_t(2), int64_t(3), std::string("x")}};
    q.Open();
    EXPECT_EQ(q.FieldByName(u"a").AsInteger(), 1);
    EXPECT_EQ(q.FieldByName(u"A_1").AsInteger(), 2);
    EXPECT_EQ(q.FieldByName(u"a_1_1").AsInteger(), 3);
    // A text column without a declared length gets a definition of size 1; required follows
    // the column while local constraints are on.
    EXPECT_EQ(q.FieldDefs()[3].Size, 1);
    EXPECT_TRUE(q.FieldDefs()[3].Required);
    EXPECT_EQ(q.FieldByName(u"c").AsString(), u"");
}

TEST(MemDataSet, EmptyResultAndNullsReadAsZeroAndEmptyText) {
    TTestQuery q;
    FillNumbered(q.RS, 0);
    q.Open();
    EXPECT_EQ(q.RecordCount(), 0);
    EXPECT_TRUE(q.Eof());
    EXPECT_TRUE(q.Bof());
    EXPECT_TRUE(q.IsEmpty());
    EXPECT_EQ(q.RecNo(), 0);
    EXPECT_EQ(q.FieldByName(u"id_personagem").AsInteger(), 0);
    EXPECT_EQ(q.FieldByName(u"nome").AsString(), u"");
    EXPECT_EQ(q.FieldByName(u"total").AsLargeInt(), 0);
    EXPECT_TRUE(q.FieldByName(u"nome").IsNull());
    q.Close();

    q.RS.Rows = {{test::Value{}, test::Value{}, test::Value{}}};
    q.Open();
    EXPECT_EQ(q.RecordCount(), 1);
    EXPECT_TRUE(q.FieldByName(u"id_personagem").IsNull());
    EXPECT_EQ(q.FieldByName(u"id_personagem").AsInteger(), 0);
    EXPECT_EQ(q.FieldByName(u"id_personagem").AsString(), u"");
    EXPECT_EQ(q.FieldByName(u"nome").AsString(), u"");
    EXPECT_EQ(q.FieldByName(u"total").AsLargeInt(), 0);
}

TEST(MemDataSet, PersistentFieldsBindByNameAndType) {
    TTestQuery q;
    q.RS.Columns = {{u"ID_CONTA", dtInt32}, {u"nome", dtExtString, 100}, {u"nivel", dtInt16},
                    {u"sigla", dtString, 4, true}, {u"titulo", dtExtWideString, 30}};
    q.RS.Rows = {{int64_t(42), std::string("A\xc3\xa7\xc3\xa3o"), int64_t(-5), std::string("AB  "),
                  std::u16string(u"Campe\u00e3o")}};
    auto& conta = q.AddField<TIntegerField>(u"id_conta");
    auto& nome = q.AddField<TStringField>(u"NOME", 20);
    auto& nivel = q.AddField<TIntegerField>(u"nivel");
    auto& sigla = q.AddField<TStringField>(u"sigla", 10);
    auto& titulo = q.AddField<TWideStringField>(u"titulo", 50);
    q.Open();
    EXPECT_EQ(q.FieldCount(), 5);
    EXPECT_EQ(conta.AsInteger(), 42);
    EXPECT_EQ(conta.FieldNo(), 1);
    // The 8-bit text decodes with the process code page (UTF-8 here).
    EXPECT_EQ(nome.AsString(), AnsiToUtf16("A\xc3\xa7\xc3\xa3o"));
    if (AnsiIsUtf8()) {
        EXPECT_EQ(nome.AsString(), u"A\u00e7\u00e3o");
    }
    EXPECT_EQ(nome.Size(), 100); // a persistent text field takes the provider's length
    EXPECT_EQ(nivel.AsInteger(), -5);
    EXPECT_EQ(sigla.AsString(), u"AB"); // fixed-length text trimmed by default
    EXPECT_EQ(sigla.Size(), 4);
    EXPECT_EQ(titulo.AsString(), u"Campe\u00e3o");
    EXPECT_EQ(titulo.Size(), 30); // shortened to the definition
    q.Close();
    EXPECT_EQ(q.FieldCount(), 5); // persistent fields stay
    EXPECT_EQ(conta.FieldDesc(), nullptr);
    EXPECT_EQ(conta.AsInteger(), 0);
}

TEST(MemDataSet, BindingErrorsCarryTheDataSetName) {
    struct Case {
        std::function<void(TTestQuery&)> setUp;
        std::u16string message;
    } cases[] = {
        {[](TTestQuery& q) {
             q.RS.Columns = {{u"total", dtInt64}};
             q.AddField<TIntegerField>(u"total");
         },
         u"qryAux: Type mismatch for field 'total', expecting: Integer actual: LargeInt"},
        {[](TTestQuery& q) {
             q.RS.Columns = {{u"nome", dtExtWideString, 100}};
             q.AddField<TStringField>(u"nome", 100).SetDisplayLabel(u"Nome do her\u00f3i");
         },
         u"qryAux: Type mismatch for field 'Nome do her\u00f3i', expecting: String actual: WideString"},
        {[](TTestQuery& q) {
             q.RS.Columns = {{u"id", dtInt32}};
             q.AddField<TIntegerField>(u"id_conta");
         },
         u"qryAux: Field 'id_conta' not found"},
        {[](TTestQuery& q) {
             q.RS.Columns = {{u"hash", dtBytes, 16}};
             q.AddField<TBytesField>(u"hash", 8);
         },
         u"qryAux: Size mismatch for field 'hash', expecting: 8 actual: 16"},
        {[](TTestQuery& q) { q.RS.Columns = {{u"c", dtFixedChar, 3}}; },
         u"qryAux: Data type is not supported"},
        {[](TTestQuery& q) { q.RS.Columns = {{u"x", dtXML}}; }, u"qryAux: Data type is not supported"},
        {[](TTestQuery& q) { q.RS.Columns = {{u"b", dtBlob}}; }, u"qryAux: Data type is not supported"},
    };
    for (const auto& c : cases) {
        TTestQuery q;
        c.setUp(q);
        EXPECT_EQ(MessageOf([&] { q.Open(); }), c.message);
        EXPECT_FALSE(q.Active());
        EXPECT_FALSE(q.RS.Active()); // the query stays closed
        EXPECT_EQ(q.RecordCount(), 0);
    }

    TTestQuery q;
    FillNumbered(q.RS, 1);
    q.Open();
    EXPECT_EQ(MessageOf([&] { q.FieldByName(u"senha"); }), u"qryAux: Field 'senha' not found");
    EXPECT_EQ(MessageOf([&] { q.AddField<TIntegerField>(u"x"); }),
              u"qryAux: Cannot perform this operation on an open dataset");
}

TEST(MemDataSet, AFailedOpenLeavesNoDefaultFieldsBehind) {
    // The INT column's field is made before the BLOB column fails; it must not stay as if it
    // were persistent and then be demanded of the next statement.
    TTestQuery q;
    q.RS.Columns = {{u"id", dtInt32}, {u"foto", dtBlob}};
    EXPECT_EQ(MessageOf([&] { q.Open(); }), u"qryAux: Data type is not supported");
    EXPECT_EQ(q.FieldCount(), 0);
    q.RS.Columns = {{u"nome", dtExtString, 100}};
    q.RS.Rows = {{std::string("Talmorin")}};
    q.Open();
    ASSERT_EQ(q.FieldCount(), 1);
    EXPECT_EQ(q.FieldByName(u"nome").AsString(), u"Talmorin");
    q.Close();
    EXPECT_EQ(q.FieldCount(), 0);
}

TEST(MemDataSet, TextReadAsNumber) {
    struct Case {
        std::string text;
        std::optional<int64_t> value; // none: not a valid integer
    } cases[] = {
        {" 123 ", 123}, {"+7", 7},          {"-7", -7},         {"", 0},
        {"+-7", {}},    {"-+7", {}},        {"--7", {}},        {"+", {}},
        {"7x", {}},     {"1 2", {}},        {"9223372036854775807", 9223372036854775807LL},
        {"9223372036854775808", {}},
    };
    TTestQuery q;
    q.RS.Columns = {{u"txt", dtString, 30}};
    for (const auto& c : cases) q.RS.Rows.push_back({c.text});
    q.Open();
    for (const auto& c : cases) {
        TField& f = q.FieldByName(u"txt");
        if (c.value) {
            EXPECT_EQ(f.AsLargeInt(), *c.value) << c.text;
        } else {
            try {
                f.AsLargeInt();
                ADD_FAILURE() << c.text << " read as a number";
            } catch (const Exception& e) {
                EXPECT_EQ(e.Message(), u"'" + Utf8ToUtf16(c.text) + u"' is not a valid integer value");
            }
        }
        q.Next();
    }
    q.First();
    EXPECT_DOUBLE_EQ(q.FieldByName(u"txt").AsFloat(), 123.0);
    q.MoveBy(4); // "+-7"
    try {
        q.FieldByName(u"txt").AsFloat();
        ADD_FAILURE() << "+-7 read as a number";
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), u"'+-7' is not a valid floating point value");
    }
}

TEST(MemDataSet, TypedFieldsOverOtherColumnTypes) {
    TTestQuery q;
    q.RS.Columns = {{u"b", dtBoolean}, {u"f", dtFloat}, {u"s", dtSingle}, {u"c", dtCurrency},
                    {u"d", dtDateTime}, {u"u8", dtUInt8}, {u"u32", dtUInt32}, {u"vb", dtVarBytes, 8},
                    {u"txt", dtString, 10}, {u"u64", dtUInt64}};
    q.RS.Rows = {{int64_t(1), 2.5, 0.25, 12.3456, 45658.75, int64_t(200), int64_t(4000000000LL),
                  std::string("\x01\x02\x03", 3), std::string(" 123 "), int64_t(-1)}};
    q.Open();
    EXPECT_TRUE(q.FieldByName(u"b").AsBoolean());
    EXPECT_EQ(q.FieldByName(u"b").AsString(), u"True");
    EXPECT_DOUBLE_EQ(q.FieldByName(u"f").AsFloat(), 2.5);
    EXPECT_EQ(q.FieldByName(u"f").AsString(), u"2.5");
    EXPECT_DOUBLE_EQ(q.FieldByName(u"s").AsFloat(), 0.25);
    EXPECT_DOUBLE_EQ(q.FieldByName(u"c").AsFloat(), 12.3456);
    EXPECT_EQ(q.FieldByName(u"d").AsString(), u"2025-01-01 18:00:00");
    EXPECT_EQ(q.FieldByName(u"u8").AsInteger(), 200);
    EXPECT_EQ(q.FieldByName(u"u32").AsLargeInt(), 4000000000LL);
    auto* vb = dynamic_cast<TVarBytesField*>(&q.FieldByName(u"vb"));
    ASSERT_NE(vb, nullptr);
    EXPECT_EQ(vb->AsBytes(), (std::vector<uint8_t>{1, 2, 3}));
    EXPECT_EQ(q.FieldByName(u"txt").AsInteger(), 123);
    EXPECT_EQ(q.FieldByName(u"u64").AsLargeInt(), -1); // the 64-bit pattern, as the map says
    EXPECT_EQ(q.FieldByName(u"u64").AsString(), u"18446744073709551615");
    EXPECT_THROW(q.FieldByName(u"f").AsBoolean(), EDatabaseError);
}

TEST(MemDataSet, FetchesOnDemandAndNotifiesViews) {
    TTestQuery q;
    FillNumbered(q.RS, 60);
    q.RS.FetchAllOnOpen = false;
    std::vector<TDataEvent> events;
    const int id = q.AddListener([&](TDataEvent e) { events.push_back(e); });
    q.Open();
    EXPECT_EQ(q.RecordCount(), 25);
    EXPECT_EQ(q.MoveBy(40), 40);
    EXPECT_EQ(q.RecordCount(), 50);
    EXPECT_EQ(q.FieldByName(u"id_personagem").AsInteger(), 41);
    q.Last();
    EXPECT_EQ(q.RecordCount(), 60);
    EXPECT_EQ(q.RecNo(), 60);
    q.Close();
    ASSERT_GE(events.size(), 3u);
    EXPECT_EQ(events.back(), deActiveChanged);
    q.RemoveListener(id);
    const size_t seen = events.size();
    q.Open();
    EXPECT_EQ(events.size(), seen);

    // A forward-only store keeps one block; the data set walks all rows through it.
    TTestQuery fwd;
    FillNumbered(fwd.RS, 60);
    fwd.RS.FetchAllOnOpen = false;
    fwd.RS.SetUniDirectional(true);
    fwd.Open();
    int n = 0;
    for (; !fwd.Eof(); fwd.Next()) {
        if (fwd.IsEmpty()) break;
        ++n;
        EXPECT_EQ(fwd.FieldByName(u"id_personagem").AsInteger(), n);
    }
    EXPECT_EQ(n, 60);
    EXPECT_EQ(fwd.RecordCount(), 60);
    EXPECT_LE(fwd.RS.BlockManager().BlockCount(), 1);
    EXPECT_FALSE(fwd.IsEmpty()); // the last row stays current at the end
    EXPECT_EQ(fwd.FieldByName(u"id_personagem").AsInteger(), 60);
}
