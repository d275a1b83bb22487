#pragma once

#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>

class UserDefaults;

// The set of bundle identifiers the user wants closed while blocking is on, persisted in the user
// defaults under "blockedBundleIDs". One instance per process, owned by the application and shared
// by the blocker and the views, used on the main thread only. The in-memory set is the truth once
// loaded; the defaults are only written.
class BlockList : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QStringList sortedBundleIDs READ sortedBundleIDs NOTIFY blockedBundleIDsChanged)

public:
    static inline const QString storageKey = QStringLiteral("blockedBundleIDs");

    // Builds a list loaded from the user defaults.
    explicit BlockList(UserDefaults *userDefaults, QObject *parent = nullptr);

    const QSet<QString> &blockedBundleIDs() const { return m_blockedBundleIDs; }
    // Replaces the set and publishes the change; does not persist (call save()).
    void setBlockedBundleIDs(const QSet<QString> &ids);
    // Removes one identifier and publishes the change; does not persist (call save()).
    Q_INVOKABLE void remove(const QString &bundleID);

    Q_INVOKABLE bool contains(const QString &bundleID) const
    {
        return m_blockedBundleIDs.contains(bundleID);
    }
    // Inserts the identifier when absent, removes it when present, then saves.
    Q_INVOKABLE void toggle(const QString &bundleID);
    Q_INVOKABLE void save();
    void load();

    // The set in plain string order (Unicode scalar values after NFC): the main window's rows.
    QStringList sortedBundleIDs() const;

Q_SIGNALS:
    // Emitted after every change of the set.
    void blockedBundleIDsChanged();

private:
    UserDefaults *m_userDefaults = nullptr;
    QSet<QString> m_blockedBundleIDs;
};
