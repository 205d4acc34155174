#include "dac/mysql/MyCall.h"

namespace rivalon {

EAssertionFailed::EAssertionFailed(std::u16string_view unit, std::u16string_view what)
    : Exception(u"Assertion failure (" + std::u16string(unit) + u"): " + std::u16string(what)) {}

void TMySQLAPI::SetTimeout(PMYSQL_CON mysql, std::uint32_t seconds) {
    if (seconds == 0) seconds = CLIENT_NET_READ_TIMEOUT;
    // Older client structures have no read and write time-outs.
    if (FClientStructVer == cvDirect || FClientStructVer == cv410 || FClientStructVer == cv411) {
        const int value = static_cast<int>(seconds > 0x7FFFFFFFu ? 0x7FFFFFFFu : seconds);
        mysql_options(mysql, MYSQL_OPT_READ_TIMEOUT, value);
        mysql_options(mysql, MYSQL_OPT_WRITE_TIMEOUT, value);
    }
}

} // namespace rivalon
