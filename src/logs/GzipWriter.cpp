#include "logs/GzipWriter.h"

#include <QIODevice>

#include <array>
#include <cstring>

#include <zlib.h>

namespace {

// ID1 ID2, CM = deflate, FLG = 0, no modification time, XFL = 0 and OS = 11.
constexpr std::array<char, 10> header{'\x1F', '\x8B', '\x08', 0, 0, 0, 0, 0, 0, '\x0B'};

// Deflate output is collected in a block of this size before it goes to the device.
constexpr int bufferSize = 64 * 1024;

// Raw deflate data (no zlib header, no Adler-32) at the default level, memory
// level and strategy: the same bytes as in the zlib stream that qCompress gives.
constexpr int rawDeflateWindowBits = -MAX_WBITS;
constexpr int defaultMemLevel = 8;

void putLittleEndian(char* out, quint32 value)
{
    for (int i = 0; i < 4; ++i)
        out[i] = char((value >> (8 * i)) & 0xFFu);
}

} // namespace

struct GzipWriter::State
{
    z_stream stream{};
    bool initialized = false;
    uLong crc = crc32(0L, Z_NULL, 0);
    quint32 size = 0; // modulo 2^32, as the trailer records it
    std::array<char, bufferSize> buffer{};
    int filled = 0;
};

GzipWriter::GzipWriter(QIODevice* device) : m_device(device), m_state(std::make_unique<State>())
{
    State& s = *m_state;
    s.initialized = deflateInit2(&s.stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, rawDeflateWindowBits,
                                 defaultMemLevel, Z_DEFAULT_STRATEGY) == Z_OK;
    m_failed = !s.initialized;
    std::memcpy(s.buffer.data(), header.data(), header.size());
    s.filled = int(header.size());
}

GzipWriter::~GzipWriter()
{
    if (m_state->initialized)
        deflateEnd(&m_state->stream);
}

bool GzipWriter::write(const char* data, qint64 size)
{
    State& s = *m_state;
    const auto* bytes = reinterpret_cast<const Bytef*>(data);
    // zlib counts input in unsigned ints: a larger piece goes in slices.
    while (!m_failed && size > 0) {
        const uInt slice = uInt(qMin<qint64>(size, 1 << 30));
        s.crc = crc32(s.crc, bytes, slice);
        s.size += quint32(slice);
        s.stream.next_in = const_cast<Bytef*>(bytes);
        s.stream.avail_in = slice;
        m_failed = !deflateInput(Z_NO_FLUSH);
        bytes += slice;
        size -= slice;
    }
    return !m_failed;
}

bool GzipWriter::finish()
{
    State& s = *m_state;
    if (m_failed || !deflateInput(Z_FINISH)) {
        m_failed = true;
        return false;
    }
    if (s.filled + 8 > bufferSize && !drain())
        return false;
    putLittleEndian(s.buffer.data() + s.filled, quint32(s.crc));
    putLittleEndian(s.buffer.data() + s.filled + 4, s.size);
    s.filled += 8;
    return drain();
}

// Runs deflate until it has taken all input (and, when finishing, written its
// last block), handing every full block of output to the device.
bool GzipWriter::deflateInput(int flush)
{
    State& s = *m_state;
    for (;;) {
        if (s.filled == bufferSize && !drain())
            return false;
        s.stream.next_out = reinterpret_cast<Bytef*>(s.buffer.data() + s.filled);
        s.stream.avail_out = uInt(bufferSize - s.filled);
        const int result = deflate(&s.stream, flush);
        s.filled = bufferSize - int(s.stream.avail_out);
        if (result == Z_STREAM_END)
            return true;
        // With room for output and input to take, deflate always makes progress.
        if (result != Z_OK)
            return false;
        if (flush == Z_NO_FLUSH && s.stream.avail_in == 0)
            return true;
    }
}

bool GzipWriter::drain()
{
    State& s = *m_state;
    if (m_device->write(s.buffer.data(), s.filled) != s.filled) {
        m_failed = true;
        return false;
    }
    s.filled = 0;
    return true;
}
