#include "terminalqrcode.h"

#include <qrencode.h>

#include <memory>

namespace TerminalQrCode {

QString render(const QString &text)
{
    const QByteArray bytes = text.toUtf8();
    std::unique_ptr<QRcode, decltype(&QRcode_free)> code(
            QRcode_encodeString8bit(bytes.constData(), 0, QR_ECLEVEL_L), &QRcode_free);
    if (!code)
        return {};
    constexpr int quiet = 2;
    const int width = code->width;
    const int size = width + 2 * quiet;
    auto dark = [&](int x, int y) {
        x -= quiet;
        y -= quiet;
        if (x < 0 || y < 0 || x >= width || y >= width)
            return false;
        return (code->data[y * width + x] & 1) != 0;
    };
    QString out;
    for (int y = 0; y < size; y += 2) {
        for (int x = 0; x < size; ++x) {
            const bool topLight = !dark(x, y);
            const bool bottomLight = y + 1 < size ? !dark(x, y + 1) : false;
            if (topLight && bottomLight)
                out += QChar(0x2588); // full block
            else if (topLight)
                out += QChar(0x2580); // upper half
            else if (bottomLight)
                out += QChar(0x2584); // lower half
            else
                out += QLatin1Char(' ');
        }
        out += QLatin1Char('\n');
    }
    return out;
}

} // namespace TerminalQrCode
