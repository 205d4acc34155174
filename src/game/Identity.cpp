#include "game/Identity.h"

#include "game/BuildConfig.h"
#include "platform/CodePage.h"
#include "platform/Identity.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QString>
#include <QTimer>
#include <QUrl>

#include <algorithm>
#include <cstdio>
#include <limits>
#include <memory>

namespace rivalon {

namespace {

// The address page holds one address; a body beyond this is no such page, and reading it
// without a bound would let a hostile server fill the memory within the time limit.
constexpr qint64 kMaxCorpoIPReal = 1 << 20;

std::u16string Ascii(const char* texto)
{
    return Utf8ToUtf16(texto);
}

std::u16string Pontuado(const std::array<uint8_t, 4>& a)
{
    char texto[16];
    std::snprintf(texto, sizeof texto, "%u.%u.%u.%u", unsigned{a[0]}, unsigned{a[1]}, unsigned{a[2]},
                  unsigned{a[3]});
    return Ascii(texto);
}

} // namespace

std::u16string FuncMacAddress()
{
    const auto mac = PrimeiroEnderecoHardware(ListarInterfaces());
    if (!mac)
        return {};
    char texto[18];
    std::snprintf(texto, sizeof texto, "%02X-%02X-%02X-%02X-%02X-%02X", unsigned{(*mac)[0]},
                  unsigned{(*mac)[1]}, unsigned{(*mac)[2]}, unsigned{(*mac)[3]}, unsigned{(*mac)[4]},
                  unsigned{(*mac)[5]});
    return Ascii(texto);
}

std::u16string FuncIPLocal()
{
    return Pontuado(EscolherIPv4Local(ListarInterfaces(), NomeDoHost(), IPv4DoNome));
}

std::u16string FuncVersaoExe()
{
    return Ascii(build::kVersion);
}

std::u16string FuncNomedoComputador()
{
    const auto nome = NomeDoHost();
    if (!nome)
        return {};
    std::u16string r = AnsiToUtf16(*nome);
    if (r.size() > 256)
        r.resize(256);
    return r;
}

std::u16string FuncNomedoUsuario()
{
    const auto nome = NomeDoUsuarioEfetivo();
    if (!nome)
        return u"Desconhecido";
    return AnsiToUtf16(*nome);
}

std::u16string FiltraIPReal(std::u16string_view corpo)
{
    // Only digits and dots are kept, so no blank or control character can remain around them.
    std::u16string r;
    for (char16_t c : corpo)
        if (c == u'.' || (c >= u'0' && c <= u'9'))
            r.push_back(c);
    return r;
}

std::u16string GetIPReal()
{
    return GetIPReal(build::kPublicIpUrl, kLimiteIPReal);
}

std::u16string GetIPReal(const std::string& url, std::chrono::milliseconds limite)
{
    const std::u16string erro(kErroIPReal);
    // Qt's network stack needs the application object for its event dispatch.
    if (!QCoreApplication::instance())
        return erro;
    const QUrl endereco(QString::fromUtf8(url.data(), static_cast<qsizetype>(url.size())));
    if (!endereco.isValid() || endereco.scheme() != QLatin1String("http"))
        return erro;

    QNetworkAccessManager cliente;
    QNetworkRequest pedido(endereco);
    const int ms = static_cast<int>(std::clamp<std::chrono::milliseconds::rep>(
        limite.count(), 1, std::numeric_limits<int>::max()));
    std::unique_ptr<QNetworkReply> resposta(cliente.get(pedido));

    bool grandeDemais = false;
    QEventLoop laco;
    // One deadline for the request as a whole: name look-up, connection and a body that trickles.
    QTimer prazo;
    prazo.setSingleShot(true);
    prazo.setTimerType(Qt::PreciseTimer); // a coarse timer may fire 5% early
    QObject::connect(resposta.get(), &QNetworkReply::finished, &laco, &QEventLoop::quit);
    QObject::connect(&prazo, &QTimer::timeout, &laco, &QEventLoop::quit);
    QObject::connect(resposta.get(), &QIODevice::readyRead, &laco, [&] {
        if (resposta->bytesAvailable() > kMaxCorpoIPReal) {
            grandeDemais = true;
            laco.quit();
        }
    });
    if (!resposta->isFinished()) {
        prazo.start(ms);
        // The window is not shown yet; user input waits until the probe is done.
        laco.exec(QEventLoop::ExcludeUserInputEvents);
    }
    if (!resposta->isFinished() || grandeDemais) {
        resposta->abort();
        return erro;
    }
    if (resposta->error() != QNetworkReply::NoError)
        return erro;
    const QVariant status = resposta->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (!status.isValid() || status.toInt() < 200 || status.toInt() > 299)
        return erro;
    const QByteArray corpo = resposta->readAll();
    if (corpo.size() > kMaxCorpoIPReal)
        return erro;
    return FiltraIPReal(QString::fromUtf8(corpo).toStdU16String());
}

} // namespace rivalon
