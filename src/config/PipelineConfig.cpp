#include "PipelineConfig.h"

#include <algorithm>
#include <tuple>

namespace {

auto fields(const ProcessConfig& c)
{
    return std::tie(c.exec, c.arguments, c.workingDirectory, c.mode, c.restartOnCrash,
                    c.restartLimit, c.restartPeriod, c.isRequired, c.invalidConfigExitCodes,
                    c.libraryPaths, c.environment, c.timestampLogEntries, c.ready, c.readyTimeout,
                    c.restartDelay, c.restartDelayMax, c.restartOnExit, c.watchdog, c.alive,
                    c.aliveInterval, c.aliveTimeout, c.aliveFailures, c.memoryMax, c.group,
                    c.modeError, c.label);
}

auto fields(const PipelineConfig& c)
{
    return std::tie(c.basename, c.name, c.icon, c.processList, c.logBasename, c.logPath,
                    c.restartAt);
}

QString programName(const ProcessConfig& process)
{
    return process.exec.section(QLatin1Char('/'), -1);
}

// The arguments that are no option, each on one line, with the place of each
// among all the arguments.
struct PlainArguments
{
    QStringList texts;
    QList<int> places;
};

PlainArguments plainArguments(const ProcessConfig& process)
{
    PlainArguments plain;
    for (int i = 0; i < process.arguments.size(); ++i) {
        const QString& argument = process.arguments.at(i);
        const QString text = argument.simplified();
        if (argument.startsWith(QLatin1Char('-')) || text.isEmpty())
            continue;
        plain.texts.append(text);
        plain.places.append(i);
    }
    return plain;
}

int commonPrefixLength(const QString& a, const QString& b)
{
    const int length = int(std::min(a.size(), b.size()));
    int i = 0;
    while (i < length && a.at(i) == b.at(i))
        ++i;
    return i;
}

// At most `room` characters of text that show the character at `from` and
// what follows it: from the start where that fits, else from the word where
// it is.
QString excerpt(const QString& text, int from, int room)
{
    // Characters after the first one that differs, enough to read it by.
    const int Context = 8;
    const QChar ellipsis(0x2026);
    if (text.size() <= room)
        return text;
    if (from + Context < room - 1)
        return text.left(room - 1).trimmed() + ellipsis;
    int start = int(text.lastIndexOf(QLatin1Char(' '), from - 1)) + 1;
    if (from - start > Context)
        start = from - Context;
    QString shown = ellipsis + text.mid(start);
    if (shown.size() > room)
        shown = shown.left(room - 1).trimmed() + ellipsis;
    return shown;
}

} // namespace

QString processShownName(const QList<ProcessConfig>& processes, int index)
{
    // The least room an argument has after a long program's name.
    const int MinArgumentLength = 16;
    const ProcessConfig& process = processes.at(index);
    if (!process.label.isEmpty())
        return process.label;
    const QString program = programName(process);
    const PlainArguments own = plainArguments(process);
    if (own.texts.isEmpty())
        return program;
    // The argument, and the place in it, where this process parts from the
    // one most like it: the last first difference of all.
    int shown = 0;
    int from = 0;
    for (int i = 0; i < processes.size(); ++i) {
        const ProcessConfig& other = processes.at(i);
        if (i == index || !other.label.isEmpty() || programName(other) != program)
            continue;
        const QStringList theirs = plainArguments(other).texts;
        int argument = 0;
        while (argument < own.texts.size() && argument < theirs.size() &&
               own.texts.at(argument) == theirs.at(argument))
            ++argument;
        // One with the same arguments, or more of them, is told apart by its own.
        if (argument == own.texts.size())
            continue;
        const int at = argument < theirs.size()
                           ? commonPrefixLength(own.texts.at(argument), theirs.at(argument))
                           : 0;
        if (argument > shown || (argument == shown && at > from)) {
            shown = argument;
            from = at;
        }
    }
    QString text = own.texts.at(shown);
    // An option's value reads with the option ("--port 8081").
    const int place = own.places.at(shown);
    if (shown > 0 && place > 0 && process.arguments.at(place - 1).startsWith(QLatin1Char('-'))) {
        const QString option = process.arguments.at(place - 1).simplified() + QLatin1Char(' ');
        text.prepend(option);
        from += int(option.size());
    }
    const int room = std::max(MaxLabelLength - int(program.size()) - 2, MinArgumentLength);
    return program + QStringLiteral(": ") + excerpt(text, from, room);
}

QString processShownName(const ProcessConfig& process)
{
    return processShownName({process}, 0);
}

bool operator==(const ProcessConfig& a, const ProcessConfig& b)
{
    return fields(a) == fields(b);
}

bool operator==(const PipelineConfig& a, const PipelineConfig& b)
{
    return fields(a) == fields(b);
}
