#pragma once

#include <QByteArray>

#include <string>
#include <vector>

// Turns what a child wrote, read by read, into log lines: a line feed, a
// carriage return or both in that order end a line, empty lines are dropped,
// and a NUL byte ends the text of its line (the lines after it are kept).
// Each read is split on its own, so a line that arrives in two reads becomes
// two lines. The lines of one read are kept in one batch, each as the prefix,
// the text and a line feed, ready for one write to the log file.
class LineSplitter
{
public:
    // Replaces the batch with the lines of one read; returns how many.
    int split(const char* prefix, int prefixLength, const char* data, qint64 size);
    int split(const QByteArray& prefix, const QByteArray& data)
    {
        return split(prefix.constData(), prefix.size(), data.constData(), data.size());
    }

    // Every line of the last read, each ended by a line feed.
    const std::string& batch() const { return m_batch; }
    int lineCount() const { return int(m_lineEnds.size()); }
    // Line `index` of the last read, with its prefix, without its line feed.
    const char* lineData(int index) const;
    int lineLength(int index) const;

    // Lets go of the memory of an unusually large read.
    void shrink();

private:
    std::string m_batch;
    std::vector<size_t> m_lineEnds; // offset of each line's line feed in the batch
};
