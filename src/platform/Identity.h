#pragma once
// Where the machine's identity comes from on Linux: network interfaces, host name and the
// effective user. Raw values only; the game formats them for its probes.
#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace rivalon {

// One entry per interface name, in the order the system lists them.
struct TInterfaceInfo {
    std::string Nome;
    bool Ativa = false;    // IFF_UP
    bool Loopback = false; // IFF_LOOPBACK
    std::vector<uint8_t> Hardware;                  // link-layer address (AF_PACKET); may be empty
    std::vector<std::array<uint8_t, 4>> EnderecosIPv4; // network byte order, in listed order
};

// The interfaces of this machine (getifaddrs); empty when they cannot be read.
std::vector<TInterfaceInfo> ListarInterfaces();

// The six-byte hardware address of the first interface that is up, not loopback and whose
// address is six bytes and not all zero.
std::optional<std::array<uint8_t, 6>> PrimeiroEnderecoHardware(const std::vector<TInterfaceInfo>& interfaces);
// The first IPv4 address of the first interface that is up, not loopback and has one.
std::optional<std::array<uint8_t, 4>> PrimeiroIPv4Interface(const std::vector<TInterfaceInfo>& interfaces);

// The host name (gethostname), as the system's bytes; nothing on failure.
std::optional<std::string> NomeDoHost();
// The first IPv4 address that the given host name resolves to; nothing when it does not.
std::optional<std::array<uint8_t, 4>> IPv4DoNome(const std::string& nome);
// The local IPv4 address: the first of an up, non-loopback interface, else the first that the
// host name resolves to, else 127.0.0.1; the sources are parameters so the order can be checked.
using TResolverIPv4 = std::function<std::optional<std::array<uint8_t, 4>>(const std::string&)>;
std::array<uint8_t, 4> EscolherIPv4Local(const std::vector<TInterfaceInfo>& interfaces,
                                         const std::optional<std::string>& nomeDoHost, const TResolverIPv4& resolver);

// The login name of the effective user (getpwuid_r), as the system's bytes; nothing on failure.
std::optional<std::string> NomeDoUsuarioEfetivo();

} // namespace rivalon
