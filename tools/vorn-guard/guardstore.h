#pragma once

#include "guardrules.h"

#include <QHash>
#include <QString>

// Each user's last state (with the records that user's Vorn forwarded and the session they time),
// kept so that refusals go on after that user's Vorn stops, the guard restarts or the computer
// reboots: <folder>/<uid>/state.json, folders 0700 and files 0600 (the
// folder belongs to root), each written whole to a new file and renamed over the old one.
class GuardStore
{
public:
    explicit GuardStore(const QString &folder);

    // False (with error set) when the folder cannot be created or made private.
    bool prepare(QString *error) const;
    // Every readable state; an unreadable one is left out and named in errors.
    QHash<uint, UserState> load(QStringList *errors) const;
    bool save(uint uid, const UserState &state, QString *error) const;

    static QByteArray encode(const UserState &state);
    static std::optional<UserState> decode(const QByteArray &bytes);

private:
    QString m_folder;
};
