#include "platform/Identity.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netpacket/packet.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace rivalon {

namespace {

// Owner of a getifaddrs list.
struct TListaIfaddrs {
    ifaddrs* Lista = nullptr;
    ~TListaIfaddrs()
    {
        if (Lista)
            freeifaddrs(Lista);
    }
};

// Owner of a getaddrinfo list.
struct TListaAddrinfo {
    addrinfo* Lista = nullptr;
    ~TListaAddrinfo()
    {
        if (Lista)
            freeaddrinfo(Lista);
    }
};

bool Usavel(const TInterfaceInfo& i)
{
    return i.Ativa && !i.Loopback;
}

} // namespace

std::vector<TInterfaceInfo> ListarInterfaces()
{
    std::vector<TInterfaceInfo> resultado;
    TListaIfaddrs lista;
    if (getifaddrs(&lista.Lista) != 0)
        return resultado;

    // getifaddrs gives one entry per (interface, address); fold them per name, keeping the order
    // in which each name first appears.
    for (const ifaddrs* e = lista.Lista; e; e = e->ifa_next) {
        if (!e->ifa_name)
            continue;
        auto it = std::find_if(resultado.begin(), resultado.end(),
                               [&](const TInterfaceInfo& i) { return i.Nome == e->ifa_name; });
        if (it == resultado.end()) {
            resultado.push_back(TInterfaceInfo{});
            it = std::prev(resultado.end());
            it->Nome = e->ifa_name;
        }
        it->Ativa = it->Ativa || (e->ifa_flags & IFF_UP) != 0;
        it->Loopback = it->Loopback || (e->ifa_flags & IFF_LOOPBACK) != 0;
        if (!e->ifa_addr)
            continue;
        if (e->ifa_addr->sa_family == AF_PACKET) {
            sockaddr_ll ll;
            std::memcpy(&ll, e->ifa_addr, sizeof ll);
            const size_t n = std::min<size_t>(ll.sll_halen, sizeof ll.sll_addr);
            if (it->Hardware.empty())
                it->Hardware.assign(ll.sll_addr, ll.sll_addr + n);
        } else if (e->ifa_addr->sa_family == AF_INET) {
            sockaddr_in in;
            std::memcpy(&in, e->ifa_addr, sizeof in);
            std::array<uint8_t, 4> a;
            std::memcpy(a.data(), &in.sin_addr.s_addr, 4);
            it->EnderecosIPv4.push_back(a);
        }
    }
    return resultado;
}

std::optional<std::array<uint8_t, 6>> PrimeiroEnderecoHardware(const std::vector<TInterfaceInfo>& interfaces)
{
    for (const TInterfaceInfo& i : interfaces) {
        if (!Usavel(i) || i.Hardware.size() != 6)
            continue;
        if (std::all_of(i.Hardware.begin(), i.Hardware.end(), [](uint8_t b) { return b == 0; }))
            continue;
        std::array<uint8_t, 6> a;
        std::copy(i.Hardware.begin(), i.Hardware.end(), a.begin());
        return a;
    }
    return std::nullopt;
}

std::optional<std::array<uint8_t, 4>> PrimeiroIPv4Interface(const std::vector<TInterfaceInfo>& interfaces)
{
    for (const TInterfaceInfo& i : interfaces)
        if (Usavel(i) && !i.EnderecosIPv4.empty())
            return i.EnderecosIPv4.front();
    return std::nullopt;
}

std::optional<std::string> NomeDoHost()
{
    // HOST_NAME_MAX is 64 on Linux; the larger buffer and the explicit terminator cover a
    // truncated name, which gethostname need not terminate.
    char buffer[256];
    if (gethostname(buffer, sizeof buffer - 1) != 0)
        return std::nullopt;
    buffer[sizeof buffer - 1] = '\0';
    return std::string(buffer, strnlen(buffer, sizeof buffer));
}

std::optional<std::array<uint8_t, 4>> IPv4DoNome(const std::string& nome)
{
    if (nome.empty())
        return std::nullopt;
    addrinfo dica{};
    dica.ai_family = AF_INET;
    dica.ai_socktype = SOCK_STREAM;
    TListaAddrinfo lista;
    if (getaddrinfo(nome.c_str(), nullptr, &dica, &lista.Lista) != 0)
        return std::nullopt;
    for (const addrinfo* a = lista.Lista; a; a = a->ai_next) {
        if (a->ai_family != AF_INET || !a->ai_addr || a->ai_addrlen < sizeof(sockaddr_in))
            continue;
        sockaddr_in in;
        std::memcpy(&in, a->ai_addr, sizeof in);
        std::array<uint8_t, 4> r;
        std::memcpy(r.data(), &in.sin_addr.s_addr, 4);
        return r;
    }
    return std::nullopt;
}

std::array<uint8_t, 4> EscolherIPv4Local(const std::vector<TInterfaceInfo>& interfaces,
                                         const std::optional<std::string>& nomeDoHost, const TResolverIPv4& resolver)
{
    if (const auto ip = PrimeiroIPv4Interface(interfaces))
        return *ip;
    if (nomeDoHost && resolver)
        if (const auto ip = resolver(*nomeDoHost))
            return *ip;
    return {127, 0, 0, 1};
}

std::optional<std::string> NomeDoUsuarioEfetivo()
{
    const uid_t uid = geteuid();
    long sugerido = sysconf(_SC_GETPW_R_SIZE_MAX);
    size_t tamanho = sugerido > 0 ? static_cast<size_t>(sugerido) : 1024;
    // The entry may not fit the suggested size (long GECOS fields); grow up to a sane bound.
    while (tamanho <= (1u << 20)) {
        std::vector<char> buffer(tamanho);
        passwd entrada{};
        passwd* achado = nullptr;
        const int erro = getpwuid_r(uid, &entrada, buffer.data(), buffer.size(), &achado);
        if (erro == ERANGE) {
            tamanho *= 2;
            continue;
        }
        if (erro != 0 || !achado || !achado->pw_name || !*achado->pw_name)
            return std::nullopt;
        return std::string(achado->pw_name);
    }
    return std::nullopt;
}

} // namespace rivalon
