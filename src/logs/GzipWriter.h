#pragma once

#include <QtGlobal>

#include <memory>

class QIODevice;

// Writes one gzip member to a device as its content comes in, in pieces of any
// size: a ten-byte header that records no name and no time, the raw deflate
// data at zlib's default level, the CRC-32 and the length of the content modulo
// 2^32. Memory stays bounded whatever the length of the content, and the bytes
// written do not depend on how the content is cut into pieces.
class GzipWriter
{
public:
    explicit GzipWriter(QIODevice* device);
    ~GzipWriter();
    GzipWriter(const GzipWriter&) = delete;
    GzipWriter& operator=(const GzipWriter&) = delete;

    // Compresses the next piece of the content. False once deflating or
    // writing to the device has failed; every later call then fails, too.
    bool write(const char* data, qint64 size);
    // Writes what deflate still holds and the trailer, once, after the last
    // piece. True only if the whole member has reached the device.
    bool finish();

private:
    struct State;

    bool deflateInput(int flush);
    bool drain();

    QIODevice* m_device;
    std::unique_ptr<State> m_state;
    bool m_failed = false;
};
