#include "game/Combat.h"

#include "game/Session.h"
#include "platform/Exception.h"

#include <chrono>
#include <limits>
#include <mutex>
#include <random>

namespace rivalon {

TDados::~TDados() = default;

namespace {

// Plain decimal with a minus sign for negatives; the log never depends on the locale.
std::u16string Num(int64_t valor)
{
    const std::string s = std::to_string(valor);
    return std::u16string(s.begin(), s.end());
}

void ExigeFaces(int32_t faces)
{
    if (faces < 1)
        throw Exception(u"Número de faces de dado inválido: " + Num(faces));
}

// Mersenne twister behind a lock. The range is reduced by rejection so that every face is exactly
// equally likely (a plain modulo would favour the low faces).
class TDadosDoProcesso final : public TDados {
public:
    TDadosDoProcesso()
        : FGerador(static_cast<uint64_t>(
              std::chrono::system_clock::now().time_since_epoch().count()) ^
                   static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()))
    {
    }

    int32_t Rolar(int32_t faces) override
    {
        ExigeFaces(faces);
        const uint64_t n = static_cast<uint64_t>(faces);
        // Largest multiple of n that fits in the generator's range; draws at or above it are
        // discarded.
        const uint64_t limite = std::numeric_limits<uint64_t>::max() -
                                std::numeric_limits<uint64_t>::max() % n;
        std::lock_guard<std::mutex> trava(FTrava);
        uint64_t x;
        do
            x = FGerador();
        while (x >= limite);
        return static_cast<int32_t>(x % n) + 1;
    }

    void Semear(uint64_t semente)
    {
        std::lock_guard<std::mutex> trava(FTrava);
        FGerador.seed(semente);
    }

private:
    std::mutex FTrava;
    std::mt19937_64 FGerador;
};

TDadosDoProcesso& Processo()
{
    static TDadosDoProcesso dados;
    return dados;
}

// One side of the fight as a round sees it.
struct TLado {
    const std::u16string& Nome;
    int32_t Ataque;
    int32_t Defesa;
    int32_t& HP;
};

// Lowers hit points without leaving the 32-bit range (attributes are typed freely, so a side may
// start near the lowest value).
void Subtrai(int32_t& hp, int32_t dano)
{
    const int64_t r = static_cast<int64_t>(hp) - dano;
    hp = r < std::numeric_limits<int32_t>::min() ? std::numeric_limits<int32_t>::min()
                                                 : static_cast<int32_t>(r);
}

// Seeds the generator while the program starts rather than at the first fight.
[[maybe_unused]] const bool kSemeadoNoInicio = (Processo(), true);

} // namespace

TDados& DadosDoProcesso()
{
    return Processo();
}

void SemearDadosDoProcesso(uint64_t semente)
{
    Processo().Semear(semente);
}

TDadosRoteiro::TDadosRoteiro(std::initializer_list<int32_t> valores) : FValores(valores) {}

TDadosRoteiro::TDadosRoteiro(std::vector<int32_t> valores) : FValores(valores.begin(), valores.end()) {}

int32_t TDadosRoteiro::Rolar(int32_t faces)
{
    ExigeFaces(faces);
    if (FValores.empty())
        throw Exception(u"Roteiro de dados esgotado no dado " + Num(static_cast<int64_t>(FFaces.size()) + 1) +
                        u" (1 a " + Num(faces) + u")");
    const int32_t valor = FValores.front();
    if (valor < 1 || valor > faces)
        throw Exception(u"Valor de dado " + Num(valor) + u" fora de 1 a " + Num(faces));
    FValores.pop_front();
    FFaces.push_back(faces);
    return valor;
}

void ResolverCombate(TDados& dados, const std::function<void(const std::u16string&)>& append)
{
    // The player fights with a copy: the stored hit points are the next fight's start.
    int32_t hpJogador = VA_HP_ATUAL;
    TLado jogador{VA_NOME_PERSONAGEM, VA_ATAQUE_ATUAL, VA_DEFESA_ATUAL, hpJogador};
    TLado adversario{VA_NOME_ADVERSARIO, VA_ATAQUE_ADVERSARIO, VA_DEFESA_ADVERSARIO, VA_HP_ADVERSARIO};
    // A side already down when the fight starts has lost, even if a blow of its own fells the
    // other side in the same round.
    const bool jogadorCaidoAntes = hpJogador <= 0;
    const bool adversarioCaidoAntes = VA_HP_ADVERSARIO <= 0;

    append(u"Início do Combate!");
    append(u"");
    append(u"");
    append(u"");

    std::u16string VA_CONTINUA_COMBATE = u"SIM";
    const TLado* vencedor = nullptr;
    int rodadas = 0;
    while (VA_CONTINUA_COMBATE == u"SIM") {
        int32_t VA_DANO_CAUSADO = 0;
        std::u16string VA_CRITICO;

        int32_t VA_DADO_JOGADOR;
        int32_t VA_DADO_ADVERSARIO;
        do {
            VA_DADO_JOGADOR = dados.Rolar(20);
            VA_DADO_ADVERSARIO = dados.Rolar(20);
        } while (VA_DADO_JOGADOR == VA_DADO_ADVERSARIO);

        append(u"Iniciativa de " + VA_NOME_PERSONAGEM + u": " + Num(VA_DADO_JOGADOR));
        append(u"Iniciativa de " + VA_NOME_ADVERSARIO + u": " + Num(VA_DADO_ADVERSARIO));
        append(u"");

        // The round's attacker and defender; the opponent's rounds mirror the player's.
        const bool jogadorAtaca = VA_DADO_JOGADOR > VA_DADO_ADVERSARIO;
        const TLado& atacante = jogadorAtaca ? jogador : adversario;
        const TLado& defensor = jogadorAtaca ? adversario : jogador;
        int32_t& dadoAtacante = jogadorAtaca ? VA_DADO_JOGADOR : VA_DADO_ADVERSARIO;
        int32_t& dadoDefensor = jogadorAtaca ? VA_DADO_ADVERSARIO : VA_DADO_JOGADOR;

        append(atacante.Nome + u" ganhou a iniciativa e atacará primeiro!");

        dadoAtacante = dados.Rolar(20);
        dadoDefensor = dados.Rolar(20);
        // 64-bit sums: attributes are typed freely and the log shows the true total.
        const int64_t poderAtaque = static_cast<int64_t>(atacante.Ataque) + dadoAtacante;
        const int64_t poderDefesa = static_cast<int64_t>(defensor.Defesa) + dadoDefensor;

        append(u"Poder de ataque de " + atacante.Nome + u": Ataque " + Num(atacante.Ataque) + u" + " +
               u" Rolagem de Dado: " + Num(dadoAtacante) + u" = " + Num(poderAtaque));
        append(u"Poder de defesa de " + defensor.Nome + u": Defesa " + Num(defensor.Defesa) + u" + " +
               u" Rolagem de Dado: " + Num(dadoDefensor) + u" = " + Num(poderDefesa));
        append(u"");

        if (dadoAtacante == 20) {
            VA_CRITICO = u"SIM";
            append(atacante.Nome + u" conseguiu um acerto crítico!");
        }

        if (poderAtaque > poderDefesa) {
            dadoAtacante = dados.Rolar(2);
            VA_DANO_CAUSADO = VA_CRITICO == u"SIM" ? 2 * dadoAtacante : dadoAtacante;
            append(u"Rolagem de Dado para o Dano: " + Num(dadoAtacante) + u" Total de Dano causado: " +
                   Num(VA_DANO_CAUSADO));
        } else {
            append(defensor.Nome + u" defendeu com sucesso!");
        }

        append(u"");
        Subtrai(defensor.HP, VA_DANO_CAUSADO);

        append(u"HP de " + VA_NOME_PERSONAGEM + u": " + Num(hpJogador));
        append(u"HP de " + VA_NOME_ADVERSARIO + u": " + Num(VA_HP_ADVERSARIO));

        ++rodadas;
        const bool jogadorCaido = hpJogador <= 0;
        const bool adversarioCaido = VA_HP_ADVERSARIO <= 0;
        if (jogadorCaido || adversarioCaido) {
            VA_CONTINUA_COMBATE = u"NAO";
            if (jogadorCaido && adversarioCaido) {
                if (jogadorCaidoAntes != adversarioCaidoAntes)
                    vencedor = jogadorCaidoAntes ? &adversario : &jogador;
                else
                    vencedor = &atacante;
            } else {
                vencedor = jogadorCaido ? &adversario : &jogador;
            }
        } else if (rodadas >= kMaxRodadasCombate) {
            VA_CONTINUA_COMBATE = u"NAO";
        }
    }

    append(u"");
    if (vencedor)
        append(u"Fim do Combate! " + vencedor->Nome + u" venceu!");
    else
        append(u"Fim do Combate! Empate após " + Num(kMaxRodadasCombate) + u" rodadas.");
}

} // namespace rivalon
