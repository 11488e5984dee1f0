#include "ConfigLinter.h"

#include "config/ConfigKeys.h"
#include "config/ProcessModeResult.h"
#include "config/ReadyGate.h"
#include "config/SettingsFile.h"

#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QStringList>
#include <QTextCodec>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstring>
#include <vector>

using ConfigKeys::File;
using ConfigKeys::Kind;
using Severity = ConfigProblem::Severity;

namespace {

// Levenshtein distance, letter case aside.
int editDistance(const QString& a, const QString& b)
{
    const QString x = a.toLower();
    const QString y = b.toLower();
    std::vector<int> row(size_t(y.size()) + 1);
    for (int j = 0; j <= y.size(); ++j)
        row[size_t(j)] = j;
    for (int i = 1; i <= x.size(); ++i) {
        int diagonal = row[0];
        row[0] = i;
        for (int j = 1; j <= y.size(); ++j) {
            const int above = row[size_t(j)];
            row[size_t(j)] = std::min(
                {above + 1, row[size_t(j) - 1] + 1, diagonal + (x[i - 1] == y[j - 1] ? 0 : 1)});
            diagonal = above;
        }
    }
    return row[size_t(y.size())];
}

QString didYouMean(const QString& suggestion, const QString& before, const QString& after)
{
    return suggestion.isEmpty()
               ? QString()
               : QStringLiteral("; did you mean %1%2%3?").arg(before, suggestion, after);
}

// The readers' conversion of a boolean text.
bool isPlainBoolean(const QString& lower)
{
    return lower.isEmpty() || lower == QLatin1String("true") || lower == QLatin1String("false") ||
           lower == QLatin1String("1") || lower == QLatin1String("0");
}

bool meansNo(const QString& lower)
{
    static const QStringList words{"no",      "n",    "off", "none", "never", "disabled",
                                   "disable", "nein", "non", "f",    "null",  "nil"};
    return words.contains(lower);
}

// What the settings reader makes of a backslash followed by `c`; empty when
// that is the character the writer most likely meant.
QString escapeMeaning(char c)
{
    switch (c) {
    case '\\':
    case '"':
    case '\'':
    case '?':
        return QString();
    case 'a':
        return QStringLiteral("a bell character");
    case 'b':
        return QStringLiteral("a backspace");
    case 'f':
        return QStringLiteral("a form feed");
    case 'n':
        return QStringLiteral("a line feed");
    case 'r':
        return QStringLiteral("a carriage return");
    case 't':
        return QStringLiteral("a tab");
    case 'v':
        return QStringLiteral("a vertical tab");
    case 'x':
        return QStringLiteral("the character of the hexadecimal code that follows");
    default:
        break;
    }
    if (c >= '0' && c <= '7')
        return QStringLiteral("the character of the octal code that follows");
    return QStringLiteral("nothing (both characters are dropped)");
}

// The settings reader skips a UTF-8 byte-order mark at the start of a file.
int byteOrderMarkSize(const QByteArray& content)
{
    return content.startsWith("\xef\xbb\xbf") ? 3 : 0;
}

QStringList keyNames(File file, const QString& group)
{
    QStringList names;
    for (const ConfigKeys::Key* key = ConfigKeys::table(file); key->name; ++key) {
        if (group == QLatin1String(key->group))
            names.append(QLatin1String(key->name));
    }
    return names;
}

// What is wrong with one value, for the key it is read for.
struct Finding
{
    Severity severity;
    QString message;
};
using Findings = std::vector<Finding>;

Findings booleanFindings(const QString& text)
{
    const QString lower = text.toLower();
    if (isPlainBoolean(lower))
        return {};
    if (meansNo(lower))
        return {{Severity::Error,
                 QStringLiteral("'%1' reads as true; write false (or true)").arg(text)}};
    return {{Severity::Warning,
             QStringLiteral("'%1' is neither true nor false, and reads as true").arg(text)}};
}

Findings exitCodeFindings(const QStringList& codes)
{
    Findings findings;
    for (const QString& code : codes) {
        bool ok = false;
        const int number = code.toInt(&ok, 10);
        if (!ok)
            findings.push_back(
                {Severity::Error,
                 QStringLiteral("'%1' is not an exit code, so it reads as 0").arg(code)});
        else if (number < 0 || number > ConfigKeys::MaxExitCode)
            findings.push_back(
                {Severity::Error, QStringLiteral("'%1' is no exit code a process can end with (0 "
                                                 "to %2), so it never matches")
                                      .arg(code)
                                      .arg(ConfigKeys::MaxExitCode)});
    }
    return findings;
}

// The keys whose text names one of a few words, or has a form of its own.
Findings wordFindings(const ConfigKeys::Key& key, const QString& text)
{
    switch (key.kind) {
    case Kind::Mode:
        if (parseProcessMode(text).success)
            return {};
        return {
            {Severity::Error,
             QStringLiteral("'%1' is not a mode (sync, async or daemon), so the process runs "
                            "as a daemon")
                     .arg(text) +
                 didYouMean(ConfigLinter::nearest(text, {"sync", "async", "daemon"}), "'", "'")}};
    case Kind::Size:
        if (ConfigKeys::parseSize(text) >= 0)
            return {};
        return {{Severity::Error,
                 QStringLiteral("'%1' is not a size: write a whole number of bytes, or one with "
                                "K, M or G (such as 256M); it reads as %2")
                     .arg(text, key.defaultValue.toString())}};
    case Kind::Journal: {
        bool ok = false;
        ConfigKeys::journalMode(text, &ok);
        if (ok)
            return {};
        return {
            {Severity::Error,
             QStringLiteral("'%1' is none of events, all and native, so it reads as events")
                     .arg(text) +
                 didYouMean(ConfigLinter::nearest(text, {"events", "all", "native"}), "'", "'")}};
    }
    // The screen is drawn all the same: a warning.
    case Kind::Renderer: {
        QString problem;
        ConfigKeys::renderer(text, &problem);
        if (problem.isEmpty())
            return {};
        return {{Severity::Warning,
                 problem + didYouMean(ConfigLinter::nearest(text, {"auto", "opengl", "software"}),
                                      "'", "'")}};
    }
    default:
        return {};
    }
}

// The keys whose text is a time, a path or a language, checked only when set.
Findings setValueFindings(const ConfigKeys::Key& key, const QString& text)
{
    if (text.isEmpty())
        return {};
    if (key.kind == Kind::TimeOfDay && !ConfigKeys::parseTimeOfDay(text).isValid())
        return {{Severity::Error,
                 QStringLiteral("'%1' is not a time of day: write HH:MM, 00:00 to 23:59 (such as "
                                "04:00); no daily restart happens")
                     .arg(text)}};
    if (key.kind == Kind::Language) {
        QString problem;
        ConfigKeys::screenLanguage(text, &problem);
        return problem.isEmpty() ? Findings{} : Findings{{Severity::Warning, problem}};
    }
    if (key.kind == Kind::MetricsFile && QFileInfo(text).isRelative())
        return {{Severity::Error,
                 QStringLiteral("'%1' is a relative path: write an absolute one; no metrics file "
                                "is written")
                     .arg(text)}};
    if (key.kind == Kind::MetricsFile && !text.endsWith(QLatin1String(".prom")))
        return {{Severity::Warning,
                 QStringLiteral("'%1' does not end in .prom, which the textfile collector ignores")
                     .arg(text)}};
    return {};
}

// What the settings reader makes of the text of a value (after its '=', or
// all of a line that a backslash joined to it): comments, escapes, control
// characters. `continued`: whether the line ends with a backslash.
Findings valueTextFindings(const QByteArray& value, const QString& where, bool* continued)
{
    Findings findings;
    *continued = false;
    bool quoted = false;
    bool escapeReported = false;
    for (int j = 0; j < value.size(); ++j) {
        const char c = value.at(j);
        if (c == '"') {
            quoted = !quoted;
        } else if (c == ';' && !quoted) {
            // "a;b" most likely meant the semicolon; "a ; note" is a comment.
            if (j > 0 && value.at(j - 1) != ' ' && value.at(j - 1) != '\t')
                findings.push_back(
                    {Severity::Warning,
                     where + QStringLiteral(": ';' starts a comment, so the value ends before "
                                            "it; put the value in double quotes")});
            break;
        } else if (c == '\\' && j + 1 == value.size()) {
            findings.push_back({Severity::Warning,
                                where + QStringLiteral(" ends with a backslash, which joins the "
                                                       "next line to the value")});
            *continued = true;
        } else if (c == '\\') {
            const QString meaning = escapeMeaning(value.at(++j));
            if (!meaning.isEmpty() && !escapeReported) {
                findings.push_back(
                    {Severity::Warning,
                     QStringLiteral("'\\%1' reads as %2; write '\\\\' for a backslash")
                         .arg(QString(QLatin1Char(value.at(j))), meaning)});
                escapeReported = true;
            }
        } else if ((uchar(c) < 0x20 && c != '\t') || c == 0x7f) {
            findings.push_back(
                {Severity::Warning, where + QStringLiteral(": control character 0x%1 in the value")
                                                .arg(uint(uchar(c)), 2, 16, QLatin1Char('0'))});
        }
    }
    return findings;
}

// A key of a process group, as the reader takes it.
QVariant processValue(QSettings& settings, const char* name)
{
    return ConfigKeys::value(settings, ConfigKeys::File::Pipeline, ConfigKeys::ProcessGroup, name);
}

// As the reader takes it: a number beyond its range is its default.
int processNumber(QSettings& settings, const char* name)
{
    return ConfigKeys::integer(settings, ConfigKeys::File::Pipeline, ConfigKeys::ProcessGroup, name)
        .value;
}

} // namespace

ConfigLinter::ConfigLinter(const QString& path, File kind) : m_path(path), m_kind(kind) {}

QList<ConfigProblem> ConfigLinter::lint()
{
    const SettingsFile file(m_path);
    return lint(file.content(), file.readError());
}

QList<ConfigProblem> ConfigLinter::lint(const QByteArray& content, const QString& readError)
{
    const SettingsFile file(m_path, content, readError);
    m_problems.clear();
    if (!file.isReadable()) {
        add(Severity::Error, QString(), QString(), file.problem());
        return m_problems;
    }
    QString error;
    const std::unique_ptr<QSettings> settings = file.settings(&error);
    if (!error.isEmpty()) {
        add(Severity::Error, QString(), QString(), QStringLiteral("cannot be read: %1").arg(error));
        return m_problems;
    }
    const bool formatReported = !lintContent(file.content());
    if (settings->status() != QSettings::NoError && !formatReported)
        add(Severity::Error, QString(), QString(), QStringLiteral("not a valid settings file"));

    const QStringList topKeys = settings->childKeys();
    for (const QString& key : topKeys)
        add(Severity::Warning, QString(), key,
            QStringLiteral("a key outside any group is ignored"));

    const QStringList known = m_kind == File::Pipeline
                                  ? QStringList{"ui", "logs", ConfigKeys::PipelineGroup}
                                  : QStringList{"ui", "autostart", "logs", "metrics"};
    const QStringList groups = settings->childGroups();
    for (const QString& group : groups) {
        if (m_kind == File::Pipeline && group.startsWith(QLatin1String(ConfigKeys::ProcessGroup)))
            lintGroup(*settings, group, QLatin1String(ConfigKeys::ProcessGroup));
        else if (known.contains(group))
            lintGroup(*settings, group, group);
        else
            lintUnknownGroup(group, known);
    }
    return m_problems;
}

void ConfigLinter::add(Severity severity, const QString& group, const QString& key,
                       const QString& message)
{
    m_problems.append({severity, m_path, group, key, message});
}

// Only a line that opens a group without closing it makes the settings reader
// find a file malformed; the whole look at the lines, which tells the line,
// is for a file that has one.
QString ConfigLinter::formatProblem(const QString& path, const QByteArray& content)
{
    const char* line = content.constData() + byteOrderMarkSize(content);
    const char* const end = content.constData() + content.size();
    bool suspect = false;
    while (line < end && !suspect) {
        const void* const newline = std::memchr(line, '\n', size_t(end - line));
        const char* const lineEnd = newline ? static_cast<const char*>(newline) : end;
        const char* first = line;
        while (first < lineEnd && std::isspace(uchar(*first)))
            ++first;
        suspect =
            first < lineEnd && *first == '[' && !std::memchr(first, ']', size_t(lineEnd - first));
        line = lineEnd + 1;
    }
    if (!suspect)
        return QString();
    ConfigLinter linter(path, kindOf(path));
    return linter.lintContent(content) ? QString() : linter.m_formatProblem;
}

File ConfigLinter::kindOf(const QString& path)
{
    return QFileInfo(path).fileName() == QLatin1String("launcher.ini") ? File::Settings
                                                                       : File::Pipeline;
}

bool ConfigLinter::isReadyCheck(const QString& text)
{
    return text.isEmpty() || ReadyGate::parse(text).error.isEmpty();
}

QString ConfigLinter::nearest(const QString& text, const QStringList& candidates)
{
    QString best;
    int bestDistance = INT_MAX;
    for (const QString& candidate : candidates) {
        const int distance = editDistance(text, candidate);
        if (distance < bestDistance && distance <= std::max(1, int(candidate.size()) / 4)) {
            best = candidate;
            bestDistance = distance;
        }
    }
    return best;
}

// Checks the text line by line as the settings reader sees it. False when it
// has reported why the reader finds the file malformed.
bool ConfigLinter::lintContent(const QByteArray& content)
{
    QTextCodec* const utf8 = QTextCodec::codecForName("UTF-8");
    bool formatReported = false;
    bool utf8Reported = false;
    bool continued = false;
    QString group;
    QString key;
    // The settings reader skips a byte-order mark, and so does the look at the lines.
    const QList<QByteArray> lines = content.mid(byteOrderMarkSize(content)).split('\n');
    for (int i = 0; i < lines.size(); ++i) {
        QByteArray line = lines.at(i);
        if (line.endsWith('\r'))
            line.chop(1);
        const QString where = QStringLiteral("line %1").arg(i + 1);
        QTextCodec::ConverterState state;
        utf8->toUnicode(line.constData(), line.size(), &state);
        if ((state.invalidChars > 0 || state.remainingChars > 0) && !utf8Reported) {
            add(Severity::Warning, group, QString(),
                where + QStringLiteral(" is not valid UTF-8, and the file is read as UTF-8; "
                                       "save it as UTF-8"));
            utf8Reported = true;
        }
        QByteArray value = line.trimmed();
        if (!continued) {
            if (value.isEmpty() || value.startsWith(';') || value.startsWith('#'))
                continue;
            if (value.startsWith('[')) {
                const int close = value.indexOf(']');
                group = QString::fromUtf8(value.mid(1, close < 0 ? -1 : close - 1));
                key.clear();
                if (close < 0 && !formatReported) {
                    add(Severity::Error, group, QString(),
                        where + QStringLiteral(": the group has no closing ']', so the file is "
                                               "no valid settings file"));
                    m_formatProblem = m_problems.last().text();
                    formatReported = true;
                }
                if (std::any_of(value.begin(), value.end(), [](char c) { return c & 0x80; }))
                    add(Severity::Warning, group, QString(),
                        QStringLiteral("letters beyond ASCII in a group name are read as "
                                       "Latin-1; use ASCII names"));
                continue;
            }
            const int equals = value.indexOf('=');
            if (equals < 0) {
                add(Severity::Warning, group, QString(),
                    where + QStringLiteral(" has no '=' and is ignored"));
                continue;
            }
            const QByteArray name = value.left(equals).trimmed();
            key = QString::fromUtf8(name);
            if (std::any_of(name.begin(), name.end(), [](char c) { return c & 0x80; }))
                add(Severity::Warning, group, key,
                    QStringLiteral("letters beyond ASCII in a key name are read as Latin-1; "
                                   "use ASCII names"));
            value = value.mid(equals + 1).trimmed();
            if (value.startsWith('@') && !value.startsWith("@@"))
                add(Severity::Warning, group, key,
                    QStringLiteral("a value that begins with '@' is read as a stored Qt value; "
                                   "write '@@' for '@'"));
        }
        for (const Finding& finding : valueTextFindings(value, where, &continued))
            add(finding.severity, group, key, finding.message);
    }
    return !formatReported;
}

void ConfigLinter::lintGroup(QSettings& settings, const QString& group, const QString& tableGroup)
{
    const bool isProcess = tableGroup == QLatin1String(ConfigKeys::ProcessGroup);
    settings.beginGroup(group);
    const QStringList keys = settings.childKeys();
    for (const QString& name : keys) {
        if (const ConfigKeys::Key* key = ConfigKeys::find(m_kind, tableGroup, name))
            lintValue(settings, group, *key);
        else
            add(Severity::Warning, group, name,
                QStringLiteral("unknown key, ignored") +
                    (name.startsWith(QLatin1Char('#'))
                         ? QStringLiteral(" ('#' does not start a comment; ';' does)")
                         : didYouMean(nearest(name, keyNames(m_kind, tableGroup)), "'", "'")));
    }
    const QStringList subgroups = settings.childGroups();
    for (const QString& subgroup : subgroups) {
        const QString environment = QLatin1String(ConfigKeys::EnvironmentGroup);
        if (isProcess && subgroup == environment) {
            const QString path =
                ConfigKeys::searchPath(ConfigKeys::value(settings, File::Pipeline,
                                                         ConfigKeys::ProcessGroup, "library-paths")
                                           .toStringList());
            settings.beginGroup(subgroup);
            if (settings.contains(QStringLiteral("PATH")))
                add(Severity::Warning, group + '/' + subgroup, QStringLiteral("PATH"),
                    QStringLiteral("replaced by library-paths, so the process gets %1")
                        .arg(path.isEmpty() ? QStringLiteral("an empty PATH; list its folders "
                                                             "in library-paths")
                                            : QStringLiteral("PATH=%1").arg(path)));
            const QStringList deeper = settings.childGroups();
            for (const QString& inner : deeper)
                add(Severity::Warning, group + '/' + subgroup + '/' + inner, QString(),
                    QStringLiteral("a group inside an environment group is ignored"));
            settings.endGroup();
        } else {
            add(Severity::Warning, group + '/' + subgroup, QString(),
                QStringLiteral("unknown group, ignored") +
                    didYouMean(isProcess ? nearest(subgroup, {environment}) : QString(),
                               QStringLiteral("[%1/").arg(group), "]"));
        }
    }
    if (isProcess)
        lintProcess(settings, group);
    settings.endGroup();
}

// What the keys of a process mean together.
void ConfigLinter::lintProcess(QSettings& settings, const QString& group)
{
    const auto report = [&](Severity severity, const char* key, const QString& message) {
        add(severity, group, QLatin1String(key), message);
    };

    // A label names one row of a screen: one line, short enough to show whole.
    const QString label = processValue(settings, "label").toString();
    if (std::any_of(label.begin(), label.end(),
                    [](QChar c) { return c.category() == QChar::Other_Control; }))
        report(Severity::Warning, "label",
               QStringLiteral("a line break or control character in a label breaks the row "
                              "that shows it; write it on one line"));
    else if (label.size() > MaxLabelLength)
        report(Severity::Warning, "label",
               QStringLiteral("%1 characters are cut on a screen; keep a label to %2")
                   .arg(label.size())
                   .arg(MaxLabelLength));

    const QString ready = processValue(settings, "ready").toString();
    const ProcessModeResult mode = parseProcessMode(processValue(settings, "mode").toString());
    if (!ready.isEmpty() && mode.success && mode.mode == ProcessMode::Sync) {
        report(Severity::Warning, "ready",
               QStringLiteral("a sync process lets the next one start when it has ended, so "
                              "ready= has no effect"));
    } else if (const QString error = ReadyGate::parse(ready).error;
               !ready.isEmpty() && !error.isEmpty()) {
        report(Severity::Error, "ready",
               QStringLiteral("'%1' is not a readiness check (%2): write tcp:PORT, tcp:HOST:PORT, "
                              "unix:PATH, file:PATH, log:TEXT or notify")
                   .arg(ready, error));
    }

    // A mode that does not parse runs as a daemon, too.
    if (processValue(settings, "required").toBool() &&
        (!mode.success || mode.mode == ProcessMode::Daemon))
        report(Severity::Warning, "required",
               QStringLiteral("a required daemon is asked to terminate when only daemons are "
                              "left; unless it exits with 0 then, the end counts as a failure"));

    const QString alive = processValue(settings, "alive").toString();
    if (const QString error = ReadyGate::parseAlive(alive).error;
        !alive.isEmpty() && !error.isEmpty())
        report(Severity::Error, "alive",
               QStringLiteral("'%1' is not a check (%2): write tcp:PORT, tcp:HOST:PORT, "
                              "unix:PATH, file:PATH or http://HOST:PORT/PATH")
                   .arg(alive, error));
    // A check that may take longer than the pause between two would overlap the next.
    const int interval = processNumber(settings, "alive-interval");
    const int timeout = processNumber(settings, "alive-timeout");
    if (!alive.isEmpty() && interval >= 1 && interval < timeout)
        report(Severity::Warning, "alive-interval",
               QStringLiteral("%1 s is shorter than alive-timeout (%2 s): a check that takes its "
                              "time delays the next; make the interval at least the timeout")
                   .arg(interval)
                   .arg(timeout));

    lintRestarts(settings, group);
}

// Whether the restart limit lets a restart happen, and does not loop.
void ConfigLinter::lintRestarts(QSettings& settings, const QString& group)
{
    const auto report = [&](Severity severity, const char* key, const QString& message) {
        add(severity, group, QLatin1String(key), message);
    };
    QStringList restartOn;
    if (processValue(settings, "restart-on-crash").toBool())
        restartOn.append(QStringLiteral("restart-on-crash"));
    if (!processValue(settings, "restart-on-exit").toStringList().isEmpty())
        restartOn.append(QStringLiteral("restart-on-exit"));
    if (restartOn.isEmpty())
        return;
    const QString limit = processValue(settings, "restart-limit").toString();
    const int restarts = processNumber(settings, "restart-limit");
    // The crash being handled counts: a limit of 1 is full at once.
    if (restarts <= 1)
        report(Severity::Warning, "restart-limit",
               QStringLiteral("'%1' restarts nothing, since the crash being handled counts, so "
                              "%2 has no effect; write 2 or more")
                   .arg(limit, restartOn.join(QStringLiteral(" and "))));
    else if (restarts > MaxQuickRestarts && processNumber(settings, "restart-delay") <= 0)
        report(Severity::Warning, "restart-limit",
               QStringLiteral("%1 restarts with no restart-delay: a process that fails at once "
                              "is restarted in a tight loop, for ever when %1 starts take longer "
                              "than restart-period; set restart-delay (it doubles with each "
                              "crash) or a limit of at most %2")
                   .arg(restarts)
                   .arg(MaxQuickRestarts));
}

void ConfigLinter::lintValue(QSettings& settings, const QString& group, const ConfigKeys::Key& key)
{
    const QString name = QLatin1String(key.name);
    const QVariant value = settings.value(name);
    const QString text = value.toString();
    const auto report = [&](Severity severity, const QString& message) {
        add(severity, group, name, message);
    };
    const bool isList = value.type() == QVariant::StringList;
    if (isList && key.kind != Kind::TextList && key.kind != Kind::ExitCodes) {
        report(Severity::Error,
               QStringLiteral("'%1' is a list (a comma separates items), which this key does not "
                              "take; put the value in double quotes")
                   .arg(value.toStringList().join(QLatin1Char(','))));
        return;
    }
    Findings findings;
    switch (key.kind) {
    case Kind::Boolean:
        findings = booleanFindings(text);
        break;
    case Kind::Integer:
        if (const QString problem = ConfigKeys::integer(key, value).problem; !problem.isEmpty())
            findings.push_back({Severity::Error, problem});
        break;
    case Kind::ExitCodes:
        findings = exitCodeFindings(value.toStringList());
        break;
    case Kind::Mode:
    case Kind::Size:
    case Kind::Journal:
    case Kind::Renderer:
        findings = wordFindings(key, text);
        break;
    case Kind::TimeOfDay:
    case Kind::MetricsFile:
    case Kind::Language:
        findings = setValueFindings(key, text);
        break;
    // The brand: the screen keeps its own look, so a warning.
    case Kind::Color:
        if (const QString problem = ConfigKeys::color(text).problem; !problem.isEmpty())
            findings.push_back({Severity::Warning, problem});
        break;
    case Kind::Picture:
        if (const QString problem = ConfigKeys::picture(m_path, text).problem; !problem.isEmpty())
            findings.push_back({Severity::Warning, problem});
        break;
    case Kind::Scale:
        if (const QString problem = ConfigKeys::scale(text).problem; !problem.isEmpty())
            findings.push_back({Severity::Warning, problem});
        break;
    case Kind::Text:
    case Kind::TextList:
    case Kind::Ready: // its meaning depends on the mode and the key: lintProcess()
        break;
    }
    for (const Finding& finding : findings)
        report(finding.severity, finding.message);
}

void ConfigLinter::lintUnknownGroup(const QString& group, const QStringList& knownGroups)
{
    QStringList candidates = knownGroups;
    if (m_kind == File::Pipeline) {
        // "proces-3" most likely meant "process-3": the letters are the typo, the rest the number.
        int letters = 0;
        while (letters < group.size() && group.at(letters).isLetter())
            ++letters;
        candidates.append(QLatin1String(ConfigKeys::ProcessGroup) + group.mid(letters));
    }
    const QString expected = m_kind == File::Pipeline
                                 ? QStringLiteral("ui, logs, pipeline or a process group")
                                 : QStringLiteral("ui, autostart or logs");
    add(Severity::Warning, group, QString(),
        QStringLiteral("not %1, so it is ignored").arg(expected) +
            didYouMean(nearest(group, candidates), "[", "]"));
}
