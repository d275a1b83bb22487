#include "plainstringorder.h"

namespace PlainStringOrder {

bool lessThan(const QString &a, const QString &b)
{
    const QString na = a.normalized(QString::NormalizationForm_C);
    const QString nb = b.normalized(QString::NormalizationForm_C);
    // Walk code points rather than code units: a surrogate pair (>= U+10000) must sort after
    // U+E000..U+FFFF even though its first unit (0xD800..0xDBFF) is smaller.
    auto ia = na.cbegin(), ea = na.cend();
    auto ib = nb.cbegin(), eb = nb.cend();
    auto next = [](QString::const_iterator &it, QString::const_iterator end) -> char32_t {
        const char16_t c = it->unicode();
        ++it;
        if (QChar::isHighSurrogate(c) && it != end && QChar::isLowSurrogate(it->unicode())) {
            const char16_t low = it->unicode();
            ++it;
            return QChar::surrogateToUcs4(c, low);
        }
        return c;
    };
    while (ia != ea && ib != eb) {
        const char32_t ca = next(ia, ea);
        const char32_t cb = next(ib, eb);
        if (ca != cb)
            return ca < cb;
    }
    return ia == ea && ib != eb;
}

} // namespace PlainStringOrder
