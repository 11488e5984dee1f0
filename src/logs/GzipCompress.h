#pragma once

#include <QByteArray>

// Returns `content` as one complete gzip member: a ten-byte header that records
// no name and no time, the raw deflate data of the content at zlib's default
// level, the CRC-32 and the length of the content. Empty only if deflating fails
// for lack of memory. GzipWriter writes the same bytes piece by piece.
QByteArray gzipCompress(const QByteArray& content);
