#include "requestline.h"

namespace RequestLine {

Result take(const QByteArray &received)
{
    const qsizetype newline = received.indexOf('\n');
    if (newline < 0)
        return {received.size() > maxLength ? Status::TooLong : Status::Incomplete, {}};
    if (newline > maxLength)
        return {Status::TooLong, {}};
    return {Status::Complete, received.left(newline).trimmed()};
}

} // namespace RequestLine
