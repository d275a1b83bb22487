#pragma once

#include <QString>

// Plain string ordering: lexicographic order of Unicode scalar values after canonical (NFC)
// normalisation. Case-sensitive and not localised; unlike QString's operator< it does not compare
// UTF-16 code units, so characters beyond the Basic Multilingual Plane sort after U+FFFF.
namespace PlainStringOrder {

bool lessThan(const QString &a, const QString &b);

} // namespace PlainStringOrder
