// What a client sends on the single-instance socket, as it arrives.
#include "requestline.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    // Bytes arrive in pieces: every prefix is a state the server can be in.
    for (qsizetype end = 0; end <= bytes.size(); end += 1 + end / 4) {
        const RequestLine::Result line = RequestLine::take(bytes.left(end));
        if (line.status == RequestLine::Status::Complete
            && (line.request.size() > RequestLine::maxLength || line.request.contains('\n')))
            std::abort();
        if (line.status == RequestLine::Status::Incomplete && end > RequestLine::maxLength)
            std::abort(); // a client may never hold a connection with an endless line
    }
    return 0;
}
