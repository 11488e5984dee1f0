#include "logs/LineSplitter.h"

#include <cstring>

namespace {

// A batch larger than this is not kept for the next read.
const size_t KeptCapacity = 1 << 20;

} // namespace

int LineSplitter::split(const char* prefix, int prefixLength, const char* data, qint64 size)
{
    m_batch.clear();
    m_lineEnds.clear();
    const char* const end = data + size;
    const auto nextLineFeed = [end](const char* from) {
        const auto* found = static_cast<const char*>(std::memchr(from, '\n', size_t(end - from)));
        return found ? found : end;
    };
    // The next line feed, looked for once for all the lines that lone
    // carriage returns end before it.
    const char* lineFeed = nextLineFeed(data);
    for (const char* begin = data; begin < end;) {
        if (lineFeed < begin)
            lineFeed = nextLineFeed(begin);
        const auto* cr =
            static_cast<const char*>(std::memchr(begin, '\r', size_t(lineFeed - begin)));
        const char* lineEnd = cr ? cr : lineFeed;
        const char* next = lineEnd;
        if (next < end) {
            if (*next == '\r' && next + 1 < end && next[1] == '\n')
                ++next;
            ++next;
        }
        const auto* nul = static_cast<const char*>(std::memchr(begin, 0, size_t(lineEnd - begin)));
        const char* textEnd = nul ? nul : lineEnd;
        if (textEnd > begin) {
            m_batch.append(prefix, size_t(prefixLength)).append(begin, size_t(textEnd - begin));
            m_lineEnds.push_back(m_batch.size());
            m_batch += '\n';
        }
        begin = next;
    }
    return lineCount();
}

const char* LineSplitter::lineData(int index) const
{
    return m_batch.data() + (index == 0 ? 0 : m_lineEnds[size_t(index) - 1] + 1);
}

int LineSplitter::lineLength(int index) const
{
    return int(m_batch.data() + m_lineEnds[size_t(index)] - lineData(index));
}

void LineSplitter::shrink()
{
    if (m_batch.capacity() > KeptCapacity) {
        std::string().swap(m_batch);
        std::vector<size_t>().swap(m_lineEnds);
    }
}
