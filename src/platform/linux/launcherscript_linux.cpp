#include "launcherscript_linux.h"

#include "programs_linux.h"

#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QRegularExpression>

#include <optional>

namespace {

// word with $NAME and ${NAME} replaced; nothing when it uses a variable not in variables.
std::optional<QString> expanded(const QString &word, const QHash<QString, QString> &variables)
{
    static const QRegularExpression reference(
            QStringLiteral("\\$(?:\\{([A-Za-z_]\\w*)\\}|([A-Za-z_]\\w*))"));
    QString result;
    qsizetype from = 0;
    for (auto it = reference.globalMatch(word); it.hasNext();) {
        const QRegularExpressionMatch match = it.next();
        const QString name = match.captured(1).isEmpty() ? match.captured(2) : match.captured(1);
        const auto value = variables.constFind(name);
        if (value == variables.cend())
            return std::nullopt;
        result += word.mid(from, match.capturedStart() - from) + *value;
        from = match.capturedEnd();
    }
    result += word.mid(from);
    if (result.contains(QLatin1Char('$')) || result.contains(QLatin1Char('{')))
        return std::nullopt;
    return result;
}

// The script's variables that certainly hold one path-like value wherever an exec uses them:
// assigned once in the whole script, at the top level, to a plain word built from literals
// and such variables (`LIBDIR=/usr/lib/$APPNAME`). The environment is never consulted.
QHash<QString, QString> literalVariables(const QStringList &lines)
{
    static const QRegularExpression anyAssignment(
            QStringLiteral("(?:^|[\\s;&|(])([A-Za-z_]\\w*)\\+?="));
    static const QRegularExpression topLevel(QStringLiteral(
            "^(?:export\\s+)?([A-Za-z_]\\w*)=(\"?)([^\\s\"'`;&|<>()\\\\]*)\\2\\s*$"));
    QHash<QString, int> assignments;
    for (const QString &line : lines) {
        for (auto it = anyAssignment.globalMatch(line); it.hasNext();)
            ++assignments[it.next().captured(1)];
    }
    QHash<QString, QString> variables;
    for (const QString &line : lines) {
        const QRegularExpressionMatch match = topLevel.match(line);
        if (!match.hasMatch() || assignments.value(match.captured(1)) != 1)
            continue;
        if (const std::optional<QString> value = expanded(match.captured(3), variables))
            variables.insert(match.captured(1), *value);
    }
    return variables;
}

} // namespace

namespace LauncherScript {

QStringList execTargets(const QString &path)
{
    QStringList targets;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return targets;
    static const QRegularExpression shell(QStringLiteral("^#!\\s*\\S*/(sh|bash|dash|ksh|zsh)\\b"));
    static const QRegularExpression execLine(
            QStringLiteral("^\\s*exec\\s+([\"']?)([/$][^\\s\"';&|`<>()]*)\\1(\\s|$)"));
    // Most indexed programs are binaries: only a shell script's first line leads to reading on.
    const QByteArray head = file.peek(256);
    if (!shell.match(QString::fromUtf8(head.left(head.indexOf('\n')))).hasMatch())
        return targets;
    const QStringList lines = QString::fromUtf8(file.read(64 * 1024)).split(QLatin1Char('\n'));
    const QHash<QString, QString> variables = literalVariables(lines);
    for (const QString &line : lines) {
        const QRegularExpressionMatch match = execLine.match(line);
        if (!match.hasMatch())
            continue;
        const std::optional<QString> written = expanded(match.captured(2), variables);
        if (!written || !written->startsWith(QLatin1Char('/')))
            continue;
        const QString target = Programs::canonicalPath(*written);
        const QFileInfo info(target);
        if (target.isEmpty() || !info.isFile() || !info.isExecutable() || Programs::isShared(target)
            || targets.contains(target))
            continue;
        targets.append(target);
    }
    return targets;
}

} // namespace LauncherScript
