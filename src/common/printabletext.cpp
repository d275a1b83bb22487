#include "printabletext.h"

#include <QList>

namespace PrintableText {

namespace {

bool isHidden(char32_t c)
{
    // Control (Cc), format (Cf: the bidirectional controls, zero-width characters, U+FEFF), line
    // and paragraph separators.
    switch (QChar::category(c)) {
    case QChar::Other_Control:
    case QChar::Other_Format:
    case QChar::Separator_Line:
    case QChar::Separator_Paragraph:
        return true;
    default:
        return false;
    }
}

} // namespace

QString escaped(const QString &text)
{
    QString escaped;
    escaped.reserve(text.size());
    const QList<uint> codePoints = text.toUcs4();
    for (const uint c : codePoints) {
        if (c == uint(u'\\'))
            escaped += QLatin1String("\\\\");
        else if (c < 0x20 || (c >= 0x7f && c < 0xa0))
            escaped += QStringLiteral("\\x%1").arg(c, 2, 16, QLatin1Char('0'));
        else if (isHidden(c))
            escaped += QStringLiteral("\\u{%1}").arg(c, 4, 16, QLatin1Char('0'));
        else {
            const char32_t ch = c;
            escaped += QString::fromUcs4(&ch, 1);
        }
    }
    return escaped;
}

bool isPlainKey(const QString &key)
{
    if (key.isEmpty() || key.front().isSpace() || key.back().isSpace())
        return false;
    const QList<uint> codePoints = key.toUcs4();
    for (const uint c : codePoints) {
        if (isHidden(c))
            return false;
    }
    return true;
}

} // namespace PrintableText
