#include "logs/GzipWriter.h"

#include <QIODevice>

#include <array>

#include <zlib.h>

namespace {

// Deflate output is collected in a block of this size before it goes to the device.
constexpr int bufferSize = 64 * 1024;

// zlib writes the gzip framing around the deflate data (window bits + 16): the
// header, then the CRC-32 and the length of the content modulo 2^32. The
// deflate data is that of the zlib stream that qCompress gives: the default
// level, memory level and strategy.
constexpr int gzipWindowBits = 16 + MAX_WBITS;
constexpr int defaultMemLevel = 8;
// The header records no name, no comment and no time, and the system byte
// that the launcher's members have always carried (11), so that a log
// compresses to the same bytes as before.
constexpr int headerSystem = 11;

} // namespace

struct GzipWriter::State
{
    z_stream stream{};
    gz_header header{};
    bool initialized = false;
    std::array<char, bufferSize> buffer{};
    int filled = 0;
};

GzipWriter::GzipWriter(QIODevice* device) : m_device(device), m_state(std::make_unique<State>())
{
    State& s = *m_state;
    s.initialized = deflateInit2(&s.stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, gzipWindowBits,
                                 defaultMemLevel, Z_DEFAULT_STRATEGY) == Z_OK;
    s.header.os = headerSystem;
    m_failed = !s.initialized || deflateSetHeader(&s.stream, &s.header) != Z_OK;
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
    if (m_failed || !deflateInput(Z_FINISH)) {
        m_failed = true;
        return false;
    }
    return drain();
}

// Runs deflate until it has taken all input (and, when finishing, written its
// last block and the trailer), handing every full block of output to the device.
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
