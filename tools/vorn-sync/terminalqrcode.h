#pragma once

#include <QString>

// A QR code of `text` drawn for a terminal with Unicode half blocks, two modules per character
// row, light modules drawn as blocks (so it reads on dark and light terminals alike) with a quiet
// zone of two modules. Empty when the text cannot be encoded.
namespace TerminalQrCode {

QString render(const QString &text);

} // namespace TerminalQrCode
