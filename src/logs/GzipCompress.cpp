#include "logs/GzipCompress.h"

#include "logs/GzipWriter.h"

#include <QBuffer>

QByteArray gzipCompress(const QByteArray& content)
{
    QByteArray member;
    QBuffer buffer(&member);
    buffer.open(QIODevice::WriteOnly);
    GzipWriter writer(&buffer);
    if (!writer.write(content.constData(), content.size()) || !writer.finish())
        return QByteArray();
    return member;
}
