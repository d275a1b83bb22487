#pragma once

#include <QByteArray>
#include <QHash>
#include <QMutex>
#include <QSet>
#include <QString>
#include <QThread>

// Watches the cloud replica folder on a thread of its own and emits changed() there, as soon as
// a complete value is visible and at most twice per burst, when another process changes a key's
// file: creates, replaces, rewrites, moves, deletes or changes the permissions of it, or removes,
// replaces or recreates the folder. The owner's own writes are recognised and never reported: they
// are renames from a temporary name starting with ownTempPrefix, and files whose inode the owner
// announced with noteOwnFile().
class CloudFolderWatcher : public QThread
{
    Q_OBJECT

public:
    CloudFolderWatcher(const QString &folder, const QByteArray &ownTempPrefix,
                       QObject *parent = nullptr);
    ~CloudFolderWatcher() override;

    // Called from any thread just before the owner renames a file with this inode into place.
    void noteOwnFile(const QByteArray &name, quint64 inode);

Q_SIGNALS:
    void changed();

protected:
    void run() override;

private:
    // What the events read told: nothing foreign, foreign changes that may be still under way,
    // or at least one foreign change that is complete.
    enum class Drained { Nothing, Partial, Complete };
    Drained drainEvents();
    bool rearm();
    bool folderHoldsForeignFiles() const;

    const QByteArray m_folder;
    const QByteArray m_ownTempPrefix;
    int m_fd = -1;
    // Owned by the watching thread once it runs (set up before it starts).
    int m_folderWd = -1;
    int m_ancestorWd = -1;
    QByteArray m_ancestorChild;
    QSet<quint32> m_ownRenameCookies;

    mutable QMutex m_ownFilesMutex;
    QHash<QByteArray, quint64> m_ownFiles;
};
