#pragma once

#include <QByteArray>
#include <QString>

// Keeps bytes that are about to be replaced because they could not be decoded.
namespace RegistryBackup {

// Writes the bytes to a new file in `folder` (created mode 0700 when missing; the file 0600) and
// returns its path; empty when it could not be written.
QString keep(const QString &folder, const QByteArray &bytes);

} // namespace RegistryBackup
