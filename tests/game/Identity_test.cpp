#include "game/Identity.h"

#include "game/BuildConfig.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <regex>
#include <set>
#include <string>
#include <thread>

namespace rivalon {
namespace {

std::string Utf8(const std::u16string& s)
{
    std::string r;
    for (char16_t c : s)
        r.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    return r;
}

// A one-purpose HTTP peer on 127.0.0.1: reads each request head and then answers, stays silent
// or trickles a body, as the test asks. Runs on its own thread so that the probe's event loop
// on the test thread is the only Qt in play.
class THttpLocal {
public:
    enum class TModo { Responder, Calar, Gotejar };

    explicit THttpLocal(TModo modo, std::string resposta = {}) : FModo(modo), FResposta(std::move(resposta))
    {
        FEscuta = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        EXPECT_GE(FEscuta, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(bind(FEscuta, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        EXPECT_EQ(listen(FEscuta, 8), 0);
        socklen_t n = sizeof a;
        getsockname(FEscuta, reinterpret_cast<sockaddr*>(&a), &n);
        FPorta = ntohs(a.sin_port);
        EXPECT_EQ(pipe2(FParar, O_CLOEXEC), 0);
        FThread = std::thread([this] { Servir(); });
    }

    ~THttpLocal()
    {
        const char c = 'x';
        EXPECT_EQ(write(FParar[1], &c, 1), 1);
        FThread.join();
        close(FEscuta);
        close(FParar[0]);
        close(FParar[1]);
    }

    std::string Url(const std::string& caminho = "/ip") const
    {
        return "http://127.0.0.1:" + std::to_string(FPorta) + caminho;
    }

    std::string Pedido()
    {
        std::lock_guard<std::mutex> t(FTrava);
        return FPedido;
    }

private:
    // Waits for fd to be readable; false when the test asks the peer to stop.
    bool Esperar(int fd, int ms = -1)
    {
        pollfd p[2] = {{fd, POLLIN, 0}, {FParar[0], POLLIN, 0}};
        const int r = poll(p, 2, ms);
        return !(p[1].revents & POLLIN) && r >= 0;
    }

    void Servir()
    {
        while (Esperar(FEscuta)) {
            const int c = accept4(FEscuta, nullptr, nullptr, SOCK_CLOEXEC);
            if (c < 0)
                continue;
            Atender(c);
            close(c);
        }
    }

    void Atender(int c)
    {
        std::string pedido;
        char buf[4096];
        while (pedido.find("\r\n\r\n") == std::string::npos) {
            if (!Esperar(c))
                return;
            const ssize_t n = recv(c, buf, sizeof buf, 0);
            if (n <= 0)
                return;
            pedido.append(buf, static_cast<size_t>(n));
        }
        {
            std::lock_guard<std::mutex> t(FTrava);
            FPedido = pedido;
        }
        switch (FModo) {
        case TModo::Responder:
            Enviar(c, FResposta);
            shutdown(c, SHUT_WR);
            // Let the client read to the end before the socket goes.
            while (Esperar(c, 2000) && recv(c, buf, sizeof buf, 0) > 0) {
            }
            return;
        case TModo::Calar:
            while (Esperar(c) && recv(c, buf, sizeof buf, 0) > 0) {
            }
            return;
        case TModo::Gotejar:
            Enviar(c, "HTTP/1.1 200 OK\r\nContent-Length: 100000\r\nContent-Type: text/plain\r\n\r\n");
            // One byte every 100 ms: the transfer never stalls, yet never ends in time.
            for (int i = 0; i < 100000; ++i) {
                pollfd p{FParar[0], POLLIN, 0};
                if (poll(&p, 1, 100) != 0)
                    return;
                if (!Enviar(c, "1"))
                    return;
            }
            return;
        }
    }

    static bool Enviar(int c, const std::string& dados)
    {
        size_t feito = 0;
        while (feito < dados.size()) {
            const ssize_t n = send(c, dados.data() + feito, dados.size() - feito, MSG_NOSIGNAL);
            if (n <= 0)
                return false;
            feito += static_cast<size_t>(n);
        }
        return true;
    }

    TModo FModo;
    std::string FResposta;
    int FEscuta = -1;
    int FParar[2] = {-1, -1};
    uint16_t FPorta = 0;
    std::mutex FTrava;
    std::string FPedido;
    std::thread FThread;
};

std::string Http(const std::string& status, const std::string& corpo, const std::string& extra = {})
{
    return "HTTP/1.1 " + status + "\r\nContent-Type: text/plain\r\nContent-Length: " + std::to_string(corpo.size()) +
           "\r\nConnection: close\r\n" + extra + "\r\n" + corpo;
}

constexpr std::chrono::milliseconds kLimiteTeste{3000};

TEST(IdentityProbeTest, FilterKeepsDigitsAndDotsInPlace)
{
    struct Caso {
        std::u16string corpo;
        std::u16string esperado;
    };
    const Caso casos[] = {
        {u"Your address is 203.0.113.7", u"203.0.113.7"},
        {u"  203.0.113.7\r\n", u"203.0.113.7"},
        {u"<html><body>Current IP Address: 198.51.100.23</body></html>\n", u"198.51.100.23"},
        {u"v2 says 1.2.3.4.", u"21.2.3.4."},
        {u"no address here", u""},
        {u"", u""},
        {u"\u0661\u0662\u0663 \uFF11 1", u"1"}, // digits of other scripts are not "0"-"9"
    };
    for (const Caso& c : casos)
        EXPECT_EQ(FiltraIPReal(c.corpo), c.esperado) << Utf8(c.corpo);
}

TEST(IdentityProbeTest, LocalProbesGiveTheirFormats)
{
    const std::u16string mac = FuncMacAddress();
    if (!mac.empty()) {
        EXPECT_TRUE(std::regex_match(Utf8(mac), std::regex("([0-9A-F]{2}-){5}[0-9A-F]{2}"))) << Utf8(mac);
        // The same address as one of the interfaces the kernel lists.
        std::set<std::string> conhecidos;
        for (const auto& e : std::filesystem::directory_iterator("/sys/class/net")) {
            std::ifstream f(e.path() / "address");
            std::string a;
            if (std::getline(f, a)) {
                for (char& ch : a)
                    ch = ch == ':' ? '-' : static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
                conhecidos.insert(a);
            }
        }
        EXPECT_TRUE(conhecidos.count(Utf8(mac))) << Utf8(mac);
    }

    const std::string ip = Utf8(FuncIPLocal());
    std::smatch m;
    ASSERT_TRUE(std::regex_match(ip, m, std::regex("(\\d{1,3})\\.(\\d{1,3})\\.(\\d{1,3})\\.(\\d{1,3})"))) << ip;
    for (size_t i = 1; i <= 4; ++i)
        EXPECT_LE(std::stoi(m[i].str()), 255) << ip;

    EXPECT_EQ(FuncVersaoExe(), u"1.0.0.3");

    std::ifstream h("/proc/sys/kernel/hostname");
    std::string host;
    if (std::getline(h, host)) {
        EXPECT_EQ(Utf8(FuncNomedoComputador()), host);
    }

    const std::u16string usuario = FuncNomedoUsuario();
    EXPECT_FALSE(usuario.empty());
    EXPECT_NE(usuario, u"Desconhecido");
}

TEST(IdentityProbeTest, PublicAddressFromTheAddressPage)
{
    struct Caso {
        const char* nome;
        std::string resposta;
        std::u16string esperado;
    };
    const std::u16string erro(kErroIPReal);
    const Caso casos[] = {
        {"address in text", Http("200 OK", "Your address is 203.0.113.7"), u"203.0.113.7"},
        {"no digits or dots", Http("200 OK", "no address here"), u""},
        {"empty body", Http("200 OK", ""), u""},
        {"body until close",
         "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nConnection: close\r\n\r\n198.51.100.4\n", u"198.51.100.4"},
        {"chunked", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nConnection: close\r\n\r\n4\r\n203.\r\n7\r\n0.113.7\r\n0\r\n\r\n",
         u"203.0.113.7"},
        {"server error", Http("500 Internal Server Error", "failed at 10.0.0.1"), erro},
        {"not found", Http("404 Not Found", "1.2.3.4"), erro},
        {"no content", "HTTP/1.1 204 No Content\r\nConnection: close\r\n\r\n", u""},
        {"not HTTP", "SSH-2.0-OpenSSH_9.2\r\n", erro},
        {"body of 2 MiB", Http("200 OK", std::string(2u << 20, '1')), erro},
    };
    for (const Caso& c : casos) {
        SCOPED_TRACE(c.nome);
        THttpLocal servidor(THttpLocal::TModo::Responder, c.resposta);
        EXPECT_EQ(GetIPReal(servidor.Url(), kLimiteTeste), c.esperado);
        // One plain GET of the page's path.
        EXPECT_EQ(servidor.Pedido().rfind("GET /ip HTTP/1.1\r\n", 0), 0u) << servidor.Pedido();
    }
}

TEST(IdentityProbeTest, PublicAddressFailsOnAClosedPortOrABadAddress)
{
    int s = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(s, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    socklen_t n = sizeof a;
    getsockname(s, reinterpret_cast<sockaddr*>(&a), &n);
    close(s); // nothing listens on the port now
    const std::string url = "http://127.0.0.1:" + std::to_string(ntohs(a.sin_port)) + "/";
    const std::u16string erro(kErroIPReal);
    EXPECT_EQ(GetIPReal(url, kLimiteTeste), erro);
    EXPECT_EQ(GetIPReal("not a url at all", kLimiteTeste), erro);
    EXPECT_EQ(GetIPReal("", kLimiteTeste), erro);
    EXPECT_EQ(GetIPReal("ftp://127.0.0.1/", kLimiteTeste), erro);
}

TEST(IdentityProbeTest, PublicAddressRequestIsAbandonedWithinItsBound)
{
    // A peer that never answers, and one that keeps the transfer alive without ever finishing:
    // both end at the limit, not at some inner time-out.
    for (auto modo : {THttpLocal::TModo::Calar, THttpLocal::TModo::Gotejar}) {
        SCOPED_TRACE(modo == THttpLocal::TModo::Calar ? "silent" : "trickling");
        THttpLocal servidor(modo);
        const auto inicio = std::chrono::steady_clock::now();
        EXPECT_EQ(GetIPReal(servidor.Url(), std::chrono::milliseconds(1000)), std::u16string(kErroIPReal));
        const auto decorrido = std::chrono::steady_clock::now() - inicio;
        EXPECT_GE(decorrido, std::chrono::milliseconds(900));
        EXPECT_LT(decorrido, std::chrono::seconds(10));
    }
    EXPECT_LE(kLimiteIPReal, std::chrono::seconds(5));
}

} // namespace
} // namespace rivalon
