#include "platform/Identity.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>

namespace rivalon {
namespace {

TInterfaceInfo Interface(std::string nome, bool ativa, bool loopback, std::vector<uint8_t> hw,
                         std::vector<std::array<uint8_t, 4>> ipv4 = {})
{
    TInterfaceInfo i;
    i.Nome = std::move(nome);
    i.Ativa = ativa;
    i.Loopback = loopback;
    i.Hardware = std::move(hw);
    i.EnderecosIPv4 = std::move(ipv4);
    return i;
}

TEST(IdentityTest, HardwareAddressIsTheFirstUpNonLoopbackNonZeroSixByteOne)
{
    const std::vector<uint8_t> zero(6, 0);
    const std::vector<uint8_t> bom{0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E};
    const std::vector<TInterfaceInfo> lista{
        Interface("lo", true, true, {0, 0, 0, 0, 0, 1}),
        Interface("eth0", false, false, {1, 2, 3, 4, 5, 6}),          // down
        Interface("dummy0", true, false, zero),                       // all zero
        Interface("ib0", true, false, std::vector<uint8_t>(20, 7)),   // not six bytes
        Interface("tun0", true, false, {}),                           // no link-layer address
        Interface("eth1", true, false, bom),
        Interface("eth2", true, false, {9, 9, 9, 9, 9, 9}),
    };
    const auto mac = PrimeiroEnderecoHardware(lista);
    ASSERT_TRUE(mac);
    EXPECT_EQ(std::vector<uint8_t>(mac->begin(), mac->end()), bom);

    EXPECT_FALSE(PrimeiroEnderecoHardware({}));
    EXPECT_FALSE(PrimeiroEnderecoHardware({lista[0], lista[1], lista[2], lista[3], lista[4]}));
}

TEST(IdentityTest, LocalAddressIsTheFirstIPv4OfTheFirstUpNonLoopbackInterface)
{
    const std::array<uint8_t, 4> a{192, 168, 1, 20};
    const std::array<uint8_t, 4> b{10, 0, 0, 5};
    const std::vector<TInterfaceInfo> lista{
        Interface("lo", true, true, {}, {{127, 0, 0, 1}}),
        Interface("eth0", false, false, {}, {{172, 16, 0, 1}}),
        Interface("eth1", true, false, {1, 2, 3, 4, 5, 6}),
        Interface("eth2", true, false, {}, {a, b}),
    };
    EXPECT_EQ(PrimeiroIPv4Interface(lista), a);
    EXPECT_FALSE(PrimeiroIPv4Interface({lista[0], lista[1], lista[2]}));
}

TEST(IdentityTest, LocalAddressFallsBackToTheHostNameThenToTheLoopback)
{
    const std::array<uint8_t, 4> daInterface{192, 168, 1, 20};
    const std::array<uint8_t, 4> doNome{10, 1, 2, 3};
    const std::array<uint8_t, 4> loopback{127, 0, 0, 1};
    const std::vector<TInterfaceInfo> comEndereco{Interface("eth0", true, false, {}, {daInterface})};
    const std::vector<TInterfaceInfo> semEndereco{Interface("lo", true, true, {}, {loopback}),
                                                  Interface("eth0", true, false, {1, 2, 3, 4, 5, 6})};
    std::vector<std::string> consultas;
    auto resolve = [&](const std::string& nome) -> std::optional<std::array<uint8_t, 4>> {
        consultas.push_back(nome);
        return doNome;
    };
    auto falha = [&](const std::string& nome) -> std::optional<std::array<uint8_t, 4>> {
        consultas.push_back(nome);
        return std::nullopt;
    };

    EXPECT_EQ(EscolherIPv4Local(comEndereco, "arena", resolve), daInterface);
    EXPECT_TRUE(consultas.empty());
    EXPECT_EQ(EscolherIPv4Local(semEndereco, "arena", resolve), doNome);
    EXPECT_EQ(consultas, std::vector<std::string>{"arena"});
    EXPECT_EQ(EscolherIPv4Local(semEndereco, "arena", falha), loopback);
    consultas.clear();
    EXPECT_EQ(EscolherIPv4Local({}, std::nullopt, resolve), loopback);
    EXPECT_TRUE(consultas.empty());
}

TEST(IdentityTest, InterfacesOfThisMachineHoldTheLoopback)
{
    const auto lista = ListarInterfaces();
    const auto lo = std::find_if(lista.begin(), lista.end(), [](const TInterfaceInfo& i) { return i.Nome == "lo"; });
    ASSERT_NE(lo, lista.end());
    EXPECT_TRUE(lo->Loopback);
    EXPECT_TRUE(lo->Ativa);
    const std::array<uint8_t, 4> local{127, 0, 0, 1};
    EXPECT_NE(std::find(lo->EnderecosIPv4.begin(), lo->EnderecosIPv4.end(), local), lo->EnderecosIPv4.end());
    // One entry per name.
    for (size_t i = 0; i < lista.size(); ++i)
        for (size_t j = i + 1; j < lista.size(); ++j)
            EXPECT_NE(lista[i].Nome, lista[j].Nome);
}

TEST(IdentityTest, HostNameIsTheKernels)
{
    std::ifstream arquivo("/proc/sys/kernel/hostname");
    std::string esperado;
    if (!std::getline(arquivo, esperado))
        GTEST_SKIP() << "no /proc/sys/kernel/hostname";
    EXPECT_EQ(NomeDoHost(), esperado);
}

TEST(IdentityTest, NameResolution)
{
    const auto local = IPv4DoNome("localhost");
    ASSERT_TRUE(local);
    EXPECT_EQ((*local)[0], 127);
    EXPECT_EQ(IPv4DoNome("127.0.0.9"), (std::array<uint8_t, 4>{127, 0, 0, 9}));
    EXPECT_FALSE(IPv4DoNome(""));
}

TEST(IdentityTest, EffectiveUserMatchesThePasswordFile)
{
    const auto nome = NomeDoUsuarioEfetivo();
    ASSERT_TRUE(nome);
    EXPECT_FALSE(nome->empty());
    // Cross-check with /etc/passwd when the user is listed there.
    std::ifstream arquivo("/etc/passwd");
    std::string linha;
    const std::string uid = std::to_string(geteuid());
    while (std::getline(arquivo, linha)) {
        std::istringstream campos(linha);
        std::string login, senha, id;
        if (std::getline(campos, login, ':') && std::getline(campos, senha, ':') && std::getline(campos, id, ':') &&
            id == uid) {
            EXPECT_EQ(*nome, login);
            return;
        }
    }
}

} // namespace
} // namespace rivalon
