#include "game/Combat.h"

#include "game/Session.h"
#include "platform/Exception.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <limits>
#include <string>
#include <vector>

namespace rivalon {
namespace {

using Linhas = std::vector<std::u16string>;

// Ana (attack 5, HP 10) against Bruno (defence 3, HP 12), the pair of the rules' example; the
// other attributes are set so that they stay out of the way unless a test changes them.
class CombatTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        VA_NOME_PERSONAGEM = u"Ana";
        VA_ATAQUE_ATUAL = 5;
        VA_DEFESA_ATUAL = 2;
        VA_HP_ATUAL = 10;
        VA_NOME_ADVERSARIO = u"Bruno";
        VA_ATAQUE_ADVERSARIO = 4;
        VA_DEFESA_ADVERSARIO = 3;
        VA_HP_ADVERSARIO = 12;
    }

    Linhas Lutar(TDados& dados)
    {
        Linhas linhas;
        ResolverCombate(dados, [&](const std::u16string& l) { linhas.push_back(l); });
        return linhas;
    }

    // Plays a scripted fight and checks that it used exactly the scripted dice.
    Linhas Lutar(std::vector<int32_t> roteiro)
    {
        TDadosRoteiro dados(std::move(roteiro));
        Linhas linhas = Lutar(dados);
        EXPECT_EQ(dados.Restantes(), 0u) << "dice left over";
        return linhas;
    }

    static Linhas Trecho(const Linhas& l, size_t de, size_t n)
    {
        EXPECT_LE(de + n, l.size());
        if (de + n > l.size())
            return {};
        return Linhas(l.begin() + static_cast<std::ptrdiff_t>(de), l.begin() + static_cast<std::ptrdiff_t>(de + n));
    }

    static size_t Contar(const Linhas& l, const std::u16string& texto)
    {
        return static_cast<size_t>(std::count(l.begin(), l.end(), texto));
    }
};

// Dice of one round: initiative pair, attack and defence dice, then the damage die when the
// round hits (0 for none).
std::vector<int32_t> Rodada(int32_t iniJ, int32_t iniA, int32_t ataque, int32_t defesa, int32_t dano = 0)
{
    std::vector<int32_t> v{iniJ, iniA, ataque, defesa};
    if (dano)
        v.push_back(dano);
    return v;
}

std::vector<int32_t> operator+(std::vector<int32_t> a, const std::vector<int32_t>& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

std::u16string U16(int64_t n)
{
    const std::string s = std::to_string(n);
    return std::u16string(s.begin(), s.end());
}

const Linhas kAbertura{u"Início do Combate!", u"", u"", u""};

TEST_F(CombatTest, WorkedRoundLineByLineThenFightToTheEnd)
{
    // The example round, then three critical hits of 4: 12 -> 10 -> 6 -> 2 -> -2.
    const auto critico = Rodada(14, 9, 20, 1, 2);
    TDadosRoteiro dados(Rodada(14, 9, 12, 7, 2) + critico + critico + critico);
    const Linhas l = Lutar(dados);
    EXPECT_EQ(dados.Restantes(), 0u);
    EXPECT_EQ(dados.Faces(), (std::vector<int32_t>{20, 20, 20, 20, 2, 20, 20, 20, 20, 2, 20, 20, 20, 20, 2,
                                                   20, 20, 20, 20, 2}));

    EXPECT_EQ(Trecho(l, 0, 4), kAbertura);
    const Linhas exemplo{
        u"Iniciativa de Ana: 14",
        u"Iniciativa de Bruno: 9",
        u"",
        u"Ana ganhou a iniciativa e atacará primeiro!",
        u"Poder de ataque de Ana: Ataque 5 +  Rolagem de Dado: 12 = 17",
        u"Poder de defesa de Bruno: Defesa 3 +  Rolagem de Dado: 7 = 10",
        u"",
        u"Rolagem de Dado para o Dano: 2 Total de Dano causado: 2",
        u"",
        u"HP de Ana: 10",
        u"HP de Bruno: 10",
    };
    EXPECT_EQ(Trecho(l, 4, 11), exemplo);
    // The next round follows at once with its initiative.
    EXPECT_EQ(l[15], u"Iniciativa de Ana: 14");
    const Linhas segunda{
        u"Iniciativa de Ana: 14",
        u"Iniciativa de Bruno: 9",
        u"",
        u"Ana ganhou a iniciativa e atacará primeiro!",
        u"Poder de ataque de Ana: Ataque 5 +  Rolagem de Dado: 20 = 25",
        u"Poder de defesa de Bruno: Defesa 3 +  Rolagem de Dado: 1 = 4",
        u"",
        u"Ana conseguiu um acerto crítico!",
        u"Rolagem de Dado para o Dano: 2 Total de Dano causado: 4",
        u"",
        u"HP de Ana: 10",
        u"HP de Bruno: 6",
    };
    EXPECT_EQ(Trecho(l, 15, 12), segunda);
    ASSERT_EQ(l.size(), 4u + 11u + 3 * 12u + 2u);
    EXPECT_EQ(l[l.size() - 4], u"HP de Ana: 10");
    EXPECT_EQ(l[l.size() - 3], u"HP de Bruno: -2");
    EXPECT_EQ(l[l.size() - 2], u"");
    EXPECT_EQ(l.back(), u"Fim do Combate! Ana venceu!");
    EXPECT_EQ(VA_HP_ADVERSARIO, -2);
    EXPECT_EQ(VA_HP_ATUAL, 10);
}

TEST_F(CombatTest, EqualInitiativesAreDrawnAgainBeforeAnythingIsLogged)
{
    VA_HP_ADVERSARIO = 1;
    TDadosRoteiro dados{7, 7, 3, 3, 20, 20, 14, 9, 12, 7, 1};
    const Linhas l = Lutar(dados);
    EXPECT_EQ(dados.Restantes(), 0u);
    EXPECT_EQ(Trecho(l, 0, 4), kAbertura);
    EXPECT_EQ(l[4], u"Iniciativa de Ana: 14");
    EXPECT_EQ(l[5], u"Iniciativa de Bruno: 9");
    EXPECT_EQ(Contar(l, u"Iniciativa de Ana: 7") + Contar(l, u"Iniciativa de Ana: 3") +
                  Contar(l, u"Iniciativa de Ana: 20"),
              0u);
    EXPECT_EQ(l.back(), u"Fim do Combate! Ana venceu!");
}

TEST_F(CombatTest, EqualPowersAreADefenceAndTheHpLineRepeats)
{
    // 5 + 8 = 13 against 3 + 10 = 13: defended, no damage die; then a hit of 1 ends it.
    VA_HP_ADVERSARIO = 1;
    const Linhas l = Lutar(Rodada(14, 9, 8, 10) + Rodada(14, 9, 12, 7, 1));
    const Linhas rodada{
        u"Iniciativa de Ana: 14",
        u"Iniciativa de Bruno: 9",
        u"",
        u"Ana ganhou a iniciativa e atacará primeiro!",
        u"Poder de ataque de Ana: Ataque 5 +  Rolagem de Dado: 8 = 13",
        u"Poder de defesa de Bruno: Defesa 3 +  Rolagem de Dado: 10 = 13",
        u"",
        u"Bruno defendeu com sucesso!",
        u"",
        u"HP de Ana: 10",
        u"HP de Bruno: 1",
    };
    EXPECT_EQ(Trecho(l, 4, 11), rodada);
    EXPECT_EQ(l[l.size() - 3], u"HP de Bruno: 0");
    EXPECT_EQ(l.back(), u"Fim do Combate! Ana venceu!");
    EXPECT_EQ(VA_HP_ADVERSARIO, 0);
}

TEST_F(CombatTest, DefendedRoundAfterAHitKeepsTheOpponentsHp)
{
    VA_HP_ADVERSARIO = 3;
    const Linhas l = Lutar(Rodada(14, 9, 12, 7, 2) + Rodada(14, 9, 1, 20) + Rodada(14, 9, 12, 7, 1));
    EXPECT_EQ(Contar(l, u"HP de Bruno: 1"), 2u);
    EXPECT_EQ(Contar(l, u"Bruno defendeu com sucesso!"), 1u);
    EXPECT_EQ(VA_HP_ADVERSARIO, 0);
}

TEST_F(CombatTest, DamageIsTheDieOrTwiceItOnACritical)
{
    struct Caso {
        int32_t ataque;
        int32_t dano;
        const char16_t* critico;
        const char16_t* linhaDano;
        int32_t hpFinal;
    };
    const Caso casos[] = {
        {19, 1, nullptr, u"Rolagem de Dado para o Dano: 1 Total de Dano causado: 1", 11},
        {19, 2, nullptr, u"Rolagem de Dado para o Dano: 2 Total de Dano causado: 2", 10},
        {20, 1, u"Ana conseguiu um acerto crítico!", u"Rolagem de Dado para o Dano: 1 Total de Dano causado: 2", 10},
        {20, 2, u"Ana conseguiu um acerto crítico!", u"Rolagem de Dado para o Dano: 2 Total de Dano causado: 4", 8},
    };
    for (const Caso& c : casos) {
        SCOPED_TRACE(testing::Message() << "attack die " << c.ataque << ", damage die " << c.dano);
        SetUp();
        // The hit under test, then critical hits of 4 until Bruno is down.
        std::vector<int32_t> roteiro = Rodada(14, 9, c.ataque, 1, c.dano);
        for (int32_t hp = c.hpFinal; hp > 0; hp -= 4)
            roteiro = roteiro + Rodada(14, 9, 20, 1, 2);
        const Linhas l = Lutar(roteiro);
        size_t i = 4 + 7;
        if (c.critico) {
            EXPECT_EQ(l[i++], c.critico);
        }
        EXPECT_EQ(l[i++], c.linhaDano);
        EXPECT_EQ(l[i++], u"");
        EXPECT_EQ(l[i++], u"HP de Ana: 10");
        EXPECT_EQ(l[i++], u"HP de Bruno: " + U16(c.hpFinal));
    }
}

TEST_F(CombatTest, CriticalThatDoesNotBeatTheDefenceDealsNothing)
{
    // 5 + 20 = 25 against 30 + 1 = 31.
    VA_DEFESA_ADVERSARIO = 30;
    VA_HP_ADVERSARIO = 0; // ends the fight after the round
    const Linhas l = Lutar(Rodada(14, 9, 20, 1));
    const Linhas esperado{
        u"Início do Combate!",
        u"",
        u"",
        u"",
        u"Iniciativa de Ana: 14",
        u"Iniciativa de Bruno: 9",
        u"",
        u"Ana ganhou a iniciativa e atacará primeiro!",
        u"Poder de ataque de Ana: Ataque 5 +  Rolagem de Dado: 20 = 25",
        u"Poder de defesa de Bruno: Defesa 30 +  Rolagem de Dado: 1 = 31",
        u"",
        u"Ana conseguiu um acerto crítico!",
        u"Bruno defendeu com sucesso!",
        u"",
        u"HP de Ana: 10",
        u"HP de Bruno: 0",
        u"",
        u"Fim do Combate! Ana venceu!",
    };
    EXPECT_EQ(l, esperado);
}

TEST_F(CombatTest, SideDownBeforeTheFightLosesAfterTheFirstRound)
{
    // Whatever the round: won by the player and defended, or won by the opponent with a hit that
    // fells the player too. A side that was down before the fight is the loser; when both were,
    // the one that attacked in the round wins.
    struct Caso {
        int32_t hpAdversario;
        int32_t hpJogador;
        std::vector<int32_t> dados;
        const char16_t* fim;
    };
    const Caso casos[] = {
        {0, 10, Rodada(14, 9, 1, 20), u"Fim do Combate! Ana venceu!"},
        {-5, 10, Rodada(14, 9, 12, 7, 2), u"Fim do Combate! Ana venceu!"},
        {0, 10, Rodada(9, 14, 1, 20), u"Fim do Combate! Ana venceu!"},
        {0, 1, Rodada(9, 14, 20, 1, 2), u"Fim do Combate! Ana venceu!"},
        {12, 0, Rodada(14, 9, 12, 7, 2), u"Fim do Combate! Bruno venceu!"},
        {1, 0, Rodada(14, 9, 20, 1, 2), u"Fim do Combate! Bruno venceu!"},
        {0, 0, Rodada(9, 14, 1, 20), u"Fim do Combate! Bruno venceu!"},
        {0, 0, Rodada(14, 9, 1, 20), u"Fim do Combate! Ana venceu!"},
    };
    for (const Caso& c : casos) {
        SCOPED_TRACE(testing::Message() << "HP " << c.hpJogador << " against " << c.hpAdversario << ", initiative "
                                        << c.dados[0] << ":" << c.dados[1]);
        SetUp();
        VA_HP_ADVERSARIO = c.hpAdversario;
        VA_HP_ATUAL = c.hpJogador;
        const Linhas l = Lutar(c.dados);
        EXPECT_EQ(Contar(l, u"Iniciativa de Ana: 14") + Contar(l, u"Iniciativa de Ana: 9"), 1u);
        EXPECT_EQ(l.back(), c.fim);
    }
}

TEST_F(CombatTest, OpponentRoundMirrorsThePlayersAndHitsTheFightCopyOnly)
{
    // Bruno: attack 4 + 12 = 16 against Ana's defence 2 + 3 = 5, damage 2; then Ana ends it
    // with critical hits.
    VA_HP_ADVERSARIO = 4;
    const Linhas l = Lutar(Rodada(5, 15, 12, 3, 2) + Rodada(14, 9, 20, 1, 2));
    const Linhas rodada{
        u"Iniciativa de Ana: 5",
        u"Iniciativa de Bruno: 15",
        u"",
        u"Bruno ganhou a iniciativa e atacará primeiro!",
        u"Poder de ataque de Bruno: Ataque 4 +  Rolagem de Dado: 12 = 16",
        u"Poder de defesa de Ana: Defesa 2 +  Rolagem de Dado: 3 = 5",
        u"",
        u"Rolagem de Dado para o Dano: 2 Total de Dano causado: 2",
        u"",
        u"HP de Ana: 8",
        u"HP de Bruno: 4",
    };
    EXPECT_EQ(Trecho(l, 4, 11), rodada);
    EXPECT_EQ(l[l.size() - 4], u"HP de Ana: 8");
    EXPECT_EQ(l.back(), u"Fim do Combate! Ana venceu!");
    EXPECT_EQ(VA_HP_ATUAL, 10);
}

TEST_F(CombatTest, OpponentCriticalAndDefenceLines)
{
    VA_HP_ADVERSARIO = 4;
    // Bruno's critical (4 + 20 = 24 against 2 + 1 = 3, die 1 doubled), then Ana defends
    // (4 + 1 = 5 against 2 + 3 = 5), then Ana wins.
    const Linhas l = Lutar(Rodada(1, 2, 20, 1, 1) + Rodada(3, 4, 1, 3) + Rodada(14, 9, 20, 1, 2));
    EXPECT_EQ(Trecho(l, 4 + 7, 5), (Linhas{u"Bruno conseguiu um acerto crítico!",
                                           u"Rolagem de Dado para o Dano: 1 Total de Dano causado: 2", u"",
                                           u"HP de Ana: 8", u"HP de Bruno: 4"}));
    EXPECT_EQ(Trecho(l, 4 + 12 + 4, 7), (Linhas{u"Poder de ataque de Bruno: Ataque 4 +  Rolagem de Dado: 1 = 5",
                                               u"Poder de defesa de Ana: Defesa 2 +  Rolagem de Dado: 3 = 5", u"",
                                               u"Ana defendeu com sucesso!", u"", u"HP de Ana: 8",
                                               u"HP de Bruno: 4"}));
}

TEST_F(CombatTest, PlayerLosesAndTheNextFightStartsFromTheStoredHp)
{
    VA_HP_ATUAL = 3;
    const Linhas l = Lutar(Rodada(5, 15, 12, 3, 2) + Rodada(5, 15, 12, 3, 1));
    EXPECT_EQ(l[l.size() - 4], u"HP de Ana: 0");
    EXPECT_EQ(l[l.size() - 3], u"HP de Bruno: 12");
    EXPECT_EQ(l[l.size() - 2], u"");
    EXPECT_EQ(l.back(), u"Fim do Combate! Bruno venceu!");
    EXPECT_EQ(VA_HP_ATUAL, 3);

    // A second fight: Ana at 3 again, Bruno where the first left him.
    VA_HP_ADVERSARIO = 1;
    const Linhas l2 = Lutar(Rodada(14, 9, 12, 7, 1));
    EXPECT_EQ(l2[l2.size() - 4], u"HP de Ana: 3");
    EXPECT_EQ(l2.back(), u"Fim do Combate! Ana venceu!");
}

TEST_F(CombatTest, SecondFightStartsFromTheLoweredOpponentHp)
{
    VA_HP_ADVERSARIO = 1;
    Lutar(Rodada(14, 9, 12, 7, 2));
    EXPECT_EQ(VA_HP_ADVERSARIO, -1);
    // Bruno is down already: the next fight ends after its first round.
    const Linhas l = Lutar(Rodada(14, 9, 1, 20));
    EXPECT_EQ(l[l.size() - 3], u"HP de Bruno: -1");
    EXPECT_EQ(l.back(), u"Fim do Combate! Ana venceu!");
}

TEST_F(CombatTest, FightNobodyCanWinEndsAfterTheRoundLimit)
{
    VA_ATAQUE_ATUAL = 0;
    VA_DEFESA_ATUAL = 100;
    VA_ATAQUE_ADVERSARIO = 0;
    VA_DEFESA_ADVERSARIO = 100;
    SemearDadosDoProcesso(20261210);
    const Linhas l = Lutar(DadosDoProcesso());
    EXPECT_EQ(Contar(l, u"Ana ganhou a iniciativa e atacará primeiro!") +
                  Contar(l, u"Bruno ganhou a iniciativa e atacará primeiro!"),
              static_cast<size_t>(kMaxRodadasCombate));
    EXPECT_EQ(Contar(l, u"Bruno defendeu com sucesso!") + Contar(l, u"Ana defendeu com sucesso!"),
              static_cast<size_t>(kMaxRodadasCombate));
    ASSERT_GE(l.size(), 2u);
    EXPECT_EQ(l[l.size() - 4], u"HP de Ana: 10");
    EXPECT_EQ(l[l.size() - 3], u"HP de Bruno: 12");
    EXPECT_EQ(l[l.size() - 2], u"");
    EXPECT_EQ(l.back(), u"Fim do Combate! Empate após 1000 rodadas.");
    EXPECT_EQ(VA_HP_ADVERSARIO, 12);
}

TEST_F(CombatTest, FallInTheLastAllowedRoundIsAWinNotADraw)
{
    // Bruno hits only with a 20 against Ana's 1 (82 + 20 = 102 > 100 + 1); Ana never hits.
    VA_ATAQUE_ATUAL = 0;
    VA_DEFESA_ATUAL = 100;
    VA_ATAQUE_ADVERSARIO = 82;
    VA_DEFESA_ADVERSARIO = 100;
    VA_HP_ATUAL = 4;
    std::vector<int32_t> roteiro;
    for (int i = 1; i < kMaxRodadasCombate; ++i)
        roteiro = roteiro + Rodada(9, 14, 19, 1);
    roteiro = roteiro + Rodada(9, 14, 20, 1, 2);
    const Linhas l = Lutar(roteiro);
    EXPECT_EQ(Contar(l, u"Ana defendeu com sucesso!"), static_cast<size_t>(kMaxRodadasCombate - 1));
    EXPECT_EQ(l[l.size() - 4], u"HP de Ana: 0");
    EXPECT_EQ(l.back(), u"Fim do Combate! Bruno venceu!");
}

TEST_F(CombatTest, AttributesAtThe32BitLimitsNeitherWrapNorOverflow)
{
    VA_ATAQUE_ATUAL = std::numeric_limits<int32_t>::max();
    VA_DEFESA_ADVERSARIO = std::numeric_limits<int32_t>::min();
    VA_HP_ADVERSARIO = std::numeric_limits<int32_t>::min();
    const Linhas l = Lutar(Rodada(14, 9, 20, 1, 2));
    EXPECT_EQ(l[8], u"Poder de ataque de Ana: Ataque 2147483647 +  Rolagem de Dado: 20 = 2147483667");
    EXPECT_EQ(l[9], u"Poder de defesa de Bruno: Defesa -2147483648 +  Rolagem de Dado: 1 = -2147483647");
    EXPECT_EQ(VA_HP_ADVERSARIO, std::numeric_limits<int32_t>::min());
    EXPECT_EQ(l.back(), u"Fim do Combate! Ana venceu!");
}

TEST(DadosTest, ProcessDiceStayInRangeReachEveryFaceAndRepeatWithTheSeed)
{
    SemearDadosDoProcesso(42);
    std::array<int, 21> vistos{};
    std::vector<int32_t> primeira;
    for (int i = 0; i < 20000; ++i) {
        const int32_t d = DadosDoProcesso().Rolar(20);
        ASSERT_GE(d, 1);
        ASSERT_LE(d, 20);
        ++vistos[static_cast<size_t>(d)];
        if (i < 100)
            primeira.push_back(d);
    }
    for (int f = 1; f <= 20; ++f)
        EXPECT_GT(vistos[static_cast<size_t>(f)], 700) << "face " << f; // 1000 expected
    for (int i = 0; i < 1000; ++i) {
        const int32_t d = DadosDoProcesso().Rolar(2);
        ASSERT_TRUE(d == 1 || d == 2);
    }
    EXPECT_EQ(DadosDoProcesso().Rolar(1), 1);

    SemearDadosDoProcesso(42);
    std::vector<int32_t> segunda;
    for (int i = 0; i < 100; ++i)
        segunda.push_back(DadosDoProcesso().Rolar(20));
    EXPECT_EQ(primeira, segunda);
    EXPECT_THROW(DadosDoProcesso().Rolar(0), Exception);
}

TEST(DadosTest, ScriptedDiceRefuseRollsTheScriptDoesNotHold)
{
    TDadosRoteiro dados{20, 3};
    EXPECT_EQ(dados.Rolar(20), 20);
    EXPECT_THROW(dados.Rolar(2), Exception); // 3 is no face of a two-sided die
    EXPECT_EQ(dados.Rolar(6), 3);
    EXPECT_THROW(dados.Rolar(20), Exception); // script used up
    EXPECT_EQ(dados.Faces(), (std::vector<int32_t>{20, 6}));
}

} // namespace
} // namespace rivalon
