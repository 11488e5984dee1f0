#include "GzipCompress.h"

#include <QProcess>
#include <QRandomGenerator>
#include <QTest>
#include <QtEndian>

#include <zlib.h>

namespace {

const QByteArray gzipHeader = QByteArray::fromHex("1f8b08000000000000"
                                                  "0b");

// Inflates exactly one gzip member with zlib, which checks the CRC-32 and the
// length of the trailer itself; anything after the member is an error.
bool zlibGunzip(const QByteArray& member, QByteArray& content, QString& error)
{
    z_stream stream{};
    if (inflateInit2(&stream, 16 + MAX_WBITS) != Z_OK) {
        error = QStringLiteral("inflateInit2 failed");
        return false;
    }
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(member.constData()));
    stream.avail_in = static_cast<uInt>(member.size());
    content.clear();
    char chunk[65536];
    int result = Z_OK;
    while (result == Z_OK) {
        stream.next_out = reinterpret_cast<Bytef*>(chunk);
        stream.avail_out = sizeof(chunk);
        result = inflate(&stream, Z_NO_FLUSH);
        content.append(chunk, int(sizeof(chunk) - stream.avail_out));
    }
    const uInt trailing = stream.avail_in;
    inflateEnd(&stream);
    if (result != Z_STREAM_END) {
        error = QStringLiteral("inflate ended with %1").arg(result);
        return false;
    }
    if (trailing != 0) {
        error = QStringLiteral("%1 bytes after the member").arg(trailing);
        return false;
    }
    return true;
}

// The system's gzip, with its own integrity check; it fails on trailing data too.
bool toolGunzip(const QByteArray& member, QByteArray& content, QString& error)
{
    QProcess gzip;
    gzip.start(QStringLiteral("gzip"), {QStringLiteral("-dc")});
    if (!gzip.waitForStarted(30000)) {
        error = gzip.errorString();
        return false;
    }
    gzip.write(member);
    gzip.closeWriteChannel();
    if (!gzip.waitForFinished(60000) || gzip.exitStatus() != QProcess::NormalExit ||
        gzip.exitCode() != 0) {
        error = QStringLiteral("gzip -dc failed: ") +
                QString::fromLocal8Bit(gzip.readAllStandardError());
        return false;
    }
    content = gzip.readAllStandardOutput();
    return true;
}

// What zlib's own one-shot compressor makes of the content at its default
// level, without the zlib stream's header and Adler-32 trailer.
QByteArray zlibDefaultDeflate(const QByteArray& content)
{
    uLongf size = compressBound(uLong(content.size()));
    QByteArray stream(int(size), Qt::Uninitialized);
    if (compress2(reinterpret_cast<Bytef*>(stream.data()), &size,
                  reinterpret_cast<const Bytef*>(content.constData()), uLong(content.size()),
                  Z_DEFAULT_COMPRESSION) != Z_OK)
        return QByteArray();
    return stream.mid(2, int(size) - 6);
}

quint32 littleEndianAt(const QByteArray& data, int offset)
{
    return qFromLittleEndian<quint32>(data.constData() + offset);
}

QByteArray randomBytes(int size)
{
    QRandomGenerator generator(20170301);
    QByteArray bytes(size, Qt::Uninitialized);
    generator.fillRange(reinterpret_cast<quint32*>(bytes.data()), size / 4);
    return bytes;
}

QByteArray logText(int lines)
{
    QByteArray text;
    for (int i = 0; i < lines; ++i)
        text +=
            "[2017-03-01 12:00:00.000] [ 4242 ] player: frame " + QByteArray::number(i) + "\r\n";
    return text;
}

} // namespace

class TestGzipCompress : public QObject
{
    Q_OBJECT

private slots:
    void exactMember_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QByteArray>("member");
        QTest::newRow("abc") << QByteArray("abc")
                             << QByteArray::fromHex("1f8b080000000000000b"
                                                    "4b4c4a0600"
                                                    "c2412435"
                                                    "03000000");
        QTest::newRow("empty") << QByteArray()
                               << QByteArray::fromHex("1f8b080000000000000b"
                                                      "0300"
                                                      "00000000"
                                                      "00000000");
    }

    void exactMember()
    {
        QFETCH(QByteArray, content);
        QFETCH(QByteArray, member);
        QCOMPARE(gzipCompress(content).toHex(' '), member.toHex(' '));
    }

    void roundTrip_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("one zero byte") << QByteArray(1, '\0');
        QTest::newRow("every byte value") << [] {
            QByteArray all;
            for (int i = 0; i < 256; ++i)
                all.append(char(i));
            return all;
        }();
        QTest::newRow("log text") << logText(20000);
        QTest::newRow("random 3 MiB") << randomBytes(3 << 20);
    }

    void roundTrip()
    {
        QFETCH(QByteArray, content);
        const QByteArray member = gzipCompress(content);

        QCOMPARE(member.left(10).toHex(' '), gzipHeader.toHex(' '));
        QVERIFY(member.size() >= 20);
        const int trailer = member.size() - 8;
        QCOMPARE(littleEndianAt(member, trailer),
                 quint32(crc32(0, reinterpret_cast<const Bytef*>(content.constData()),
                               uInt(content.size()))));
        QCOMPARE(littleEndianAt(member, trailer + 4), quint32(content.size()));
        if (!content.isEmpty())
            QVERIFY(member.mid(10, trailer - 10) == zlibDefaultDeflate(content));

        QByteArray inflated;
        QString error;
        QVERIFY2(zlibGunzip(member, inflated, error), qPrintable(error));
        QVERIFY(inflated == content);
        QVERIFY2(toolGunzip(member, inflated, error), qPrintable(error));
        QVERIFY(inflated == content);
    }
};

QTEST_GUILESS_MAIN(TestGzipCompress)
#include "TestGzipCompress.moc"
