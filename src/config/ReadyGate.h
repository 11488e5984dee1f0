#pragma once

#include <QString>

// The grammar of ready=, for the linter and the readiness probe alike: what
// lints clean is what the probe waits for, and the reverse.
//   tcp:PORT, tcp:HOST:PORT  a connection succeeds (HOST: localhost when left
//                            out; an IPv6 address in brackets)
//   unix:PATH, unix:@NAME    a connection to the socket succeeds
//   file:PATH                the file exists
//   log:TEXT                 a line of the process's output contains TEXT
//   notify                   the process sends READY=1
// The kind may be written in any case (TCP:8080), as modes may.
struct ReadyGate
{
    enum class Kind
    {
        Invalid,
        Tcp,
        Unix,
        File,
        Log,
        Notify
    };

    Kind kind = Kind::Invalid;
    QString target; // host (empty: localhost), path or text, as written
    quint16 port = 0;
    QString error; // why the text is no gate; empty when it is one

    static ReadyGate parse(const QString& text);
    // The gate for a person: "file /run/x", "tcp localhost:8080", "notify".
    QString words() const;
};
