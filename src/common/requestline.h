#pragma once

#include <QByteArray>

#include <optional>

// The framing of the single-instance channel: a client sends one request line, terminated by a
// newline, of at most maxLength bytes; white space around it is not part of the request.
namespace RequestLine {

constexpr qsizetype maxLength = 256;

enum class Status {
    Incomplete, // no newline yet; wait for more bytes
    Complete, // `request` holds the line
    TooLong, // more than maxLength bytes without a newline: drop the connection
};

struct Result
{
    Status status = Status::Incomplete;
    QByteArray request;
};

// Looks at everything received so far on one connection.
Result take(const QByteArray &received);

} // namespace RequestLine
