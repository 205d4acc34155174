#pragma once
// An in-test record set: columns and rows given up front, fed into the store block by block
// through the record-set contract, the way a provider's result set is.
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "dac/common/MemData.h"

namespace rivalon::test {

struct Column {
    std::u16string Name;
    uint16_t DataType;
    uint16_t Length = 0;
    bool Fixed = false;
    bool Required = false;
};

// One value: NULL, an integer, 8-bit text/bytes, wide text or a floating-point number.
using Value = std::variant<std::monostate, int64_t, std::string, std::u16string, double>;
using Row = std::vector<Value>;

class TTestRecordSet : public TMemData {
public:
    std::vector<Column> Columns;
    std::vector<Row> Rows;
    bool FetchAllOnOpen = true;
    // Throws from FetchBlock after this many rows of the whole result were written.
    std::optional<size_t> FailAfterRows;
    std::vector<int> BlockRows; // rows obtained by every FetchBlock call, in order
    int NoResultCalls = 0;

    void SetFetchRows(int n) { FFetchRows = n; }
    void SetUniDirectional(bool on) { FUniDirectional = on; }
    using TMemData::FetchBlock;

protected:
    void InternalOpen() override {
        FNext = 0;
        FDone = false;
        BlockRows.clear();
        ClearFields();
        for (size_t i = 0; i < Columns.size(); ++i) {
            auto fd = CreateFieldDesc();
            fd->FName = Columns[i].Name;
            fd->FActualName = Columns[i].Name;
            fd->FFieldNo = uint16_t(i + 1);
            fd->FActualFieldNo = int32_t(i);
            fd->FFixed = Columns[i].Fixed;
            fd->FRequired = Columns[i].Required;
            fd->SetDataType(Columns[i].DataType);
            fd->SetLength(Columns[i].Length);
            AddField(std::move(fd));
        }
        InitRecordSize();
        if (FetchAllOnOpen) FetchAll(); else Fetch();
    }

    bool FetchingAccessible(bool) override { return FNext <= Rows.size() && !FDone; }

    int FetchBlock(TBlockHeader* block, bool) override {
        int n = 0;
        while (n < FFetchRows && FNext < Rows.size()) {
            if (FailAfterRows && FNext >= *FailAfterRows) throw Exception(u"broken stream");
            const TRecord rec = BlockRecord(block, n);
            const Row& row = Rows[FNext];
            for (size_t c = 0; c < Columns.size(); ++c) {
                const TFieldDesc& fd = Field(int(c));
                const Value& v = c < row.size() ? row[c] : Value{};
                if (std::holds_alternative<std::monostate>(v)) SetNull(fd, rec, true);
                else if (auto* i = std::get_if<int64_t>(&v)) PutInteger(fd, rec, *i);
                else if (auto* s = std::get_if<std::string>(&v)) PutString(fd, rec, *s);
                else if (auto* w = std::get_if<std::u16string>(&v)) PutWideString(fd, rec, *w);
                else PutFloat(fd, rec, std::get<double>(v));
            }
            ++n;
            ++FNext;
        }
        BlockRows.push_back(n);
        if (FNext >= Rows.size() && n < FFetchRows) FDone = true;
        return n;
    }

    // Like a cursor that met the end of its result while filling a block.
    bool IsFetchFinished() const override { return FDone; }

    void ProcessNoResult(bool) override {
        ++NoResultCalls;
        FDone = true;
    }

    void InternalClose() override { FDone = false; }

private:
    size_t FNext = 0;
    bool FDone = false;
};

// A result of `count` rows: id = 1..count, nome = "Heroi <id>", total = id * 1000000000000.
inline void FillNumbered(TTestRecordSet& rs, int count) {
    rs.Columns = {{u"id_personagem", dtInt32}, {u"nome", dtExtString, 100}, {u"total", dtInt64}};
    rs.Rows.clear();
    for (int i = 1; i <= count; ++i)
        rs.Rows.push_back({int64_t(i), "Heroi " + std::to_string(i), int64_t(i) * 1000000000000LL});
}

} // namespace rivalon::test
