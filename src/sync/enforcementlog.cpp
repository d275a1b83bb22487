#include "enforcementlog.h"

#include "systemlog.h"

#include <QList>

#include <cstdio>
#include <unistd.h>

namespace EnforcementLog {

QByteArray lineFor(const QString &bundleID)
{
    return "Blocking " + escaped(bundleID).toUtf8();
}

QString escaped(const QString &text)
{
    QString escaped;
    escaped.reserve(text.size());
    const QList<uint> codePoints = text.toUcs4();
    for (const uint c : codePoints) {
        if (c == uint(u'\\')) {
            escaped += QLatin1String("\\\\");
        } else if (c < 0x20 || (c >= 0x7f && c < 0xa0)) {
            escaped += QStringLiteral("\\x%1").arg(uint(c), 2, 16, QLatin1Char('0'));
        } else if (c == 0x2028 || c == 0x2029) {
            escaped += QStringLiteral("\\u{%1}").arg(uint(c), 4, 16, QLatin1Char('0'));
        } else {
            const char32_t ch = c;
            escaped += QString::fromUcs4(&ch, 1);
        }
    }
    return escaped;
}

void blocking(SystemLog *systemLog, const QString &bundleID)
{
    line(systemLog, lineFor(bundleID));
}

void line(SystemLog *systemLog, const QByteArray &line)
{
    if (systemLog) {
        systemLog->notice(line);
        if (systemLog->takesStandardError())
            return;
    }
    const QByteArray withNewline = line + '\n';
    // One write, so that lines from concurrent writers never interleave.
    [[maybe_unused]] const ssize_t written
            = ::write(STDERR_FILENO, withNewline.constData(), size_t(withNewline.size()));
}

} // namespace EnforcementLog
