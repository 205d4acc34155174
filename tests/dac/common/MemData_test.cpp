#include <gtest/gtest.h>

#include <cstring>
#include <set>

#include "dac/common/MemData.h"
#include "TestRecordSet.h"

using namespace rivalon;
using namespace rivalon::test;

namespace {

std::string Text(const TMemData& d, int column, const TItemHeader* item) {
    std::string v;
    d.GetField(d.Field(column), d.RecordOf(item), v);
    return v;
}

int64_t Int(const TMemData& d, int column, const TItemHeader* item) {
    int64_t v = -1;
    d.GetInteger(d.Field(column), d.RecordOf(item), v);
    return v;
}

} // namespace

TEST(FieldDesc, BufferSizesAndValueLengths) {
    struct Case {
        uint16_t type;
        uint16_t length;
        int size;
        bool valueLen;
    } cases[] = {
        {dtString, 20, 23, true},       {dtString, 0, 3, true},
        {dtWideString, 20, 44, true},   {dtExtString, 100, 6, true},
        {dtExtWideString, 100, 6, true}, {dtExtVarBytes, 300, 6, true},
        {dtBytes, 16, 18, true},        {dtVarBytes, 16, 18, true},
        {dtFixedChar, 10, 13, true},    {dtFixedWideChar, 10, 24, true},
        {dtInt8, 0, 2, false},          {dtInt16, 0, 2, false},
        {dtUInt8, 0, 2, false},         {dtUInt16, 0, 2, false},
        {dtBoolean, 0, 2, false},       {dtInt32, 0, 4, false},
        {dtUInt32, 0, 4, false},        {dtSingle, 0, 4, false},
        {dtInt64, 0, 8, false},         {dtUInt64, 0, 8, false},
        {dtFloat, 0, 8, false},         {dtCurrency, 0, 8, false},
        {dtBCD, 0, 8, false},           {dtDate, 0, 8, false},
        {dtTime, 0, 8, false},          {dtDateTime, 0, 8, false},
        {dtExtended, 0, 10, false},     {dtSQLTimeStamp, 0, 16, false},
        {dtSQLTimeStampOffset, 0, 20, false}, {dtFMTBCD, 0, 34, false},
        {dtGuid, 38, 41, true},         {dtBlob, 0, 4, false},
        {dtMemo, 0, 4, false},          {dtObject, 0, 4, false},
    };
    for (const auto& c : cases) {
        TFieldDesc fd;
        fd.SetDataType(c.type);
        fd.SetLength(c.length);
        EXPECT_EQ(fd.Size(), c.size) << "type " << c.type;
        EXPECT_EQ(fd.HasValueLen(), c.valueLen) << "type " << c.type;
        fd.SetOffset(10);
        EXPECT_EQ(fd.DataOffset(), c.valueLen ? 12 : 10) << "type " << c.type;
    }
    TFieldDesc blob;
    blob.SetDataType(dtBlob);
    EXPECT_TRUE(blob.IsBlob());
    EXPECT_TRUE(blob.IsComplex());
    TFieldDesc ext;
    ext.SetDataType(dtExtString);
    EXPECT_FALSE(ext.IsComplex());
    EXPECT_TRUE(ext.IsExternal());
}

TEST(RecordLayout, GameRowAndEvenWideOffset) {
    // The game's row: INT, VARCHAR(100) kept out of line, COUNT.
    TTestRecordSet rs;
    FillNumbered(rs, 0);
    rs.Open();
    EXPECT_EQ(rs.Field(0).Offset(), 0);
    EXPECT_EQ(rs.Field(1).Offset(), 4);
    EXPECT_EQ(rs.Field(1).DataOffset(), 6);
    EXPECT_EQ(rs.Field(1).Size(), 6);
    EXPECT_EQ(rs.Field(2).Offset(), 10);
    EXPECT_EQ(rs.DataSize(), 18);
    EXPECT_EQ(rs.RecordSize(), 22); // 18 + 3 null bytes, rounded up to even
    rs.Close();

    // A wide string after a column of odd size starts one byte later, on an even offset.
    TTestRecordSet odd;
    odd.Columns = {{u"sigla", dtString, 2}, {u"nome", dtWideString, 10}, {u"extra", dtWideString, 3}};
    odd.Open();
    EXPECT_EQ(odd.Field(0).Size(), 5);
    EXPECT_EQ(odd.Field(1).Offset(), 6);
    EXPECT_EQ(odd.Field(1).DataOffset(), 8);
    EXPECT_EQ(odd.Field(2).Offset(), 6 + 24);
    EXPECT_EQ(odd.DataSize(), 6 + 24 + 10);
    EXPECT_EQ(odd.RecordSize(), 40 + 4);

    // A one-byte value (BINARY(1): length word and the byte) before a wide string.
    TTestRecordSet one;
    one.Columns = {{u"flag", dtBytes, 1}, {u"nome", dtWideString, 4}};
    one.Open();
    EXPECT_EQ(one.Field(0).Size(), 3);
    EXPECT_EQ(one.Field(1).Offset(), 4);
    EXPECT_EQ(one.Field(1).Offset() % 2, 0);

    // An 8-bit text keeps the running offset as it is.
    TTestRecordSet narrow;
    narrow.Columns = {{u"sigla", dtString, 2}, {u"nome", dtString, 10}};
    narrow.Open();
    EXPECT_EQ(narrow.Field(1).Offset(), 5);
    EXPECT_EQ(narrow.RecordSize(), 5 + 13 + 2);
}

TEST(BlockFetch, SixtyRowsInThreeBlocksInServerOrder) {
    TTestRecordSet rs;
    FillNumbered(rs, 60);
    rs.Open();
    EXPECT_EQ(rs.GetRecordCount(), 60);
    EXPECT_EQ(rs.BlockRows, (std::vector<int>{25, 25, 10})); // no fourth block asked for
    const TBlockManager& bm = rs.BlockManager();
    ASSERT_EQ(bm.BlockCount(), 3);
    // Newest block first: it holds the last 10 rows; its other 15 slots wait on the free list.
    const TBlockHeader* newest = bm.FirstBlock();
    EXPECT_EQ(newest->ItemCount, 25);
    EXPECT_EQ(newest->UsedItems, 10);
    EXPECT_EQ(newest->Next->UsedItems, 25);
    EXPECT_EQ(newest->Next->Next->UsedItems, 25);
    EXPECT_EQ(bm.FreeCount(), 15);
    EXPECT_EQ(rs.LastItem()->Block, newest);
    EXPECT_EQ(rs.FirstItem()->Block, newest->Next->Next);

    int n = 0;
    for (const TItemHeader* i = rs.FirstItem(); i; i = i->Next) {
        ++n;
        EXPECT_EQ(i->Order, n);
        EXPECT_EQ(i->Flag, flUsed);
        EXPECT_EQ(i->Status, isUnmodified);
        EXPECT_EQ(Int(rs, 0, i), n);
        EXPECT_EQ(Text(rs, 1, i), "Heroi " + std::to_string(n));
        EXPECT_EQ(Int(rs, 2, i), int64_t(n) * 1000000000000LL);
    }
    EXPECT_EQ(n, 60);
    rs.Close();
    EXPECT_EQ(rs.BlockManager().BlockCount(), 0);
    EXPECT_TRUE(rs.StringHeap().Empty());
    EXPECT_EQ(rs.FieldCount(), 3); // the columns stay
}

TEST(BlockFetch, ExactBlockNeedsOneEmptyRequestAndEmptyResultLeavesNoBlock) {
    TTestRecordSet rs;
    FillNumbered(rs, 25);
    rs.Open();
    EXPECT_EQ(rs.BlockRows, (std::vector<int>{25, 0}));
    EXPECT_EQ(rs.NoResultCalls, 1);
    EXPECT_EQ(rs.BlockManager().BlockCount(), 1);
    EXPECT_EQ(rs.GetRecordCount(), 25);
    rs.Close();

    TTestRecordSet empty;
    FillNumbered(empty, 0);
    empty.Open();
    EXPECT_TRUE(empty.Active());
    EXPECT_EQ(empty.GetRecordCount(), 0);
    EXPECT_EQ(empty.BlockManager().BlockCount(), 0);
    EXPECT_EQ(empty.FirstItem(), nullptr);
    EXPECT_EQ(empty.LastItem(), nullptr);
}

TEST(BlockFetch, ReopenStartsFromAnEmptyStore) {
    TTestRecordSet rs;
    FillNumbered(rs, 30);
    rs.Open();
    rs.Open(); // already active: nothing happens
    EXPECT_EQ(rs.BlockRows.size(), 2u);
    rs.Close();
    rs.Open();
    EXPECT_EQ(rs.GetRecordCount(), 30);
    EXPECT_EQ(rs.FirstItem()->Order, 1);
}

TEST(BlockFetch, FailureKeepsEarlierRowsAndReleasesThePartialBlock) {
    TTestRecordSet rs;
    FillNumbered(rs, 60);
    rs.FetchAllOnOpen = false;
    rs.FailAfterRows = 40;
    rs.Open();
    EXPECT_EQ(rs.GetRecordCount(), 25);
    EXPECT_THROW(rs.FetchAll(), Exception); // breaks while the second block is half filled
    EXPECT_EQ(rs.GetRecordCount(), 25);
    EXPECT_EQ(rs.BlockManager().BlockCount(), 1);
    EXPECT_EQ(rs.LastItem()->Order, 25);
    EXPECT_EQ(rs.LastItem()->Next, nullptr);
    // The 15 texts written into the failed block went back to the heap's free list.
    EXPECT_EQ(rs.StringHeap().FreeListLength(TStringHeap::RoundSize(9)), 15u);
    EXPECT_EQ(Text(rs, 1, rs.LastItem()), "Heroi 25");

    // A failure inside Open frees the data and leaves the store closed.
    TTestRecordSet failing;
    FillNumbered(failing, 60);
    failing.FailAfterRows = 30;
    EXPECT_THROW(failing.Open(), Exception);
    EXPECT_FALSE(failing.Active());
    EXPECT_EQ(failing.BlockManager().BlockCount(), 0);
    EXPECT_EQ(failing.GetRecordCount(), 0);
}

TEST(BlockFetch, FailureAfterTheRowsWereLinkedTakesThemBackOut) {
    struct TFailingAfterBlock : TTestRecordSet {
        int Blocks = 0;
        void ProcessFetchedBlock(TBlockHeader*, bool) override {
            if (++Blocks == 2) throw Exception(u"after the block");
        }
    } rs;
    FillNumbered(rs, 60);
    rs.FetchAllOnOpen = false;
    rs.Open();
    EXPECT_THROW(rs.Fetch(), Exception);
    EXPECT_EQ(rs.GetRecordCount(), 25);
    EXPECT_EQ(rs.RowsFetched(), 25);
    EXPECT_EQ(rs.BlockManager().BlockCount(), 1);
    EXPECT_EQ(rs.LastItem()->Order, 25);
    EXPECT_EQ(rs.LastItem()->Next, nullptr);
}

TEST(BlockFetch, UniDirectionalReusesItsBlockAndRecyclesTexts) {
    TTestRecordSet rs;
    FillNumbered(rs, 60);
    rs.SetUniDirectional(true);
    rs.FetchAllOnOpen = false;
    rs.Open();
    EXPECT_EQ(rs.FirstItem()->Order, 1);
    const size_t heapBlocks = rs.StringHeap().BlockCount();
    ASSERT_TRUE(rs.Fetch());
    EXPECT_EQ(rs.BlockManager().BlockCount(), 1);
    EXPECT_EQ(rs.FirstItem()->Order, 26);
    EXPECT_EQ(Text(rs, 1, rs.FirstItem()), "Heroi 26");
    ASSERT_TRUE(rs.Fetch());
    EXPECT_EQ(rs.FirstItem()->Order, 51);
    EXPECT_EQ(rs.LastItem()->Order, 60);
    EXPECT_EQ(rs.GetRecordCount(), 60);
    // The texts of the dropped rows were reused instead of carving new heap memory.
    EXPECT_EQ(rs.StringHeap().BlockCount(), heapBlocks);
}

TEST(RecordValues, NullsInlineAndOutOfLineTexts) {
    TTestRecordSet rs;
    rs.Columns = {{u"forca", dtInt32}, {u"nome", dtExtString, 100}, {u"sigla", dtString, 20}};
    rs.Rows = {{test::Value{}, test::Value{}, test::Value{}}, {int64_t(-2147483648LL), std::string("Talmorin"), std::string("ABC")},
               {int64_t(7), std::string(), std::string()}};
    rs.Open();
    const TItemHeader* nulls = rs.FirstItem();
    std::string v = "x";
    for (int c = 0; c < 3; ++c) {
        EXPECT_TRUE(rs.GetNull(rs.Field(c), rs.RecordOf(nulls)));
        EXPECT_FALSE(rs.GetField(rs.Field(c), rs.RecordOf(nulls), v));
        EXPECT_TRUE(v.empty());
    }
    EXPECT_EQ(rs.GetHeapRef(rs.Field(1), rs.RecordOf(nulls)), 0u);

    const TItemHeader* row = nulls->Next;
    EXPECT_EQ(Int(rs, 0, row), -2147483648LL);
    // The out-of-line text: length word and heap reference in the row, characters and a zero
    // byte in a heap buffer with one reference.
    const TConstRecord rec = rs.RecordOf(row);
    uint16_t len;
    std::memcpy(&len, rec.data() + rs.Field(1).Offset(), 2);
    EXPECT_EQ(len, 8);
    const THeapRef ref = rs.GetHeapRef(rs.Field(1), rec);
    ASSERT_NE(ref, 0u);
    const auto buf = rs.StringHeap().Buffer(ref);
    EXPECT_EQ(buf.size(), 16u);
    EXPECT_EQ(std::memcmp(buf.data(), "Talmorin\0", 9), 0);
    EXPECT_EQ(rs.StringHeap().RefCount(ref), TStringHeap::RefOne);
    // The inline text: length word, characters and a zero byte in the row.
    std::memcpy(&len, rec.data() + rs.Field(2).Offset(), 2);
    EXPECT_EQ(len, 3);
    EXPECT_EQ(std::memcmp(rec.data() + rs.Field(2).DataOffset(), "ABC\0", 4), 0);
    EXPECT_EQ(Text(rs, 2, row), "ABC");

    // Setting NULL over a text releases its buffer and clears the slot.
    TTestRecordSet& w = rs;
    const TRecord wrec = w.RecordOf(const_cast<TItemHeader*>(row));
    w.SetNull(w.Field(1), wrec, true);
    EXPECT_EQ(w.GetHeapRef(w.Field(1), wrec), 0u);
    EXPECT_EQ(w.StringHeap().FreeListLength(16), 1u);
    w.PutString(w.Field(1), wrec, "Vaelith!");
    EXPECT_EQ(w.StringHeap().FreeListLength(16), 0u); // the same buffer again
    EXPECT_EQ(Text(w, 1, row), "Vaelith!");

    // An empty text is a value, not NULL.
    const TItemHeader* empty = row->Next;
    EXPECT_TRUE(rs.GetField(rs.Field(1), rs.RecordOf(empty), v));
    EXPECT_EQ(v, "");
    EXPECT_TRUE(rs.GetField(rs.Field(2), rs.RecordOf(empty), v));
}

TEST(RecordValues, TrimmingRulesBytesPaddingAndTruncation) {
    struct Case {
        bool fixed, trimFixed, trimVar;
        bool trimmed;
    } cases[] = {
        {true, true, false, true},   {true, false, false, false}, {false, true, false, false},
        {false, true, true, true},   {false, false, true, true},  {true, false, true, false},
    };
    for (const auto& c : cases) {
        TTestRecordSet rs;
        rs.Columns = {{u"a", dtString, 10, c.fixed}, {u"b", dtExtString, 100, c.fixed},
                      {u"w", dtWideString, 10, c.fixed}, {u"x", dtExtWideString, 50, c.fixed}};
        rs.Rows = {{std::string("ab  "), std::string(" cd "), std::u16string(u"\u00e7\u00e3 "),
                    std::u16string(u"x  ")}};
        rs.FTrimFixedChar = c.trimFixed;
        rs.FTrimVarChar = c.trimVar;
        rs.Open();
        const TItemHeader* i = rs.FirstItem();
        const std::string w = Text(rs, 2, i);
        const std::string x = Text(rs, 3, i);
        if (c.trimmed) {
            EXPECT_EQ(Text(rs, 0, i), "ab");
            EXPECT_EQ(Text(rs, 1, i), " cd");
            EXPECT_EQ(w.size(), 4u);
            EXPECT_EQ(x.size(), 2u);
        } else {
            EXPECT_EQ(Text(rs, 0, i), "ab  ");
            EXPECT_EQ(Text(rs, 1, i), " cd ");
            EXPECT_EQ(w.size(), 6u);
            EXPECT_EQ(x.size(), 6u);
        }
        EXPECT_EQ(std::memcmp(w.data(), u"\u00e7\u00e3", 4), 0);
    }

    TTestRecordSet rs;
    rs.Columns = {{u"b", dtBytes, 6}, {u"vb", dtVarBytes, 6}, {u"s", dtString, 4}, {u"evb", dtExtVarBytes, 300}};
    rs.Rows = {{std::string("\x01\x02", 2), std::string("\x03\x00\x04", 3), std::string("abcdefgh"),
                std::string(300, 'z')}};
    rs.Open();
    const TItemHeader* i = rs.FirstItem();
    EXPECT_EQ(Text(rs, 0, i), std::string("\x01\x02\0\0\0\0", 6));    // padded to the length
    EXPECT_EQ(Text(rs, 1, i), std::string("\x03\x00\x03\x00\x04", 5)); // length, then bytes
    EXPECT_EQ(Text(rs, 2, i), "abcd");                                 // cut at the length
    EXPECT_EQ(Text(rs, 3, i), std::string("\x2c\x01", 2) + std::string(300, 'z'));
}

TEST(RecordValues, OutOfLineValuesLongerThanTheLengthWordStayWhole) {
    // A VARCHAR read in a wider session character set can exceed 65 535 bytes; nothing is cut.
    auto pattern = [](size_t n) {
        std::string s(n, '\0');
        for (size_t i = 0; i < n; ++i) s[i] = char(i % 251); // zero bytes inside, too
        return s;
    };
    struct Case {
        uint16_t type;
        size_t length; // bytes, or code units for the wide type
        uint16_t lengthWord;
    } cases[] = {
        {dtExtString, 65534, 65534},    {dtExtString, 65535, 65535},    {dtExtString, 65536, 65535},
        {dtExtString, 200000, 65535},   {dtExtVarBytes, 65535, 65535},  {dtExtVarBytes, 70001, 65535},
        {dtExtWideString, 65534, 65534}, {dtExtWideString, 65535, 65535}, {dtExtWideString, 70000, 65535},
    };
    for (const auto& c : cases) {
        TTestRecordSet rs;
        rs.Columns = {{u"v", c.type, 65535}, {u"n", dtInt32}};
        const std::string bytes = pattern(c.type == dtExtWideString ? 2 * c.length : c.length);
        std::u16string wide(c.length, u'\0');
        std::memcpy(wide.data(), bytes.data(), bytes.size() * (c.type == dtExtWideString));
        if (c.type == dtExtWideString)
            rs.Rows = {{wide, int64_t(7)}};
        else
            rs.Rows = {{bytes, int64_t(7)}};
        rs.Open();
        const TItemHeader* i = rs.FirstItem();
        uint16_t word;
        std::memcpy(&word, rs.RecordOf(i).data() + rs.Field(0).Offset(), 2);
        EXPECT_EQ(word, c.lengthWord) << c.type << " " << c.length;
        const std::string v = Text(rs, 0, i);
        const std::string expected =
            c.type == dtExtVarBytes ? std::string(reinterpret_cast<const char*>(&c.lengthWord), 2) + bytes : bytes;
        EXPECT_EQ(v.size(), expected.size()) << c.type << " " << c.length;
        EXPECT_TRUE(v == expected) << c.type << " " << c.length;
        EXPECT_EQ(Int(rs, 1, i), 7);
    }
}

TEST(RecordValues, WritersRefuseWrongTypesAndShortRecords) {
    TTestRecordSet rs;
    rs.Columns = {{u"n", dtInt32}, {u"s", dtString, 4}};
    rs.Open();
    std::vector<uint8_t> small(4);
    EXPECT_THROW(rs.PutString(rs.Field(0), small, "x"), EStoreError);
    EXPECT_THROW(rs.PutInteger(rs.Field(1), small, 1), EStoreError);
    EXPECT_THROW(rs.PutString(rs.Field(1), small, "x"), EStoreError); // record too short
    std::string v;
    EXPECT_THROW(rs.GetField(rs.Field(1), small, v), EStoreError);
    // A corrupt length word is refused instead of read past the slot.
    std::vector<uint8_t> rec(size_t(rs.RecordSize()));
    rs.PutString(rs.Field(1), rec, "ab");
    rec[size_t(rs.Field(1).Offset())] = 200;
    EXPECT_THROW(rs.GetField(rs.Field(1), rec, v), EStoreError);
}

TEST(StringHeap, SizeClassesFreeListsAndLargeBuffers) {
    TStringHeap heap;
    EXPECT_EQ(TStringHeap::RoundSize(1), 8u);
    EXPECT_EQ(TStringHeap::RoundSize(8), 8u);
    EXPECT_EQ(TStringHeap::RoundSize(9), 16u);
    EXPECT_EQ(TStringHeap::RoundSize(2000), 2000u);

    const THeapRef a = heap.AllocStr("Talmorin"); // 9 bytes -> 16
    EXPECT_EQ(heap.Buffer(a).size(), 16u);
    EXPECT_EQ(heap.BlockCount(), 1u);
    heap.AddRef(a);
    EXPECT_EQ(heap.RefCount(a), 102);
    heap.DisposeBuf(a);
    EXPECT_EQ(heap.RefCount(a), 101);
    EXPECT_EQ(heap.FreeListLength(16), 0u);
    heap.DisposeBuf(a);
    EXPECT_EQ(heap.RefCount(a), TStringHeap::RefFree);
    EXPECT_EQ(heap.FreeListLength(16), 1u);
    // The same size class takes the buffer back from its free list.
    const THeapRef b = heap.AllocStr("Vaelith!!!!"); // 12 bytes -> 16
    EXPECT_EQ(b, a);
    EXPECT_EQ(heap.FreeListLength(16), 0u);
    EXPECT_EQ(heap.RefCount(b), 101);
    EXPECT_EQ(std::memcmp(heap.Buffer(b).data(), "Vaelith!!!!\0", 12), 0);

    // Above 2000 bytes the general allocator serves.
    const THeapRef big = heap.NewBuf(2001);
    EXPECT_EQ(heap.LargeCount(), 1u);
    EXPECT_EQ(heap.Buffer(big).size(), 2001u); // exactly the size asked for
    heap.DisposeBuf(big);
    EXPECT_EQ(heap.LargeCount(), 0u);
    EXPECT_THROW(heap.Buffer(big), EStoreError);

    heap.Clear();
    EXPECT_TRUE(heap.Empty());
    EXPECT_THROW(heap.Buffer(b), EStoreError);
    EXPECT_THROW(heap.Buffer(0), EStoreError);
    EXPECT_THROW(heap.Buffer(0x7FFFFFFF), EStoreError);
}

TEST(StringHeap, BlockRemainderGoesToItsFreeList) {
    TStringHeap heap;
    // Eight 2000-byte buffers (with their headers) fill 16 064 bytes of the first block.
    std::set<THeapRef> refs;
    for (int i = 0; i < 8; ++i) refs.insert(heap.NewBuf(2000));
    EXPECT_EQ(heap.BlockCount(), 1u);
    refs.insert(heap.NewBuf(2000));
    EXPECT_EQ(heap.BlockCount(), 2u);
    // The 320 bytes left became a 312-byte buffer of that class.
    EXPECT_EQ(heap.FreeListLength(312), 1u);
    const THeapRef rest = heap.NewBuf(305);
    EXPECT_EQ(heap.FreeListLength(312), 0u);
    EXPECT_EQ(heap.BlockCount(), 2u);
    EXPECT_EQ(heap.Buffer(rest).size(), 312u);
    refs.insert(rest);
    EXPECT_EQ(refs.size(), 10u);
    for (THeapRef r : refs) heap.DisposeBuf(r);
    EXPECT_EQ(heap.FreeListLength(2000), 9u);
}

TEST(StringHeap, ReleasingAFreeBufferIsCaught) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    TStringHeap heap;
    const THeapRef r = heap.AllocStr("x");
    heap.DisposeBuf(r);
    // Debug builds stop at the reference-word check; release builds ignore the second release.
    EXPECT_DEBUG_DEATH(heap.DisposeBuf(r), "");
    EXPECT_EQ(heap.FreeListLength(8), 1u);
}

TEST(BlockManager, ItemsFromTheFreeListAndBlocksReleasedWithTheirLastItem) {
    TBlockManager bm;
    bm.SetRecordSize(10);
    std::vector<TItemHeader*> items;
    for (int i = 0; i < 30; ++i) items.push_back(bm.AllocItem());
    EXPECT_EQ(bm.BlockCount(), 2);
    EXPECT_EQ(bm.FreeCount(), 20);
    for (auto* i : items) EXPECT_EQ(i->Flag, flUsed);
    EXPECT_EQ(items[25]->Block, bm.FirstBlock()); // newest block first
    EXPECT_EQ(bm.GetRecordPtr(items[0]).size(), 10u);
    // Distinct, non-overlapping row images.
    for (size_t k = 1; k < items.size(); ++k)
        EXPECT_GE(std::abs(bm.GetRecordPtr(items[k]).data() - bm.GetRecordPtr(items[k - 1]).data()), 10);

    for (int i = 25; i < 30; ++i) bm.FreeItem(items[size_t(i)]);
    EXPECT_EQ(bm.BlockCount(), 1);
    EXPECT_EQ(bm.FreeCount(), 0);
    bm.FreeItem(items[3]);
    EXPECT_EQ(bm.FreeCount(), 1);
    EXPECT_EQ(items[3]->Flag, flFree);
    EXPECT_EQ(bm.AllocItem(), items[3]); // recycled
    EXPECT_THROW(bm.SetRecordSize(12), EStoreError);
    EXPECT_THROW(bm.ItemAt(bm.FirstBlock(), 25), EStoreError);
}

TEST(BlockManager, FreeingAFreeItemIsCaught) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    TBlockManager bm;
    bm.SetRecordSize(4);
    TItemHeader* a = bm.AllocItem();
    bm.AllocItem();
    bm.FreeItem(a);
    EXPECT_DEBUG_DEATH(
        {
            try {
                bm.FreeItem(a);
            } catch (const EStoreError&) {
            }
        },
        "");
    EXPECT_EQ(bm.FreeCount(), 24);
}

TEST(StringHeap, RandomWorkloadKeepsEveryLiveBufferIntact) {
    // A model of the live buffers: each holds a pattern that no other operation may disturb.
    TStringHeap heap;
    struct Live {
        THeapRef ref;
        std::string text;
        int refs;
    };
    std::vector<Live> live;
    uint32_t seed = 7;
    auto rnd = [&](uint32_t n) {
        seed = seed * 1664525u + 1013904223u;
        return (seed >> 8) % n;
    };
    for (int op = 0; op < 20000; ++op) {
        const uint32_t what = rnd(10);
        if (what < 5 || live.empty()) {
            const size_t len = rnd(4) == 0 ? 1990 + rnd(40) : rnd(300); // both sides of 2000
            std::string text(len, char('a' + op % 26));
            live.push_back({heap.AllocStr(text), text, 1});
        } else if (what < 6) {
            Live& l = live[rnd(uint32_t(live.size()))];
            heap.AddRef(l.ref);
            ++l.refs;
        } else {
            const size_t i = rnd(uint32_t(live.size()));
            heap.DisposeBuf(live[i].ref);
            if (--live[i].refs == 0) {
                live[i] = live.back();
                live.pop_back();
            }
        }
        if (op % 1000 == 999) {
            std::set<THeapRef> refs;
            for (const Live& l : live) {
                const auto buf = heap.Buffer(l.ref);
                ASSERT_GE(buf.size(), l.text.size() + 1);
                ASSERT_EQ(std::memcmp(buf.data(), l.text.data(), l.text.size()), 0);
                ASSERT_EQ(buf[l.text.size()], 0);
                ASSERT_EQ(heap.RefCount(l.ref), TStringHeap::RefFree + l.refs);
                refs.insert(l.ref);
            }
            ASSERT_EQ(refs.size(), live.size()); // no buffer handed out twice
        }
    }
    heap.Clear();
    EXPECT_TRUE(heap.Empty());
}

TEST(BlockManager, RandomAllocAndFreeKeepItemsAndListsConsistent) {
    TBlockManager bm;
    bm.SetRecordSize(13);
    std::vector<TItemHeader*> used;
    uint32_t seed = 11;
    auto rnd = [&](uint32_t n) {
        seed = seed * 1664525u + 1013904223u;
        return (seed >> 8) % n;
    };
    for (int op = 0; op < 5000; ++op) {
        if (rnd(3) != 0 || used.empty()) {
            TItemHeader* item = bm.AllocItem();
            ASSERT_EQ(item->Flag, flUsed);
            const TRecord rec = bm.GetRecordPtr(item);
            std::memset(rec.data(), op & 0xFF, rec.size());
            item->Order = op;
            used.push_back(item);
        } else {
            const size_t i = rnd(uint32_t(used.size()));
            TItemHeader* item = used[i];
            const TRecord rec = bm.GetRecordPtr(item);
            for (uint8_t b : rec) ASSERT_EQ(b, uint8_t(item->Order & 0xFF));
            bm.FreeItem(item);
            used[i] = used.back();
            used.pop_back();
        }
    }
    int usedInBlocks = 0, slots = 0;
    for (const TBlockHeader* b = bm.FirstBlock(); b; b = b->Next) {
        usedInBlocks += b->UsedItems;
        slots += b->ItemCount;
        EXPECT_GT(b->UsedItems, 0); // an empty block is released
    }
    EXPECT_EQ(usedInBlocks, int(used.size()));
    EXPECT_EQ(bm.FreeCount(), slots - int(used.size()));
}
