#include "strictjson.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QString>

#include <clocale>
#include <cstdlib>
#include <locale.h>

namespace {

// Numbers are read in the C locale whatever the process's locale says about decimal points.
locale_t cLocale()
{
    static const locale_t locale = ::newlocale(LC_ALL_MASK, "C", locale_t(nullptr));
    return locale;
}

class Parser
{
public:
    explicit Parser(const QByteArray &text)
        : m_p(text.constData())
        , m_end(text.constData() + text.size())
    {
    }

    std::optional<QJsonValue> document()
    {
        skipSpace();
        std::optional<QJsonValue> value = parseValue(0);
        skipSpace();
        if (!value || m_p != m_end)
            return std::nullopt;
        return value;
    }

private:
    void skipSpace()
    {
        while (m_p < m_end && (*m_p == ' ' || *m_p == '\t' || *m_p == '\n' || *m_p == '\r'))
            ++m_p;
    }

    bool literal(const char *word)
    {
        for (const char *w = word; *w; ++w, ++m_p) {
            if (m_p == m_end || *m_p != *w)
                return false;
        }
        return true;
    }

    std::optional<QJsonValue> parseValue(int depth)
    {
        if (m_p == m_end)
            return std::nullopt;
        switch (*m_p) {
        case '{':
            return parseObject(depth + 1);
        case '[':
            return parseArray(depth + 1);
        case '"':
            if (std::optional<QString> text = parseString())
                return QJsonValue(*text);
            return std::nullopt;
        case 't':
            return literal("true") ? std::optional(QJsonValue(true)) : std::nullopt;
        case 'f':
            return literal("false") ? std::optional(QJsonValue(false)) : std::nullopt;
        case 'n':
            return literal("null") ? std::optional(QJsonValue(QJsonValue::Null)) : std::nullopt;
        default:
            return parseNumber();
        }
    }

    std::optional<QJsonValue> parseObject(int depth)
    {
        if (depth > StrictJson::maxDepth)
            return std::nullopt;
        ++m_p; // '{'
        QJsonObject object;
        skipSpace();
        if (m_p < m_end && *m_p == '}') {
            ++m_p;
            return object;
        }
        for (;;) {
            skipSpace();
            if (m_p == m_end || *m_p != '"')
                return std::nullopt;
            std::optional<QString> name = parseString();
            if (!name)
                return std::nullopt;
            skipSpace();
            if (m_p == m_end || *m_p != ':')
                return std::nullopt;
            ++m_p;
            skipSpace();
            std::optional<QJsonValue> value = parseValue(depth);
            if (!value)
                return std::nullopt;
            object.insert(*name, *value);
            skipSpace();
            if (m_p == m_end)
                return std::nullopt;
            if (*m_p == '}') {
                ++m_p;
                return object;
            }
            if (*m_p != ',')
                return std::nullopt;
            ++m_p;
        }
    }

    std::optional<QJsonValue> parseArray(int depth)
    {
        if (depth > StrictJson::maxDepth)
            return std::nullopt;
        ++m_p; // '['
        QJsonArray array;
        skipSpace();
        if (m_p < m_end && *m_p == ']') {
            ++m_p;
            return array;
        }
        for (;;) {
            skipSpace();
            std::optional<QJsonValue> value = parseValue(depth);
            if (!value)
                return std::nullopt;
            array.append(*value);
            skipSpace();
            if (m_p == m_end)
                return std::nullopt;
            if (*m_p == ']') {
                ++m_p;
                return array;
            }
            if (*m_p != ',')
                return std::nullopt;
            ++m_p;
        }
    }

    static bool isDigit(char c) { return c >= '0' && c <= '9'; }

    std::optional<QJsonValue> parseNumber()
    {
        const char *start = m_p;
        if (m_p < m_end && *m_p == '-')
            ++m_p;
        if (m_p == m_end || !isDigit(*m_p))
            return std::nullopt;
        if (*m_p == '0') {
            ++m_p;
        } else {
            while (m_p < m_end && isDigit(*m_p))
                ++m_p;
        }
        if (m_p < m_end && *m_p == '.') {
            ++m_p;
            if (m_p == m_end || !isDigit(*m_p))
                return std::nullopt;
            while (m_p < m_end && isDigit(*m_p))
                ++m_p;
        }
        if (m_p < m_end && (*m_p == 'e' || *m_p == 'E')) {
            ++m_p;
            if (m_p < m_end && (*m_p == '+' || *m_p == '-'))
                ++m_p;
            if (m_p == m_end || !isDigit(*m_p))
                return std::nullopt;
            while (m_p < m_end && isDigit(*m_p))
                ++m_p;
        }
        // The grammar is checked; strtod only converts (overflow gives an infinity, underflow a
        // value at or near zero, both without failing).
        const QByteArray digits(start, m_p - start);
        return QJsonValue(::strtod_l(digits.constData(), nullptr, cLocale()));
    }

    static void appendCodePoint(QString &out, char32_t c)
    {
        if (c < 0x10000) {
            out.append(QChar(char16_t(c)));
        } else {
            out.append(QChar(QChar::highSurrogate(c)));
            out.append(QChar(QChar::lowSurrogate(c)));
        }
    }

    int hexDigit()
    {
        if (m_p == m_end)
            return -1;
        const char c = *m_p++;
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'a' && c <= 'f')
            return c - 'a' + 10;
        if (c >= 'A' && c <= 'F')
            return c - 'A' + 10;
        return -1;
    }

    // The four hex digits after "\u"; -1 when they are not there.
    int hexQuad()
    {
        int value = 0;
        for (int i = 0; i < 4; ++i) {
            const int digit = hexDigit();
            if (digit < 0)
                return -1;
            value = value * 16 + digit;
        }
        return value;
    }

    // One UTF-8 sequence, strictly: shortest form, no surrogates, nothing above U+10FFFF.
    std::optional<char32_t> utf8Sequence()
    {
        const auto lead = static_cast<unsigned char>(*m_p++);
        int length = 0;
        char32_t c = 0;
        char32_t minimum = 0;
        if (lead >= 0xc2 && lead <= 0xdf) {
            length = 1;
            c = lead & 0x1f;
            minimum = 0x80;
        } else if (lead >= 0xe0 && lead <= 0xef) {
            length = 2;
            c = lead & 0x0f;
            minimum = 0x800;
        } else if (lead >= 0xf0 && lead <= 0xf4) {
            length = 3;
            c = lead & 0x07;
            minimum = 0x10000;
        } else {
            return std::nullopt;
        }
        for (int i = 0; i < length; ++i) {
            if (m_p == m_end)
                return std::nullopt;
            const auto next = static_cast<unsigned char>(*m_p++);
            if ((next & 0xc0) != 0x80)
                return std::nullopt;
            c = (c << 6) | (next & 0x3f);
        }
        if (c < minimum || c > 0x10ffff || (c >= 0xd800 && c <= 0xdfff))
            return std::nullopt;
        return c;
    }

    std::optional<QString> parseString()
    {
        ++m_p; // '"'
        QString out;
        for (;;) {
            if (m_p == m_end)
                return std::nullopt;
            const auto c = static_cast<unsigned char>(*m_p);
            if (c == '"') {
                ++m_p;
                return out;
            }
            if (c < 0x20)
                return std::nullopt;
            if (c == '\\') {
                ++m_p;
                if (!parseEscape(out))
                    return std::nullopt;
                continue;
            }
            if (c < 0x80) {
                out.append(QLatin1Char(char(c)));
                ++m_p;
                continue;
            }
            const std::optional<char32_t> decoded = utf8Sequence();
            if (!decoded)
                return std::nullopt;
            appendCodePoint(out, *decoded);
        }
    }

    // After a backslash: one of the eight short escapes or \uXXXX, a surrogate only as a pair.
    bool parseEscape(QString &out)
    {
        if (m_p == m_end)
            return false;
        const char c = *m_p++;
        switch (c) {
        case '"':
        case '\\':
        case '/':
            out.append(QLatin1Char(c));
            return true;
        case 'b':
            out.append(QLatin1Char('\b'));
            return true;
        case 'f':
            out.append(QLatin1Char('\f'));
            return true;
        case 'n':
            out.append(QLatin1Char('\n'));
            return true;
        case 'r':
            out.append(QLatin1Char('\r'));
            return true;
        case 't':
            out.append(QLatin1Char('\t'));
            return true;
        case 'u':
            break;
        default:
            return false;
        }
        const int unit = hexQuad();
        if (unit < 0 || QChar::isLowSurrogate(char32_t(unit)))
            return false;
        if (!QChar::isHighSurrogate(char32_t(unit))) {
            out.append(QChar(char16_t(unit)));
            return true;
        }
        if (m_end - m_p < 2 || m_p[0] != '\\' || m_p[1] != 'u')
            return false;
        m_p += 2;
        const int low = hexQuad();
        if (low < 0 || !QChar::isLowSurrogate(char32_t(low)))
            return false;
        out.append(QChar(char16_t(unit)));
        out.append(QChar(char16_t(low)));
        return true;
    }

    const char *m_p;
    const char *m_end;
};

} // namespace

namespace StrictJson {

std::optional<QJsonValue> parse(const QByteArray &text)
{
    return Parser(text).document();
}

} // namespace StrictJson
