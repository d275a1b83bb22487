#pragma once

#include "cloudkeyvaluestore.h"

#include <QByteArray>
#include <QString>

#include <memory>

class CloudFolderWatcher;

// The cloud key-value store as a local replica folder: one regular file per key, named after the
// key, holding exactly the value's bytes. Other processes (the phone tool, a folder-sync tool, a
// network transport) change the folder; their changes raise didChangeExternally() on the
// watcher's thread.
//
// Keys must be usable as a single file name: empty keys, ".", "..", keys starting with '.'
// (reserved for temporary files), and keys holding '/' or NUL are refused (nothing is read or
// written). A file larger than maxValueBytes, one that cannot be read, a link or anything else
// that is not a regular file, and every file of a folder that belongs to another user, read as
// unreadable, not absent. Temporary files (".vorn-<pid>-*") whose writer no longer runs are
// removed at construction.
class LinuxCloudKeyValueStore : public CloudKeyValueStore
{
    Q_OBJECT

public:
    static constexpr qint64 maxValueBytes = 64 * 1024 * 1024;

    // A store that only reads and writes (a command-line tool that exits at once) needs no
    // watcher thread.
    enum class Notices { Raise, None };

    explicit LinuxCloudKeyValueStore(const QString &folder, Notices notices = Notices::Raise);
    ~LinuxCloudKeyValueStore() override;

    StoredValue valueForKey(const QString &key) const override;
    std::optional<QByteArray> dataForKey(const QString &key) const override;
    void setData(const QByteArray &data, const QString &key) override;
    QStringList keys() const override;
    bool synchronize() override;

    static bool isSafeKey(const QString &key);

private:
    const QString m_folder;
    const QByteArray m_tempPrefix;
    std::unique_ptr<CloudFolderWatcher> m_watcher;
};
