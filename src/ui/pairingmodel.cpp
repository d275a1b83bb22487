#include "pairingmodel.h"

#include "appblocker.h"
#include "qmlappblocker.h"

#include <algorithm>

PairingModel::PairingModel(QObject *parent)
    : QAbstractListModel(parent)
{
    refresh();
}

void PairingModel::refresh()
{
    AppBlocker *blocker = QmlAppBlocker::instance();
    QList<Row> rows;
    if (blocker && blocker->pairing()) {
        for (const PhonePairing::Phone &phone : blocker->pairing()->phones())
            rows.append({phone, true});
        for (const PhonePairing::Phone &offer : PhonePairing::offers(blocker->cloudStore())) {
            if (std::none_of(rows.cbegin(), rows.cend(), [&](const Row &row) {
                    return row.phone.fingerprint == offer.fingerprint;
                }))
                rows.append({offer, false});
        }
    }
    beginResetModel();
    m_rows = rows;
    endResetModel();
}

QString PairingModel::pair(const QString &fingerprint)
{
    AppBlocker *blocker = QmlAppBlocker::instance();
    if (!blocker)
        return {};
    const QByteArray answer = blocker->pairingRequest("pair " + fingerprint.toUtf8());
    refresh();
    return QString::fromUtf8(answer.mid(answer.indexOf(' ') + 1));
}

int PairingModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(m_rows.size());
}

QVariant PairingModel::data(const QModelIndex &index, int role) const
{
    if (!checkIndex(index, CheckIndexOption::IndexIsValid))
        return {};
    const Row &row = m_rows.at(index.row());
    switch (role) {
    case FingerprintRole:
        return row.phone.fingerprint;
    case NameRole:
        return row.phone.name;
    case PairedRole:
        return row.paired;
    default:
        return {};
    }
}

QHash<int, QByteArray> PairingModel::roleNames() const
{
    return {{FingerprintRole, "fingerprint"}, {NameRole, "name"}, {PairedRole, "paired"}};
}
