#include "syncconfig.h"

#include "printabletext.h"
#include "privatefiles_linux.h"
#include "xdgpaths_linux.h"

#include <QFileInfo>

QString SyncConfig::path()
{
    return XdgPaths::configHome() + QStringLiteral("/vorn/sync.conf");
}

std::optional<SyncConfig> SyncConfig::load(const QString &path, QString *error)
{
    const PrivateFiles::ReadResult read = PrivateFiles::readFile(path, 64 * 1024);
    if (read.status == PrivateFiles::ReadStatus::Missing) {
        *error = QStringLiteral("not set up (no %1): run 'vorn-sync setup URL USER' or "
                                "'vorn-sync local-broker'")
                         .arg(path);
        return std::nullopt;
    }
    if (read.status != PrivateFiles::ReadStatus::Ok) {
        *error = QStringLiteral("cannot read %1").arg(path);
        return std::nullopt;
    }
    QString reason;
    std::optional<SyncConfig> config = fromText(read.bytes, &reason);
    if (!config)
        *error = QStringLiteral("%1: %2").arg(path, reason);
    return config;
}

std::optional<SyncConfig> SyncConfig::fromText(const QByteArray &text, QString *error)
{
    SyncConfig config;
    QString brokerText;
    int number = 0;
    for (const QByteArray &rawLine : text.split('\n')) {
        ++number;
        const QString line = QString::fromUtf8(rawLine).trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char('#')))
            continue;
        const qsizetype equals = line.indexOf(QLatin1Char('='));
        if (equals < 0) {
            *error = QStringLiteral("line %1 is not 'name = value'").arg(number);
            return std::nullopt;
        }
        const QString name = line.left(equals).trimmed();
        const QString value = line.mid(equals + 1).trimmed();
        if (name == QLatin1String("broker"))
            brokerText = value;
        else if (name == QLatin1String("user"))
            config.user = value;
        else if (name == QLatin1String("ca-file"))
            config.caFile = value;
        else {
            *error = QStringLiteral("line %1: unknown setting '%2'").arg(number).arg(name);
            return std::nullopt;
        }
    }
    QString reason;
    std::optional<BrokerAddress> broker = BrokerAddress::parse(brokerText, &reason);
    if (!broker) {
        *error = reason;
        return std::nullopt;
    }
    config.broker = *broker;
    if (config.user.isEmpty()) {
        *error = QStringLiteral("no user given");
        return std::nullopt;
    }
    if (const QString problem = userProblem(config.user); !problem.isEmpty()) {
        *error = problem;
        return std::nullopt;
    }
    return config;
}

QString SyncConfig::userProblem(const QString &user)
{
    for (const QChar c : {QLatin1Char('+'), QLatin1Char('#'), QLatin1Char('/')}) {
        if (user.contains(c))
            return QStringLiteral("'%1' cannot be a broker user: its topics vorn/<user>/... "
                                  "cannot hold '+', '#' or '/'")
                    .arg(PrintableText::escaped(user));
    }
    const QString withoutBackslashes = QString(user).remove(QLatin1Char('\\'));
    if (PrintableText::escaped(withoutBackslashes) != withoutBackslashes)
        return QStringLiteral("'%1' cannot be a broker user: it holds control characters")
                .arg(PrintableText::escaped(user));
    return {};
}

QByteArray SyncConfig::toText() const
{
    QByteArray text = "# vorn-sync: the broker this computer's cloud folder is exchanged with.\n"
                      "# The password is in the Secret Service (service com.zumbra.vorn.sync).\n";
    text += "broker = " + broker.url().toUtf8() + '\n';
    text += "user = " + user.toUtf8() + '\n';
    if (!caFile.isEmpty())
        text += "ca-file = " + caFile.toUtf8() + '\n';
    return text;
}

bool SyncConfig::save(const QString &path) const
{
    if (!PrivateFiles::makePrivateFolder(QFileInfo(path).path()))
        return false;
    return PrivateFiles::replaceAtomically(path, toText(), tempPrefix);
}
