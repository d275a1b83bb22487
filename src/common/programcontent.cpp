#include "programcontent.h"

#include <QCryptographicHash>

#include <elf.h>

#include <cstring>

namespace ProgramContent {

namespace {

constexpr qint64 maxNoteSegment = 64 * 1024;
constexpr int maxProgramHeaders = 256;

struct Layout
{
    bool is64 = false;
    bool bigEndian = false;

    quint64 read(const QByteArray &bytes, qsizetype offset, int width) const
    {
        if (offset < 0 || offset + width > bytes.size())
            return 0;
        quint64 value = 0;
        for (int i = 0; i < width; ++i) {
            const quint64 byte = quint8(bytes.at(offset + (bigEndian ? i : width - 1 - i)));
            value = (value << 8) | byte;
        }
        return value;
    }
};

QByteArray readExactly(const Reader &read, qint64 size, qint64 offset)
{
    QByteArray bytes(size, Qt::Uninitialized);
    qint64 done = 0;
    while (done < size) {
        const qint64 count = read(bytes.data() + done, size - done, offset + done);
        if (count <= 0)
            return {};
        done += count;
    }
    return bytes;
}

QByteArray buildIdInNotes(const Layout &layout, const QByteArray &notes, qint64 alignment)
{
    const auto aligned = [alignment](qint64 value) {
        return (value + alignment - 1) / alignment * alignment;
    };
    qint64 offset = 0;
    while (offset + 12 <= notes.size()) {
        const qint64 nameSize = qint64(layout.read(notes, offset, 4));
        const qint64 descSize = qint64(layout.read(notes, offset + 4, 4));
        const quint64 type = layout.read(notes, offset + 8, 4);
        const qint64 name = offset + 12;
        const qint64 desc = name + aligned(nameSize);
        if (nameSize > notes.size() || descSize > notes.size() || desc + descSize > notes.size())
            return {};
        if (type == NT_GNU_BUILD_ID && nameSize == 4 && notes.mid(name, 4) == QByteArray("GNU", 4)
            && descSize > 0)
            return notes.mid(desc, descSize);
        offset = desc + aligned(descSize);
    }
    return {};
}

} // namespace

QByteArray elfBuildId(const Reader &read)
{
    const QByteArray header = readExactly(read, 64, 0);
    if (header.size() < 52 || !header.startsWith(ELFMAG))
        return {};
    Layout layout;
    layout.is64 = header.at(EI_CLASS) == ELFCLASS64;
    layout.bigEndian = header.at(EI_DATA) == ELFDATA2MSB;
    if (!layout.is64 && header.at(EI_CLASS) != ELFCLASS32)
        return {};
    const quint64 phoff = layout.is64 ? layout.read(header, 32, 8) : layout.read(header, 28, 4);
    const quint64 phentsize = layout.read(header, layout.is64 ? 54 : 42, 2);
    const quint64 phnum = layout.read(header, layout.is64 ? 56 : 44, 2);
    const quint64 minimum = layout.is64 ? sizeof(Elf64_Phdr) : sizeof(Elf32_Phdr);
    if (phnum == 0 || phnum > maxProgramHeaders || phentsize < minimum || phentsize > 256
        || phoff > quint64(1) << 40)
        return {};
    const QByteArray headers = readExactly(read, qint64(phnum * phentsize), qint64(phoff));
    if (headers.isEmpty())
        return {};
    for (quint64 i = 0; i < phnum; ++i) {
        const qsizetype at = qsizetype(i * phentsize);
        if (layout.read(headers, at, 4) != PT_NOTE)
            continue;
        const quint64 offset
                = layout.is64 ? layout.read(headers, at + 8, 8) : layout.read(headers, at + 4, 4);
        const quint64 size
                = layout.is64 ? layout.read(headers, at + 32, 8) : layout.read(headers, at + 16, 4);
        const quint64 align
                = layout.is64 ? layout.read(headers, at + 48, 8) : layout.read(headers, at + 28, 4);
        if (size == 0 || size > quint64(maxNoteSegment) || offset > quint64(1) << 40)
            continue;
        const QByteArray notes = readExactly(read, qint64(size), qint64(offset));
        const QByteArray id = buildIdInNotes(layout, notes, align == 8 ? 8 : 4);
        if (!id.isEmpty())
            return id;
    }
    return {};
}

std::optional<QByteArray> sha256(const Reader &read, qint64 size,
                                 std::chrono::steady_clock::time_point deadline)
{
    constexpr qint64 piece = 1 << 20;
    QCryptographicHash hash(QCryptographicHash::Sha256);
    QByteArray buffer(piece, Qt::Uninitialized);
    for (qint64 offset = 0; offset < size;) {
        if (std::chrono::steady_clock::now() > deadline)
            return std::nullopt;
        const qint64 count = read(buffer.data(), std::min(piece, size - offset), offset);
        if (count <= 0)
            return std::nullopt;
        hash.addData(QByteArrayView(buffer.constData(), count));
        offset += count;
    }
    return hash.result();
}

} // namespace ProgramContent
