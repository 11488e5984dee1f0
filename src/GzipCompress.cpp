#include "GzipCompress.h"

#include <QDataStream>

#include <array>

namespace {

// Reflected form of the CRC-32 polynomial 0x04C11DB7.
constexpr quint32 crcPolynomial = 0xEDB88320u;

const std::array<quint32, 256>& crcTable()
{
    static const std::array<quint32, 256> table = [] {
        std::array<quint32, 256> entries{};
        for (quint32 n = 0; n < entries.size(); ++n) {
            quint32 c = n;
            for (int bit = 0; bit < 8; ++bit)
                c = (c & 1u) ? crcPolynomial ^ (c >> 1) : c >> 1;
            entries[n] = c;
        }
        return entries;
    }();
    return table;
}

quint32 crc32(const QByteArray& content)
{
    const std::array<quint32, 256>& table = crcTable();
    quint32 crc = 0xFFFFFFFFu;
    for (const char byte : content)
        crc = table[(crc ^ static_cast<quint8>(byte)) & 0xFFu] ^ (crc >> 8);
    return ~crc;
}

// The raw deflate data of `content`. qCompress returns a 4-byte length followed
// by a zlib stream, whose 2-byte header and 4-byte Adler-32 trailer are cut off.
// For empty input qCompress returns the length alone, without a stream, so the
// deflate data of nothing (one final fixed-code block holding just its end code,
// as zlib writes it) are given directly.
QByteArray rawDeflate(const QByteArray& content)
{
    if (content.isEmpty())
        return QByteArray::fromRawData("\x03\x00", 2);
    const QByteArray stream = qCompress(content);
    constexpr int prefixSize = 4 + 2;
    constexpr int trailerSize = 4;
    if (stream.size() < prefixSize + trailerSize)
        return QByteArray();
    return stream.mid(prefixSize, stream.size() - prefixSize - trailerSize);
}

} // namespace

QByteArray gzipCompress(const QByteArray& content)
{
    const QByteArray deflated = rawDeflate(content);
    if (deflated.isEmpty())
        return QByteArray();

    QByteArray member;
    member.reserve(10 + deflated.size() + 8);
    QDataStream out(&member, QIODevice::WriteOnly);

    // ID1 ID2, CM = deflate and FLG = 0, no modification time, XFL = 0 and OS = 11.
    out.setByteOrder(QDataStream::BigEndian);
    out << quint16(0x1F8B) << quint16(0x0800) << quint16(0x0000) << quint16(0x0000)
        << quint16(0x000B);
    out.writeRawData(deflated.constData(), deflated.size());

    out.setByteOrder(QDataStream::LittleEndian);
    out << crc32(content) << quint32(content.size());
    return member;
}
