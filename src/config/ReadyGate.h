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
// alive= takes the same gates as a check made again and again, less log: and
// notify, which say something once, plus
//   http://HOST:PORT/PATH    a GET of PATH is answered with a 2xx status
struct ReadyGate
{
    enum class Kind
    {
        Invalid,
        Tcp,
        Unix,
        File,
        Log,
        Notify,
        Http
    };

    Kind kind = Kind::Invalid;
    QString target; // host (empty: localhost), path or text, as written
    quint16 port = 0;
    QString path;  // of an http check, "/" at least
    QString error; // why the text is no gate; empty when it is one

    static ReadyGate parse(const QString& text);
    // The check of alive=: the gates that can be looked at again, and http.
    static ReadyGate parseAlive(const QString& text);
    // The gate for a person: "file /run/x", "tcp localhost:8080", "notify",
    // "http localhost:8080/health".
    QString words() const;
};
