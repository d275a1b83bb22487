#pragma once

#include <QSet>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <optional>

// The one GLib type this header names; declared the way GLib declares it, so that users of this
// header need no GLib include paths.
typedef struct _GKeyFile GKeyFile;

// One parsed freedesktop desktop entry: the "[Desktop Entry]" group of a ".desktop" file, read with
// GLib's key-file parser (escapes, comments, groups and localised keys as the freedesktop rules
// define them). Read-only once opened.
class DesktopEntry
{
public:
    // Parses the file at path. Nothing when the path is not a readable regular file (a directory,
    // a FIFO or a device is never opened for reading, so a stray FIFO cannot hang the caller),
    // is larger than a desktop entry can sensibly be, is not a valid key file, or has no
    // "[Desktop Entry]" group. Localised keys are matched against the locale of LC_ALL,
    // LC_MESSAGES or LANG (and LANGUAGE) as they are set at the time of the call.
    static std::optional<DesktopEntry> open(const QString &path);

    DesktopEntry(DesktopEntry &&) noexcept;
    DesktopEntry &operator=(DesktopEntry &&) noexcept;
    ~DesktopEntry();

    // The unescaped value of key, or nothing when it is absent or not valid UTF-8.
    std::optional<QString> string(const char *key) const;
    // The value of key for the current locale (key[ll_CC@mod] ... key), or nothing when neither
    // a matching translation nor the untranslated key is present.
    std::optional<QString> localeString(const char *key) const;
    // The boolean value of key; false when absent or not a boolean.
    bool boolean(const char *key) const;

    // The Icon= value for the current locale: a theme icon name (a legacy ".png", ".svg" or ".xpm"
    // extension removed) or an absolute file path; empty when the entry names no icon.
    QString iconName() const;

    // Exec= as a launcher runs it: split as a shell would, field codes (%f, %U, ...) removed
    // ("%%" stands for "%"; an argument of field codes only is dropped) and a leading env with its
    // options and NAME=value arguments skipped. coded: the arguments that held field codes, whose
    // expanded value is not known. Nothing when Exec= is absent or cannot be split.
    struct Command
    {
        QStringList arguments;
        QSet<QString> coded;
    };
    std::optional<Command> execCommand() const;

    bool isApplication() const; // Type=Application
    bool isHidden() const; // Hidden=true: the entry is deleted at this level

    // Visits the application entries of folders, first level only, as the desktop sees them:
    // - an entry is a file whose name ends with ".desktop" (case-sensitive); its identifier is the
    //   name without that suffix (a file named just ".desktop" has none and is skipped);
    // - folders in order, names within a folder in byte order; the first entry that takes an
    //   identifier wins and later entries with that identifier are not opened;
    // - an entry that cannot be opened, or that is visible but not Type=Application, is skipped
    //   and takes no identifier, so a later entry with that identifier may still take it;
    // - an entry with Hidden=true takes its identifier (whatever its Type) but is not visited:
    //   it deletes that application for this and every later folder;
    // - a folder that cannot be listed is skipped.
    using Visitor = std::function<void(const QString &id, const QString &path,
                                       const DesktopEntry &entry)>;
    static void forEachApplication(const QStringList &folders, const Visitor &visit);

private:
    explicit DesktopEntry(GKeyFile *file);

    struct KeyFileDeleter
    {
        void operator()(GKeyFile *file) const;
    };
    std::unique_ptr<GKeyFile, KeyFileDeleter> m_file;
};
