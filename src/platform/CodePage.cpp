#include "platform/CodePage.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <iconv.h>
#include <langinfo.h>
#include <locale.h>
#include <mutex>

namespace rivalon {

namespace {

constexpr char32_t kReplacement = 0xFFFD;

void AppendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (c >> 12)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (c >> 18)));
        out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

void AppendUtf16(std::u16string& out, char32_t c) {
    if (c < 0x10000) {
        out.push_back(static_cast<char16_t>(c));
    } else {
        c -= 0x10000;
        out.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
        out.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
    }
}

struct AnsiInfo {
    std::string codeset;
    int codePage = 65001;
    bool utf8 = true;
};

std::string Upper(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return s;
}

int CodePageOf(const std::string& codeset) {
    struct Entry {
        const char* name;
        int cp;
    };
    static const Entry table[] = {
        {"UTF-8", 65001},      {"UTF8", 65001},        {"ISO-8859-1", 28591},
        {"ISO-8859-2", 28592}, {"ISO-8859-5", 28595},  {"ISO-8859-7", 28597},
        {"ISO-8859-8", 28598}, {"ISO-8859-9", 28599},  {"ISO-8859-13", 28603},
        {"ISO-8859-15", 28605}, {"CP1250", 1250},      {"CP1251", 1251},
        {"CP1252", 1252},      {"CP1253", 1253},       {"CP1254", 1254},
        {"CP1255", 1255},      {"CP1256", 1256},       {"CP1257", 1257},
        {"CP1258", 1258},      {"KOI8-R", 20866},      {"KOI8-U", 21866},
        {"EUC-JP", 20932},     {"EUC-KR", 51949},      {"GB2312", 936},
        {"GBK", 936},          {"GB18030", 54936},     {"BIG5", 950},
        {"BIG5-HKSCS", 950},   {"SHIFT_JIS", 932},     {"TIS-620", 874},
        {"CP850", 850},        {"CP437", 437},         {"CP866", 866},
    };
    for (const auto& e : table)
        if (codeset == e.name) return e.cp;
    return 0;
}

const AnsiInfo& Ansi() {
    static const AnsiInfo info = [] {
        AnsiInfo i;
        locale_t loc = newlocale(LC_CTYPE_MASK, "", static_cast<locale_t>(nullptr));
        std::string cs;
        if (loc != static_cast<locale_t>(nullptr)) {
            const char* name = nl_langinfo_l(CODESET, loc);
            cs = name ? Upper(name) : std::string();
            freelocale(loc);
        }
        // A C/POSIX locale names plain ASCII; treat it as UTF-8, as current desktops do.
        if (cs.empty() || cs == "ANSI_X3.4-1968" || cs == "ASCII" || cs == "US-ASCII") cs = "UTF-8";
        i.codeset = cs;
        i.codePage = CodePageOf(cs);
        i.utf8 = (cs == "UTF-8" || cs == "UTF8");
        if (i.utf8) i.codePage = 65001;
        return i;
    }();
    return info;
}

// One conversion through iconv; characters it cannot convert become `bad` (as bytes of the target).
std::string IconvAll(const char* to, const char* from, std::string_view in, std::string_view bad,
                     size_t unit) {
    iconv_t cd = iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1)) return std::string();
    std::string out;
    out.resize(in.size() * 4 + 16);
    char* src = const_cast<char*>(in.data());
    size_t srcLeft = in.size();
    size_t used = 0;
    while (srcLeft > 0) {
        char* dst = out.data() + used;
        size_t dstLeft = out.size() - used;
        size_t r = iconv(cd, &src, &srcLeft, &dst, &dstLeft);
        used = out.size() - dstLeft;
        if (r != static_cast<size_t>(-1)) break;
        if (errno == E2BIG) {
            out.resize(out.size() * 2);
        } else {
            // EILSEQ or EINVAL: replace one input unit and go on.
            if (out.size() - used < bad.size()) out.resize(out.size() * 2 + bad.size());
            out.replace(used, bad.size(), bad);
            used += bad.size();
            size_t skip = std::min(unit, srcLeft);
            src += skip;
            srcLeft -= skip;
        }
    }
    out.resize(used);
    iconv_close(cd);
    return out;
}

} // namespace

std::string Utf16ToUtf8(std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        char32_t c = text[i];
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
            continue;
        }
        if (c >= 0xD800 && c <= 0xDBFF) {
            if (i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
                c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
                ++i;
            } else {
                c = kReplacement;
            }
        } else if (c >= 0xDC00 && c <= 0xDFFF) {
            c = kReplacement;
        }
        AppendUtf8(out, c);
    }
    return out;
}

std::u16string Utf8ToUtf16(std::string_view bytes) {
    std::u16string out;
    out.reserve(bytes.size());
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const size_t n = bytes.size();
    size_t i = 0;
    while (i < n) {
        unsigned char b = p[i];
        if (b < 0x80) {
            out.push_back(b);
            ++i;
            continue;
        }
        int len = 0;
        char32_t c = 0;
        char32_t min = 0;
        if (b >= 0xC2 && b <= 0xDF) {
            len = 2;
            c = b & 0x1F;
            min = 0x80;
        } else if (b >= 0xE0 && b <= 0xEF) {
            len = 3;
            c = b & 0x0F;
            min = 0x800;
        } else if (b >= 0xF0 && b <= 0xF4) {
            len = 4;
            c = b & 0x07;
            min = 0x10000;
        }
        if (len == 0) {
            out.push_back(static_cast<char16_t>(kReplacement));
            ++i;
            continue;
        }
        // The second byte's valid range excludes overlongs, surrogates and values past U+10FFFF.
        unsigned char lo = 0x80, hi = 0xBF;
        if (b == 0xE0) lo = 0xA0;
        else if (b == 0xED) hi = 0x9F;
        else if (b == 0xF0) lo = 0x90;
        else if (b == 0xF4) hi = 0x8F;
        int k = 1;
        if (i + 1 < n && p[i + 1] >= lo && p[i + 1] <= hi) {
            c = (c << 6) | (p[i + 1] & 0x3F);
            k = 2;
            for (; k < len && i + k < n && (p[i + k] & 0xC0) == 0x80; ++k)
                c = (c << 6) | (p[i + k] & 0x3F);
        }
        if (k < len || c < min) {
            // Maximal subpart: consume the bytes that were a valid prefix, emit one replacement.
            out.push_back(static_cast<char16_t>(kReplacement));
            i += std::max(1, k);
            continue;
        }
        AppendUtf16(out, c);
        i += len;
    }
    return out;
}

int GetACP() { return Ansi().codePage; }
const std::string& AnsiCodesetName() { return Ansi().codeset; }
bool AnsiIsUtf8() { return Ansi().utf8; }

std::string Utf16ToAnsi(std::u16string_view text) {
    if (AnsiIsUtf8()) return Utf16ToUtf8(text);
    std::string_view in(reinterpret_cast<const char*>(text.data()), text.size() * 2);
    return IconvAll(AnsiCodesetName().c_str(), "UTF-16LE", in, "?", 2);
}

std::u16string AnsiToUtf16(std::string_view bytes) {
    if (AnsiIsUtf8()) return Utf8ToUtf16(bytes);
    static const char16_t rep = static_cast<char16_t>(kReplacement);
    std::string raw = IconvAll("UTF-16LE", AnsiCodesetName().c_str(), bytes,
                               std::string_view(reinterpret_cast<const char*>(&rep), 2), 1);
    std::u16string out(raw.size() / 2, u'\0');
    for (size_t i = 0; i < out.size(); ++i)
        out[i] = static_cast<char16_t>(static_cast<unsigned char>(raw[2 * i]) |
                                       (static_cast<unsigned char>(raw[2 * i + 1]) << 8));
    return out;
}

std::string AnsiToUtf8(std::string_view bytes) {
    if (AnsiIsUtf8()) return std::string(bytes);
    return Utf16ToUtf8(AnsiToUtf16(bytes));
}

std::string Utf8ToAnsi(std::string_view bytes) {
    if (AnsiIsUtf8()) return std::string(bytes);
    return Utf16ToAnsi(Utf8ToUtf16(bytes));
}

} // namespace rivalon
