// Record store throughput: rows of the game's shape (INT, VARCHAR(100), BIGINT) fetched into the
// store in blocks and read back through typed fields, against a row-per-allocation baseline
// (one vector of optional texts per row, as a simple client keeps a text result set).
//
//   build/bench/store_bench [rows] [rounds]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "dac/common/MemDS.h"

using namespace rivalon;
using Clock = std::chrono::steady_clock;

namespace {

struct SourceRow {
    int32_t id;
    std::string nome; // NULL when empty
    int64_t total;
};

std::vector<SourceRow> MakeRows(size_t n) {
    std::vector<SourceRow> rows;
    rows.reserve(n);
    uint32_t seed = 12345;
    for (size_t i = 0; i < n; ++i) {
        seed = seed * 1103515245u + 12345u;
        const size_t len = 4 + (seed >> 16) % 27;
        std::string nome(len, 'a');
        for (size_t k = 0; k < len; ++k) nome[k] = char('a' + (seed >> (k % 24)) % 26);
        if (i % 17 == 0) nome.clear();
        rows.push_back({int32_t(i), std::move(nome), int64_t(i) * 3});
    }
    return rows;
}

class TBenchRecordSet : public TMemData {
public:
    const std::vector<SourceRow>* Source = nullptr;

protected:
    void InternalOpen() override {
        FNext = 0;
        ClearFields();
        const std::pair<const char16_t*, uint16_t> cols[] = {
            {u"id_personagem", dtInt32}, {u"nome", dtExtString}, {u"vitorias", dtInt64}};
        uint16_t no = 1;
        for (auto [name, type] : cols) {
            auto fd = CreateFieldDesc();
            fd->FName = name;
            fd->FFieldNo = no++;
            fd->SetDataType(type);
            fd->SetLength(type == dtExtString ? 100 : 0);
            AddField(std::move(fd));
        }
        InitRecordSize();
        FetchAll();
    }
    bool FetchingAccessible(bool) override { return FNext < Source->size(); }
    int FetchBlock(TBlockHeader* block, bool) override {
        int n = 0;
        const TFieldDesc& id = Field(0);
        const TFieldDesc& nome = Field(1);
        const TFieldDesc& total = Field(2);
        while (n < FFetchRows && FNext < Source->size()) {
            const SourceRow& r = (*Source)[FNext++];
            const TRecord rec = BlockRecord(block, n++);
            PutInteger(id, rec, r.id);
            if (r.nome.empty()) SetNull(nome, rec, true); else PutString(nome, rec, r.nome);
            PutInteger(total, rec, r.total);
        }
        return n;
    }

private:
    size_t FNext = 0;
};

class TBenchQuery : public TMemDataSet {
public:
    TBenchRecordSet RS;
    TBenchQuery() {
        SetName(u"qryRanking");
        SetData(&RS);
    }
    ~TBenchQuery() override { Close(); }
};

double Seconds(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double>(b - a).count(); }

} // namespace

int main(int argc, char** argv) {
    const size_t rows = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 200000;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 10;
    const auto source = MakeRows(rows);
    int64_t checkStore = 0, checkBase = 0, checkSmall = 0;

    TBenchQuery q;
    q.RS.Source = &source;
    const auto s0 = Clock::now();
    for (int r = 0; r < rounds; ++r) {
        q.Open();
        TField& id = q.FieldByName(u"id_personagem");
        auto& nome = static_cast<TStringField&>(q.FieldByName(u"nome"));
        TField& total = q.FieldByName(u"vitorias");
        for (q.First(); !q.Eof(); q.Next())
            checkStore += id.AsInteger() + total.AsLargeInt() + int64_t(nome.AsAnsiString().size());
        q.Close();
    }
    const auto s1 = Clock::now();

    const auto b0 = Clock::now();
    for (int r = 0; r < rounds; ++r) {
        // Every value as text in its own row vector, converted when read.
        std::vector<std::vector<std::optional<std::string>>> result;
        for (const SourceRow& s : source) {
            std::vector<std::optional<std::string>> row;
            row.reserve(3);
            row.emplace_back(std::to_string(s.id));
            if (s.nome.empty()) row.emplace_back(std::nullopt); else row.emplace_back(s.nome);
            row.emplace_back(std::to_string(s.total));
            result.push_back(std::move(row));
        }
        for (const auto& row : result)
            checkBase += std::atoi(row[0]->c_str()) + std::atoll(row[2]->c_str()) +
                         int64_t(row[1] ? row[1]->size() : 0);
    }
    const auto b1 = Clock::now();

    // Many small opens, as the game's statements return one row or a handful.
    const std::vector<SourceRow> small(source.begin(), source.begin() + std::min<size_t>(10, source.size()));
    TBenchQuery sq;
    sq.RS.Source = &small;
    const int opens = 20000;
    const auto o0 = Clock::now();
    for (int i = 0; i < opens; ++i) {
        sq.Open();
        checkSmall += sq.RecordCount() + sq.FieldByName(u"id_personagem").AsInteger();
        sq.Close();
    }
    const auto o1 = Clock::now();

    const double store = double(rows) * rounds / Seconds(s0, s1);
    const double base = double(rows) * rounds / Seconds(b0, b1);
    std::printf("rows per round        %zu, rounds %d\n", rows, rounds);
    std::printf("record store          %.0f rows/s (fetch into blocks + read through fields)\n", store);
    std::printf("row-per-allocation    %.0f rows/s\n", base);
    std::printf("ratio store/baseline  %.2f\n", store / base);
    std::printf("open+close, 10 rows   %.2f us per open\n", Seconds(o0, o1) * 1e6 / opens);
    std::printf("checksums             %lld %lld (equal) %lld\n", (long long)checkStore, (long long)checkBase,
                (long long)checkSmall);
    return checkStore == checkBase ? 0 : 1;
}
