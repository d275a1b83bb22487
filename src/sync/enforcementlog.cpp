#include "enforcementlog.h"

#include "printabletext.h"

#include "systemlog.h"

#include <QList>

#include <cstdio>
#include <unistd.h>

namespace EnforcementLog {

QByteArray lineFor(const QString &bundleID)
{
    return "Blocking " + PrintableText::escaped(bundleID).toUtf8();
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
