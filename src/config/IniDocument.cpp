#include "config/IniDocument.h"

#include <algorithm>
#include <cstring>

namespace {

// How QSettings classes the bytes of a line: blanks between lines, and the
// characters that end a run of plain text.
enum : uchar
{
    Blank = 1,
    Special = 2,
};

struct CharClasses
{
    uchar of[256] = {};
    constexpr CharClasses()
    {
        of[uchar(' ')] = Blank;
        of[uchar('\t')] = Blank;
        of[uchar('\n')] = Blank | Special;
        of[uchar('\r')] = Blank | Special;
        of[uchar('"')] = Special;
        of[uchar(';')] = Special;
        of[uchar('=')] = Special;
        of[uchar('\\')] = Special;
    }
};

constexpr CharClasses classes;

bool isBlank(char c)
{
    return classes.of[uchar(c)] & Blank;
}

// The blanks around a group name.
bool isSpace(char c)
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}

// The next line from `pos`, as QSettings splits lines: blanks before it and
// ';' comments are skipped; a quoted stretch and a backslash carry it over
// a line break (`multiline` tells); an unquoted ';' ends it. `equalsPos` is
// its first unquoted '=', or -1. False when no line is left.
bool readLine(const char* data, int size, int& pos, int& lineStart, int& lineLength, int& equalsPos,
              bool& multiline)
{
    bool inQuotes = false;
    equalsPos = -1;
    multiline = false;
    lineStart = pos;
    while (lineStart < size && isBlank(data[lineStart]))
        ++lineStart;
    int i = lineStart;
    while (i < size) {
        char c = data[i];
        while (!(classes.of[uchar(c)] & Special)) {
            if (++i == size)
                goto done;
            c = data[i];
        }
        ++i;
        if (c == '=') {
            if (!inQuotes && equalsPos == -1)
                equalsPos = i - 1;
        } else if (c == '\n' || c == '\r') {
            if (i == lineStart + 1) {
                ++lineStart;
            } else if (!inQuotes) {
                --i;
                goto done;
            } else {
                multiline = true;
            }
        } else if (c == '\\') {
            if (i < size) {
                const char next = data[i++];
                if (next == '\n' || next == '\r')
                    multiline = true;
                if (i < size &&
                    ((next == '\n' && data[i] == '\r') || (next == '\r' && data[i] == '\n')))
                    ++i;
            }
        } else if (c == '"') {
            inQuotes = !inQuotes;
        } else { // ';'
            if (i == lineStart + 1) {
                while (i < size && data[i] != '\n' && data[i] != '\r')
                    ++i;
                while (i < size && isBlank(data[i]))
                    ++i;
                lineStart = i;
            } else if (!inQuotes) {
                --i;
                goto done;
            }
        }
    }
done:
    pos = i;
    lineLength = i - lineStart;
    return lineLength > 0;
}

// Paths in the order of QString's operator<, by UTF-16 code units; inline,
// since the look-ups of every key of every file loaded come here.
int compareUnits(const QChar* a, int aSize, const QChar* b, int bSize)
{
    const int size = std::min(aSize, bSize);
    for (int i = 0; i < size; ++i) {
        if (a[i] != b[i])
            return a[i].unicode() < b[i].unicode() ? -1 : 1;
    }
    return aSize == bSize ? 0 : (aSize < bSize ? -1 : 1);
}

bool isLess(const QString& a, const QString& b)
{
    return compareUnits(a.constData(), a.size(), b.constData(), b.size()) < 0;
}

bool isContinuation(uchar c)
{
    return (c & 0xc0) == 0x80;
}

// True when the bytes are UTF-8 that every decoder reads alike: no NUL, no
// overlong form, surrogate or code point beyond U+10FFFF, and no character
// that a decoder may drop or replace (a byte-order mark, a noncharacter).
bool isPlainUtf8(const char* data, int size)
{
    const auto* p = reinterpret_cast<const uchar*>(data);
    const uchar* const end = p + size;
    while (p < end) {
        // Eight bytes at a time while they are ASCII and no NUL.
        while (end - p >= 8) {
            quint64 word;
            std::memcpy(&word, p, 8);
            const quint64 high = 0x8080808080808080ULL;
            if ((word & high) || ((word - 0x0101010101010101ULL) & ~word & high))
                break;
            p += 8;
        }
        if (p == end)
            break;
        const uchar c = *p;
        if (c >= 0x01 && c < 0x80) {
            ++p;
            continue;
        }
        uint code = 0;
        int length = 0;
        if (c >= 0xc2 && c <= 0xdf) {
            code = c & 0x1f;
            length = 2;
        } else if (c >= 0xe0 && c <= 0xef) {
            code = c & 0x0f;
            length = 3;
        } else if (c >= 0xf0 && c <= 0xf4) {
            code = c & 0x07;
            length = 4;
        } else {
            return false; // NUL, a stray continuation byte, or no UTF-8 lead byte
        }
        if (end - p < length)
            return false;
        for (int i = 1; i < length; ++i) {
            if (!isContinuation(p[i]))
                return false;
            code = (code << 6) | (p[i] & 0x3f);
        }
        const uint least[] = {0, 0, 0x80, 0x800, 0x10000};
        if (code < least[length] || code > 0x10ffff || (code >= 0xd800 && code <= 0xdfff) ||
            code == 0xfeff || (code >= 0xfdd0 && code <= 0xfdef) || (code & 0xfffe) == 0xfffe)
            return false;
        p += length;
    }
    return true;
}

bool isHexDigit(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

int hexValue(char c)
{
    return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10;
}

// QSettings trims a value's unquoted end of blanks, but not what an escape or
// a quote put there.
void chopTrailingBlanks(QString& text, int limit)
{
    int n = text.size();
    while (n > limit && (text.at(n - 1) == QLatin1Char(' ') || text.at(n - 1) == QLatin1Char('\t')))
        --n;
    text.truncate(n);
}

// What a backslash followed by `c` stands for; 0 when no simple escape.
char simpleEscape(char c)
{
    switch (c) {
    case 'a':
        return '\a';
    case 'b':
        return '\b';
    case 'f':
        return '\f';
    case 'n':
        return '\n';
    case 'r':
        return '\r';
    case 't':
        return '\t';
    case 'v':
        return '\v';
    case '"':
    case '?':
    case '\'':
    case '\\':
        return c;
    default:
        return 0;
    }
}

} // namespace

IniDocument::IniDocument(const QByteArray& content)
{
    parse(content);
    if (!isSupported())
        return;
    // Sorted as QSettings lists them; of one path written twice the later counts.
    std::stable_sort(m_entries.begin(), m_entries.end(),
                     [](const Entry& a, const Entry& b) { return isLess(a.key, b.key); });
    auto kept = m_entries.begin();
    for (auto it = m_entries.begin(); it != m_entries.end(); ++it) {
        if (it + 1 != m_entries.end() && (it + 1)->key == it->key)
            continue;
        if (kept != it)
            *kept = std::move(*it);
        ++kept;
    }
    m_entries.erase(kept, m_entries.end());
}

void IniDocument::refuse(const QString& why)
{
    m_unsupported = why;
    m_entries.clear();
}

void IniDocument::parse(const QByteArray& content)
{
    const char* const data = content.constData();
    const int size = content.size();
    const int byteOrderMark = content.startsWith("\xef\xbb\xbf") ? 3 : 0;
    int pos = byteOrderMark;
    if (!isPlainUtf8(data + pos, size - pos))
        return refuse(QStringLiteral("text that is not plain UTF-8"));

    // Where the line of a byte-order mark ends.
    int firstLineEnd = byteOrderMark;
    while (byteOrderMark > 0 && firstLineEnd < size && data[firstLineEnd] != '\n' &&
           data[firstLineEnd] != '\r')
        ++firstLineEnd;

    QString section; // empty at the top, else the group's name and '/'
    int lineStart = 0;
    int lineLength = 0;
    int equalsPos = -1;
    bool multiline = false;
    while (readLine(data, size, pos, lineStart, lineLength, equalsPos, multiline)) {
        const int lineEnd = lineStart + lineLength;
        if (multiline)
            return refuse(QStringLiteral("a line that goes on over the next"));
        if (data[lineStart] == '[') {
            const void* close = std::memchr(data + lineStart, ']', size_t(lineLength));
            if (!close)
                return refuse(QStringLiteral("a group without ']'"));
            // Trimmed of what QByteArray::trimmed() takes for blanks (here by
            // hand: trimming a QByteArray over the content would write to it).
            int nameStart = lineStart + 1;
            int nameEnd = int(static_cast<const char*>(close) - data);
            while (nameStart < nameEnd && isSpace(data[nameStart]))
                ++nameStart;
            while (nameEnd > nameStart && isSpace(data[nameEnd - 1]))
                --nameEnd;
            const QLatin1String name(data + nameStart, nameEnd - nameStart);
            if (name.compare(QLatin1String("general"), Qt::CaseInsensitive) == 0) {
                section.clear();
                continue;
            }
            section.clear();
            if (name.compare(QLatin1String("%general"), Qt::CaseInsensitive) == 0)
                section = name.mid(1);
            else if (!unescapeName(data, nameStart, nameEnd, section))
                return;
            // QSettings files a group inside a group apart from its parent.
            if (section.isEmpty() || section.contains(QLatin1Char('/')))
                return refuse(QStringLiteral("a group name that is empty or holds '/' or '\\'"));
            section += QLatin1Char('/');
            continue;
        }
        if (equalsPos < 0)
            continue; // no key: QSettings skips the line
        // QSettings skips a byte-order mark before the first group, but not
        // before a key on its line, whose name then begins with it.
        if (byteOrderMark > 0 && lineStart < firstLineEnd)
            return refuse(QStringLiteral("a key on the line of the byte-order mark"));
        int keyEnd = equalsPos;
        while (keyEnd > lineStart && (data[keyEnd - 1] == ' ' || data[keyEnd - 1] == '\t'))
            --keyEnd;
        addEntry(section, data, lineStart, keyEnd, equalsPos + 1, lineEnd);
        if (!isSupported())
            return;
    }
}

void IniDocument::addEntry(const QString& section, const char* data, int keyStart, int keyEnd,
                           int valueStart, int valueEnd)
{
    QString key;
    key.reserve(section.size() + (keyEnd - keyStart));
    key += section;
    if (!unescapeName(data, keyStart, keyEnd, key))
        return;
    const QStringView name = QStringView(key).mid(section.size());
    // A path with an empty part, or one outside any group that names a group,
    // is filed by QSettings where the order of look-ups decides what it finds.
    if (name.isEmpty() || name.startsWith(QLatin1Char('/')) || name.endsWith(QLatin1Char('/')) ||
        name.indexOf(QLatin1String("//")) >= 0 ||
        (section.isEmpty() && name.indexOf(QLatin1Char('/')) >= 0))
        return refuse(QStringLiteral("a key name that is empty, or has an empty part, or a "
                                     "group outside any group"));
    Entry entry;
    if (!unescapeValue(data, valueStart, valueEnd, entry.value))
        return;
    entry.key = std::move(key);
    m_entries.push_back(std::move(entry));
}

// Names are Latin-1, with '\' for '/', %XX for a byte and %UXXXX for a
// UTF-16 code unit; a '%' that starts no escape stands for itself.
bool IniDocument::unescapeName(const char* data, int from, int to, QString& name)
{
    const char* const text = data + from;
    const size_t length = size_t(to - from);
    if (!std::memchr(text, '%', length) && !std::memchr(text, '\\', length)) {
        name += QLatin1String(text, int(length));
        return true;
    }
    name.reserve(name.size() + (to - from));
    int i = from;
    while (i < to) {
        const char c = data[i];
        if (c == '\\') {
            name += QLatin1Char('/');
            ++i;
            continue;
        }
        if (c != '%' || i == to - 1) {
            name += QLatin1Char(c);
            ++i;
            continue;
        }
        int digits = 2;
        int first = i + 1;
        if (data[first] == 'U') {
            ++first;
            digits = 4;
        }
        if (first + digits > to) {
            name += QLatin1Char('%');
            ++i;
            continue;
        }
        int code = 0;
        for (int j = first; j < first + digits; ++j) {
            // QSettings reads the digits as a number, signs and blanks included.
            if (!isHexDigit(data[j])) {
                refuse(QStringLiteral("a '%' in a name followed by no hexadecimal number"));
                return false;
            }
            code = code * 16 + hexValue(data[j]);
        }
        name += QChar(ushort(code));
        i = first + digits;
    }
    return true;
}

// A value as QSettings reads it: blanks around it and after a closing quote
// dropped; a quoted stretch kept as written; escapes; an unquoted comma makes
// a list of the texts between commas. A text that begins with '@' is a
// typed value, unless it begins with "@@", which stands for '@'.
bool IniDocument::unescapeValue(const char* data, int from, int to, QVariant& value)
{
    // Most values are one plain text: no escape, quote or list.
    bool plainText = true;
    for (int i = from; i < to && plainText; ++i)
        plainText = data[i] != '\\' && data[i] != '"' && data[i] != ',';
    if (plainText) {
        while (from < to && (data[from] == ' ' || data[from] == '\t'))
            ++from;
        while (to > from && (data[to - 1] == ' ' || data[to - 1] == '\t'))
            --to;
        if (from < to && data[from] == '@') {
            if (to - from < 2 || data[from + 1] != '@') {
                refuse(QStringLiteral("a value that begins with '@' (a typed value)"));
                return false;
            }
            ++from;
        }
        // QSettings gives an empty value as an empty text, never a null one.
        value = from < to ? QString::fromUtf8(data + from, to - from) : QString(QLatin1String(""));
        return true;
    }

    QString text;
    QStringList list;
    bool isList = false;
    bool inQuotes = false;
    bool quoted = false; // the current text: its trailing blanks are kept
    int chopLimit = 0;
    int i = from;
    const auto skipBlanks = [&] {
        while (i < to && (data[i] == ' ' || data[i] == '\t'))
            ++i;
        chopLimit = text.size();
    };
    skipBlanks();
    while (i < to) {
        const char c = data[i];
        if (c == '\\') {
            if (++i >= to) {
                refuse(QStringLiteral("a value that ends with a backslash"));
                return false;
            }
            const char escaped = data[i++];
            if (const char meaning = simpleEscape(escaped)) {
                text += QLatin1Char(meaning);
            } else if (escaped == 'x' || (escaped >= '0' && escaped <= '7')) {
                refuse(QStringLiteral("an octal or hexadecimal escape in a value"));
                return false;
            }
            // Any other escaped character is dropped with its backslash.
            chopLimit = text.size();
        } else if (c == '"') {
            ++i;
            quoted = true;
            inQuotes = !inQuotes;
            if (!inQuotes)
                skipBlanks();
        } else if (c == ',' && !inQuotes) {
            if (!quoted)
                chopTrailingBlanks(text, chopLimit);
            isList = true;
            list.append(text);
            text.clear();
            quoted = false;
            ++i;
            skipBlanks();
        } else {
            int j = i + 1;
            while (j < to && data[j] != '\\' && data[j] != '"' && data[j] != ',')
                ++j;
            text += QString::fromUtf8(data + i, j - i);
            i = j;
        }
    }
    if (!quoted)
        chopTrailingBlanks(text, chopLimit);

    const auto plain = [this](QString& item) {
        if (!item.startsWith(QLatin1Char('@')))
            return true;
        if (item.startsWith(QLatin1String("@@"))) {
            item.remove(0, 1);
            return true;
        }
        refuse(QStringLiteral("a value that begins with '@' (a typed value)"));
        return false;
    };
    if (!isList) {
        if (!plain(text))
            return false;
        // QSettings gives an empty value as an empty text, never a null one.
        value = text.isNull() ? QString(QLatin1String("")) : text;
        return true;
    }
    list.append(text);
    for (QString& item : list) {
        if (!plain(item))
            return false;
    }
    value = list;
    return true;
}

std::vector<IniDocument::Entry>::const_iterator IniDocument::groupBegin() const
{
    return std::lower_bound(
        m_entries.cbegin(), m_entries.cend(), m_prefix,
        [](const Entry& entry, const QString& prefix) { return isLess(entry.key, prefix); });
}

QVariant IniDocument::value(const QString& key, const QVariant& defaultValue) const
{
    // The path is m_prefix followed by key, compared in its two parts.
    const auto compare = [this, &key](const QString& path) {
        const int prefixSize = m_prefix.size();
        const int head = compareUnits(path.constData(), std::min(path.size(), prefixSize),
                                      m_prefix.constData(), prefixSize);
        if (head != 0)
            return head;
        return compareUnits(path.constData() + prefixSize, path.size() - prefixSize,
                            key.constData(), key.size());
    };
    const auto it =
        std::lower_bound(m_entries.cbegin(), m_entries.cend(), 0,
                         [&compare](const Entry& entry, int) { return compare(entry.key) < 0; });
    return it != m_entries.cend() && compare(it->key) == 0 ? it->value : defaultValue;
}

QStringList IniDocument::allKeys() const
{
    QStringList keys;
    for (auto it = groupBegin(); it != m_entries.cend() && it->key.startsWith(m_prefix); ++it)
        keys.append(it->key.mid(m_prefix.size()));
    return keys;
}

QStringList IniDocument::childKeys() const
{
    QStringList keys;
    for (auto it = groupBegin(); it != m_entries.cend() && it->key.startsWith(m_prefix); ++it) {
        if (it->key.indexOf(QLatin1Char('/'), m_prefix.size()) < 0)
            keys.append(it->key.mid(m_prefix.size()));
    }
    return keys;
}

QStringList IniDocument::childGroups() const
{
    QStringList groups;
    QStringView last;
    for (auto it = groupBegin(); it != m_entries.cend() && it->key.startsWith(m_prefix); ++it) {
        const int slash = it->key.indexOf(QLatin1Char('/'), m_prefix.size());
        if (slash < 0)
            continue;
        const QStringView group =
            QStringView(it->key).mid(m_prefix.size(), slash - m_prefix.size());
        if (group != last) {
            groups.append(group.toString());
            last = group;
        }
    }
    // "a-b/x" sorts before "a/x", but the group "a" before "a-b".
    std::sort(groups.begin(), groups.end());
    groups.erase(std::unique(groups.begin(), groups.end()), groups.end());
    return groups;
}

void IniDocument::beginGroup(const QString& group)
{
    m_prefixSizes.push_back(m_prefix.size());
    if (!group.isEmpty())
        m_prefix += group + QLatin1Char('/');
}

void IniDocument::endGroup()
{
    if (m_prefixSizes.empty())
        return;
    m_prefix.truncate(m_prefixSizes.back());
    m_prefixSizes.pop_back();
}
