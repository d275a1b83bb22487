#pragma once

#include <QByteArray>
#include <QJsonValue>

#include <optional>

// A strict JSON reader (RFC 8259) for records that come from other devices.
//
// Qt's own reader is lenient where these records must not be: it takes raw control characters in
// strings, "5." and ".5", unknown escapes such as "\x", and drops a byte-order mark at the start
// of a string, yet it refuses numbers beyond the range of a double even in members nobody reads.
// This reader accepts exactly the grammar: UTF-8 text without a byte-order mark, white space of
// space, tab, LF and CR only, any value at the top, escapes limited to the eight short forms and
// \uXXXX (surrogates only as pairs). Every character of a string is kept as it was written,
// U+FEFF included. A number beyond the range of a double reads as an infinity (callers that use a
// number check that it is finite); one too small reads as zero. Of duplicate member names the last
// one stands, as in JavaScript. Nesting deeper than maxDepth is refused.
namespace StrictJson {

constexpr int maxDepth = 512;

// The value the text holds; nothing when the text is not JSON.
std::optional<QJsonValue> parse(const QByteArray &text);

} // namespace StrictJson
