// Implementation notes
//
// /etc/machine-info is an environment-style file written by hostnamectl: KEY=VALUE lines, '#' or
// ';' comments, values quoted and escaped the way a shell does. The parser below follows those
// rules: outside quotes a backslash takes the next character literally (a backslash-newline joins
// lines) and unquoted trailing blanks are dropped; single quotes keep everything literally; inside
// double quotes a backslash escapes only '"', '\', '`', '$' and the newline, and stays otherwise.
// An unterminated quote runs to the end of the file.

#include "hostinfo_linux.h"

#include "privatefiles_linux.h"

#include <QSysInfo>

namespace {

constexpr qint64 kMaxMachineInfoBytes = 64 * 1024;

bool isBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\r';
}

class EnvFileParser
{
public:
    explicit EnvFileParser(const QByteArray &text)
        : m_text(text)
    {
    }

    // Calls found(key, value) for each assignment, in file order.
    template<typename Found> void parse(Found found)
    {
        while (m_pos < m_text.size()) {
            skipBlanks();
            if (atEnd())
                break;
            const char c = m_text[m_pos];
            if (c == '\n') {
                ++m_pos;
            } else if (c == '#' || c == ';') {
                skipLine();
            } else {
                const QByteArray key = readKey();
                if (atEnd() || m_text[m_pos] != '=') {
                    skipLine(); // not an assignment
                    continue;
                }
                ++m_pos;
                found(key, readValue());
            }
        }
    }

private:
    bool atEnd() const { return m_pos >= m_text.size(); }

    void skipBlanks()
    {
        while (!atEnd() && isBlank(m_text[m_pos]))
            ++m_pos;
    }

    void skipLine()
    {
        while (!atEnd() && m_text[m_pos] != '\n')
            ++m_pos;
    }

    QByteArray readKey()
    {
        const qsizetype start = m_pos;
        while (!atEnd() && m_text[m_pos] != '=' && m_text[m_pos] != '\n')
            ++m_pos;
        return m_text.mid(start, m_pos - start).trimmed();
    }

    QByteArray readValue()
    {
        skipBlanks();
        QByteArray value;
        qsizetype keptLength = 0; // length without trailing unquoted blanks
        while (!atEnd()) {
            const char c = m_text[m_pos++];
            if (c == '\n')
                break;
            if (c == '\\') {
                if (atEnd())
                    break;
                const char next = m_text[m_pos++];
                if (next != '\n')
                    value.append(next);
                keptLength = value.size();
            } else if (c == '\'') {
                while (!atEnd() && m_text[m_pos] != '\'')
                    value.append(m_text[m_pos++]);
                ++m_pos;
                keptLength = value.size();
            } else if (c == '"') {
                readDoubleQuoted(value);
                keptLength = value.size();
            } else {
                value.append(c);
                if (!isBlank(c))
                    keptLength = value.size();
            }
        }
        value.truncate(keptLength);
        return value;
    }

    void readDoubleQuoted(QByteArray &value)
    {
        while (!atEnd()) {
            const char c = m_text[m_pos++];
            if (c == '"')
                return;
            if (c == '\\' && !atEnd()) {
                const char next = m_text[m_pos++];
                if (next == '\n')
                    continue;
                if (next != '"' && next != '\\' && next != '`' && next != '$')
                    value.append('\\');
                value.append(next);
            } else {
                value.append(c);
            }
        }
    }

    const QByteArray &m_text;
    qsizetype m_pos = 0;
};

} // namespace

namespace HostInfo {

QString prettyHostName(const QByteArray &machineInfo)
{
    QByteArray pretty;
    EnvFileParser(machineInfo).parse([&pretty](const QByteArray &key, const QByteArray &value) {
        if (key == "PRETTY_HOSTNAME")
            pretty = value;
    });
    return QString::fromUtf8(pretty);
}

QString localizedHostName(const QString &machineInfoPath, const QString &kernelHostName)
{
    const auto read = PrivateFiles::readFile(machineInfoPath, kMaxMachineInfoBytes);
    if (read.status == PrivateFiles::ReadStatus::Ok) {
        const QString pretty = prettyHostName(read.bytes).trimmed();
        if (!pretty.isEmpty())
            return pretty;
    }
    // The kernel reports "(none)" when nobody ever set a host name.
    const QString kernel = kernelHostName.trimmed();
    if (kernel == QLatin1String("(none)"))
        return {};
    return kernel;
}

} // namespace HostInfo
