#pragma once

#include <QString>

// Text from the store or the broker (key names, device names, bundle identifiers) on a terminal
// or in a log: one line, in its own order, unmistakable.
namespace PrintableText {

// The text with control characters (\xNN), line and paragraph separators and format characters
// (bidirectional controls, zero-width characters, the byte-order mark; \u{NNNN}) escaped, and the
// backslash doubled, so that a name can neither forge a line nor reorder the rest of one.
QString escaped(const QString &text);

// Whether a key name is plain: no control, format or bidirectional control character, no
// byte-order mark, no space at either end. Other names could pass for a plain one.
bool isPlainKey(const QString &key);

} // namespace PrintableText
