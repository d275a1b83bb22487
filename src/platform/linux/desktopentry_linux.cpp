// Implementation notes
//
// Parsing is GLib's GKeyFile, which implements the freedesktop key-file rules exactly; this file
// only decides which files reach it and in what order. Files are read here rather than with
// g_key_file_load_from_file(), because that opens the path before checking what it is: a FIFO
// named "x.desktop" would block the scan forever. Opening with O_NONBLOCK and checking fstat()
// first keeps every non-regular file out, and a size limit keeps a runaway file from stalling it.
//
// GKeyFile drops translations that cannot match the locale of the moment while it parses, which
// keeps parsing cheap for entries with dozens of Name[xx] lines; the locale is taken from the
// environment each time an entry is opened.

#include "desktopentry_linux.h"

#include <QFile>
#include <QSet>

#include <algorithm>
#include <cerrno>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <glib.h>

namespace {

std::optional<QStringList> splitCommandLine(const QString &line)
{
    gint argc = 0;
    gchar **argv = nullptr;
    if (!g_shell_parse_argv(line.toUtf8().constData(), &argc, &argv, nullptr))
        return std::nullopt;
    QStringList arguments;
    for (gint i = 0; i < argc; ++i)
        arguments.append(QString::fromUtf8(argv[i]));
    g_strfreev(argv);
    return arguments;
}

// Removes the field codes of one Exec= argument; nothing when the argument consisted of field
// codes only (such an argument expands to nothing or to separate arguments, never to a program).
std::optional<QString> withoutFieldCodes(const QString &argument)
{
    static const QLatin1String codes("fFuUdDnNickvm");
    QString result;
    bool onlyCodes = !argument.isEmpty();
    for (qsizetype i = 0; i < argument.size(); ++i) {
        const QChar c = argument.at(i);
        if (c == QLatin1Char('%') && i + 1 < argument.size()) {
            const QChar code = argument.at(i + 1);
            if (code == QLatin1Char('%')) {
                result.append(code);
                onlyCodes = false;
                ++i;
                continue;
            }
            if (codes.contains(code)) {
                ++i;
                continue;
            }
        }
        result.append(c);
        onlyCodes = false;
    }
    if (onlyCodes)
        return std::nullopt;
    return result;
}

// Drops a leading `env` (and a nested one) with its options and NAME=value arguments.
QStringList withoutEnv(QStringList arguments)
{
    while (!arguments.isEmpty()
           && arguments.constFirst().section(QLatin1Char('/'), -1) == QLatin1String("env")) {
        arguments.removeFirst();
        while (!arguments.isEmpty() && arguments.constFirst().startsWith(QLatin1Char('-'))) {
            const QString option = arguments.takeFirst();
            if (option == QLatin1String("--"))
                break;
            if (option == QLatin1String("-u") || option == QLatin1String("--unset")
                || option == QLatin1String("-C") || option == QLatin1String("--chdir")) {
                if (!arguments.isEmpty())
                    arguments.removeFirst();
            } else if (option == QLatin1String("-S") || option == QLatin1String("--split-string")
                       || option.startsWith(QLatin1String("-S"))
                       || option.startsWith(QLatin1String("--split-string="))) {
                QString text;
                if (option == QLatin1String("-S") || option == QLatin1String("--split-string"))
                    text = arguments.isEmpty() ? QString() : arguments.takeFirst();
                else
                    text = option.mid(option.startsWith(QLatin1String("-S")) ? 2 : 15);
                arguments = splitCommandLine(text).value_or(QStringList()) + arguments;
            }
        }
        while (!arguments.isEmpty() && arguments.constFirst().contains(QLatin1Char('=')))
            arguments.removeFirst();
    }
    return arguments;
}

// Whether an Exec= argument carried a field code: its expanded value is not known, so it takes
// no part in telling entries apart.
bool hadFieldCodes(const QString &argument, const QString &kept)
{
    return QString(argument).replace(QLatin1String("%%"), QLatin1String("%")) != kept;
}

constexpr char desktopGroup[] = "Desktop Entry";
constexpr QByteArrayView desktopSuffix(".desktop");
// Real entries are a few kilobytes; the largest shipped ones, with every translation, stay far
// below this.
constexpr qsizetype maximumEntrySize = 1024 * 1024;

std::optional<QByteArray> readRegularFile(const QString &path)
{
    const int fd = ::open(QFile::encodeName(path).constData(),
                          O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0)
        return std::nullopt;
    struct stat info
    {
    };
    std::optional<QByteArray> contents;
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size <= maximumEntrySize) {
        QByteArray data(qsizetype(info.st_size), Qt::Uninitialized);
        qsizetype done = 0;
        bool failed = false;
        while (done < data.size()) {
            const ssize_t n = ::read(fd, data.data() + done, size_t(data.size() - done));
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0) {
                failed = true;
                break;
            }
            if (n == 0)
                break; // the file shrank while we read it: take what is there
            done += n;
        }
        if (!failed) {
            data.truncate(done);
            contents = std::move(data);
        }
    }
    ::close(fd);
    return contents;
}

std::optional<QString> takeUtf8(gchar *value)
{
    if (!value)
        return std::nullopt;
    QString text = QString::fromUtf8(value);
    g_free(value);
    return text;
}

// The ".desktop" names directly inside folder, in byte order so that the outcome never depends on
// the file system's listing order. Nothing when the folder cannot be listed.
std::vector<QByteArray> desktopFileNames(const QString &folder)
{
    std::vector<QByteArray> names;
    DIR *dir = ::opendir(QFile::encodeName(folder).constData());
    if (!dir)
        return names;
    while (const dirent *item = ::readdir(dir)) {
        const QByteArrayView name(item->d_name);
        if (name.endsWith(desktopSuffix) && item->d_type != DT_DIR)
            names.emplace_back(name.data(), name.size());
    }
    ::closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

} // namespace

void DesktopEntry::KeyFileDeleter::operator()(GKeyFile *file) const
{
    g_key_file_unref(file);
}

DesktopEntry::DesktopEntry(GKeyFile *file)
    : m_file(file)
{
}
DesktopEntry::DesktopEntry(DesktopEntry &&) noexcept = default;
DesktopEntry &DesktopEntry::operator=(DesktopEntry &&) noexcept = default;
DesktopEntry::~DesktopEntry() = default;

std::optional<DesktopEntry> DesktopEntry::open(const QString &path)
{
    const std::optional<QByteArray> data = readRegularFile(path);
    if (!data)
        return std::nullopt;
    DesktopEntry entry(g_key_file_new());
    if (!g_key_file_load_from_data(entry.m_file.get(), data->constData(), gsize(data->size()),
                                   G_KEY_FILE_NONE, nullptr)
        || !g_key_file_has_group(entry.m_file.get(), desktopGroup))
        return std::nullopt;
    return entry;
}

// Absent keys are ruled out with g_key_file_has_key() first: the getters would format (and
// translate) an error message for each of them, which costs more than the lookup itself.

std::optional<QString> DesktopEntry::string(const char *key) const
{
    if (!g_key_file_has_key(m_file.get(), desktopGroup, key, nullptr))
        return std::nullopt;
    return takeUtf8(g_key_file_get_string(m_file.get(), desktopGroup, key, nullptr));
}

std::optional<QString> DesktopEntry::localeString(const char *key) const
{
    return takeUtf8(
            g_key_file_get_locale_string(m_file.get(), desktopGroup, key, nullptr, nullptr));
}

bool DesktopEntry::boolean(const char *key) const
{
    return g_key_file_has_key(m_file.get(), desktopGroup, key, nullptr)
            && g_key_file_get_boolean(m_file.get(), desktopGroup, key, nullptr);
}

bool DesktopEntry::isApplication() const
{
    return string("Type") == QLatin1String("Application");
}

bool DesktopEntry::isHidden() const
{
    return boolean("Hidden");
}

void DesktopEntry::forEachApplication(const QStringList &folders, const Visitor &visit)
{
    QSet<QString> taken;
    for (const QString &folder : folders) {
        const QString prefix
                = folder.endsWith(QLatin1Char('/')) ? folder : folder + QLatin1Char('/');
        for (const QByteArray &name : desktopFileNames(folder)) {
            const QString id = QFile::decodeName(name.chopped(desktopSuffix.size()));
            if (id.isEmpty() || taken.contains(id))
                continue;
            const QString path = prefix + QFile::decodeName(name);
            const std::optional<DesktopEntry> entry = open(path);
            if (!entry)
                continue;
            if (entry->isHidden()) {
                taken.insert(id);
                continue;
            }
            if (!entry->isApplication())
                continue;
            taken.insert(id);
            visit(id, path, *entry);
        }
    }
}

QString DesktopEntry::iconName() const
{
    QString icon = localeString("Icon").value_or(QString()).trimmed();
    if (!icon.startsWith(QLatin1Char('/'))) {
        // Theme names carry no extension, but many older entries name "foo.png"; the icon theme
        // lookup would then find nothing.
        for (const char *extension : {".png", ".svg", ".xpm"}) {
            if (icon.endsWith(QLatin1String(extension))) {
                icon.chop(4);
                break;
            }
        }
    }
    return icon;
}

std::optional<DesktopEntry::Command> DesktopEntry::execCommand() const
{
    const std::optional<QString> exec = string("Exec");
    const std::optional<QStringList> split = exec ? splitCommandLine(*exec) : std::nullopt;
    if (!split)
        return std::nullopt;
    Command command;
    for (const QString &argument : *split) {
        if (std::optional<QString> kept = withoutFieldCodes(argument)) {
            if (hadFieldCodes(argument, *kept))
                command.coded.insert(*kept);
            command.arguments.append(*kept);
        }
    }
    command.arguments = withoutEnv(command.arguments);
    return command;
}
