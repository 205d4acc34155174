// Throughput of the SQL parameter parse: the ten game statements through the command parse (the
// run-time path, MySQL lexer) and the component parse, and the lexer alone over a large text.
// There is no peer for this step (the MariaDB client has no named parameters); the figures are
// absolute. Usage: parser_bench [rounds]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "components/Uni.h"
#include "dac/common/CRAccess.h"
#include "dac/mysql/MyParser.h"

using namespace rivalon;

namespace {

class BenchCommand : public TCRCommand {
public:
    std::unique_ptr<TSQLInfo> CreateSQLInfo() const override { return std::make_unique<TMySQLInfo>(); }
    TParserClass GetParserClass() const override { return &CreateParser<TMyParser>; }
    bool IsLabelSyntax(int code, int prevCode) const override { return TMyParser::IsLabelSyntax(code, prevCode); }
    bool GetPrepared() const override { return false; }
    void Execute() override {}
    TCursorState GetCursorState() const override { return csInactive; }
    void SetCursorState(TCursorState) override {}
};

class BenchProvider : public TUniProvider {
public:
    std::u16string GetProviderName() const override { return u"MySQL"; }
    TCRClass<TCRConnection> GetConnectionClass() const override { return {}; }
    TParserClass GetParserClass() const override { return &CreateParser<TMyUniParser>; }
    TCRClass<TUniSqlFormatter> GetSqlFormatterClass() const override { return {}; }
    const TFieldTypeMap& GetFieldTypeMapClass() const override { return TFieldTypeMap::Default(); }

protected:
    void CreateConnectionOptions() override {}
    void CreateSQLOptions() override {}
    void CreateDataSetOptions() override {}
};

const std::vector<std::u16string>& Statements() {
    static const std::vector<std::u16string> s{
        u"select count(*) as qtd from usuarios where login = :login;",
        u"insert into usuarios(login, senha) values (:login, :senha)",
        u"select id_conta from usuarios where login = :login and senha = :senha;",
        u"SELECT id_conta, nome_personagem, nivel_personagem, energia_maxima, energia_atual, ataque, defesa, hp, xp, "
        u"pontos_distribuir\r\nFROM halcyra.personagens where id_conta = :id_conta;",
        u"select exp from exp where nivel = :nivel;",
        u"select\r\n  p.nome_personagem \r\n ,p.nivel_personagem\r\n ,(select count(1) from luta l where "
        u"l.id_conta_ganhadora = p.id_conta) as qtd_vitorias\r\nfrom personagens p \r\n\r\norder by 3, 2 desc",
        u"INSERT INTO personagens(id_conta, nome_personagem, nivel_personagem, energia_maxima, energia_atual, ataque, "
        u"defesa, hp, xp, pontos_distribuir) \r\nVALUES(:id_conta, :nome_personagem, 1, 10, 10, :ataque, :defesa, :hp, "
        u"0, :pontos_distribuir);",
        u"SELECT * FROM personagens where id_conta <> :id_conta ORDER BY RAND() LIMIT 1",
        u"update personagens set energia_atual = :energia_atual where id_conta = :id_conta",
        u"INSERT INTO log\r\n(\r\ntipo_log,\r\nid_conta,\r\ndescricao_log,\r\nip_log,\r\nusuario_so_log,\r\n"
        u"nome_estacao_log,\r\nmac_log,\r\nversao_sistema_log,\r\nip_internet_log)\r\nVALUES(\r\n:tipo_log,\r\n"
        u":id_conta,\r\n:descricao_log,\r\n:ip_log,\r\n:usuario_so_log,\r\n:nome_estacao_log,\r\n:mac_log,\r\n"
        u":versao_sistema_log,\r\n:ip_internet_log\r\n);",
    };
    return s;
}

double Seconds(std::chrono::steady_clock::duration d) { return std::chrono::duration<double>(d).count(); }

} // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 20000;
    std::size_t chars = 0;
    for (const auto& s : Statements()) chars += s.size();
    std::size_t sink = 0;

    BenchCommand cmd;
    auto t0 = std::chrono::steady_clock::now();
    for (int r = 0; r < rounds; ++r)
        for (const auto& s : Statements()) {
            cmd.SetSQL(s);
            sink += cmd.ParamsInfo().Count();
        }
    const double cmdSec = Seconds(std::chrono::steady_clock::now() - t0);

    BenchProvider provider;
    TUniSQL uni;
    uni.SetProvider(&provider);
    std::vector<std::u16string> names;
    t0 = std::chrono::steady_clock::now();
    for (int r = 0; r < rounds; ++r)
        for (const auto& s : Statements()) sink += uni.ParseSQL(s, &names).size() + names.size();
    const double uniSec = Seconds(std::chrono::steady_clock::now() - t0);

    // The lexer alone over about 4 MB of statements, strings and comments.
    std::u16string big;
    while (big.size() < 2'000'000)
        big += u"select a.b, 'it''s \\'quoted\\'', `x y` from t /* c :x */ where n = 12.5 -- :y\r\n";
    t0 = std::chrono::steady_clock::now();
    TMyParser lexer(big);
    lexer.SetOmitBlank(false);
    lexer.SetQuotedString(true);
    std::size_t tokens = 0;
    while (lexer.GetNext() != lcEnd) ++tokens;
    const double lexSec = Seconds(std::chrono::steady_clock::now() - t0);

    const double n = double(rounds) * double(Statements().size());
    std::printf("command parse   (TMyParser):    %8.0f ns/statement  %7.1f M chars/s\n", cmdSec / n * 1e9,
                double(chars) * rounds / cmdSec / 1e6);
    std::printf("component parse (TMyUniParser): %8.0f ns/statement  %7.1f M chars/s\n", uniSec / n * 1e9,
                double(chars) * rounds / uniSec / 1e6);
    std::printf("lexer alone:                    %8.1f M chars/s (%zu tokens)\n", double(big.size()) / lexSec / 1e6,
                tokens);
    return sink == 0xFFFFFFFF ? 1 : 0;
}
