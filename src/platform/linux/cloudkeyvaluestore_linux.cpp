#include "cloudkeyvaluestore_linux.h"

#include "cloudfolderwatcher_linux.h"
#include "privatefiles_linux.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>

#include <unistd.h>

namespace {

// NAME_MAX on the usual Linux file systems.
constexpr qsizetype kMaxKeyBytes = 255;

QByteArray makeTempPrefix()
{
    // Unique to this store instance, so that the watcher can tell this instance's renames from
    // everyone else's, other Vorn processes included.
    return QByteArrayLiteral(".vorn-") + QByteArray::number(::getpid()) + '-'
            + QByteArray::number(QRandomGenerator::global()->generate64(), 36) + '-';
}

} // namespace

LinuxCloudKeyValueStore::LinuxCloudKeyValueStore(const QString &folder, Notices notices)
    : m_folder(folder)
    , m_tempPrefix(makeTempPrefix())
{
    // A crash between writing a temporary file and renaming it leaves the file behind.
    if (PrivateFiles::makePrivateFolder(m_folder))
        PrivateFiles::sweepTemporaries(m_folder, QByteArrayLiteral(".vorn-"));
    if (notices == Notices::None)
        return;
    m_watcher = std::make_unique<CloudFolderWatcher>(m_folder, m_tempPrefix);
    connect(m_watcher.get(), &CloudFolderWatcher::changed, this,
            &CloudKeyValueStore::didChangeExternally, Qt::DirectConnection);
    m_watcher->start();
}

LinuxCloudKeyValueStore::~LinuxCloudKeyValueStore() = default;

bool LinuxCloudKeyValueStore::isSafeKey(const QString &key)
{
    if (key.isEmpty() || key.startsWith(QLatin1Char('.')) || key.contains(QLatin1Char('/'))
        || key.contains(QChar(0)))
        return false;
    return key.toUtf8().size() <= kMaxKeyBytes;
}

CloudKeyValueStore::StoredValue LinuxCloudKeyValueStore::valueForKey(const QString &key) const
{
    using State = StoredValue::State;
    if (!isSafeKey(key))
        return {}; // nothing can ever be stored under it
    auto result = PrivateFiles::readPrivateFile(m_folder + QLatin1Char('/') + key, maxValueBytes);
    switch (result.status) {
    case PrivateFiles::ReadStatus::Ok:
        return {State::Present, std::move(result.bytes)};
    case PrivateFiles::ReadStatus::Missing:
        return {};
    default:
        return {State::Unreadable, {}};
    }
}

QStringList LinuxCloudKeyValueStore::keys() const
{
    // Temporaries start with '.', which no key does.
    QStringList keys;
    for (const QString &name : QDir(m_folder).entryList(QDir::Files | QDir::NoSymLinks)) {
        if (isSafeKey(name))
            keys.append(name);
    }
    return keys;
}

std::optional<QByteArray> LinuxCloudKeyValueStore::dataForKey(const QString &key) const
{
    StoredValue value = valueForKey(key);
    if (value.state != StoredValue::State::Present)
        return std::nullopt;
    return std::move(value.bytes);
}

void LinuxCloudKeyValueStore::setData(const QByteArray &data, const QString &key)
{
    if (!isSafeKey(key))
        return;
    // The folder may have been removed since construction; recreate it for this write.
    if (!PrivateFiles::makePrivateFolder(m_folder))
        return;
    const QByteArray name = QFile::encodeName(key);
    PrivateFiles::replaceAtomically(m_folder + QLatin1Char('/') + key, data, m_tempPrefix,
                                    [this, &name](quint64 inode) {
                                        if (m_watcher)
                                            m_watcher->noteOwnFile(name, inode);
                                    });
}

bool LinuxCloudKeyValueStore::synchronize()
{
    // The replica is the local end of the exchange: every write is already in place, and a
    // transport picks it up from the folder.
    return true;
}
