#pragma once

#include <QByteArray>
#include <QString>

// How the computer's name is found: the pretty host name that the user chose
// (PRETTY_HOSTNAME in /etc/machine-info, see machine-info(5)), else the kernel's host name.
namespace HostInfo {

// The value of the last PRETTY_HOSTNAME assignment in machine-info text, unquoted the way a shell
// would; empty when there is none.
QString prettyHostName(const QByteArray &machineInfo);

// The pretty host name from the file at machineInfoPath when it has a non-blank one, else
// kernelHostName; empty when neither names the computer.
QString localizedHostName(const QString &machineInfoPath, const QString &kernelHostName);

} // namespace HostInfo
