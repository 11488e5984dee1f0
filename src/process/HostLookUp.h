#pragma once

#include <QByteArray>

#include <memory>
#include <vector>

#include <sys/socket.h>

struct addrinfo;

// Looks up the addresses of a host name for a TCP port on a thread of its
// own, so that a slow resolver holds nothing up; the owner asks whether it is
// done. An address needs no look-up and is done at once. Dropped before the
// end, it leaves the thread to finish alone and forgets what it finds.
class HostLookUp
{
public:
    using Function = int (*)(const char* host, const char* service, const addrinfo* hints,
                             addrinfo** result);

    struct Endpoint
    {
        sockaddr_storage address{};
        socklen_t length = 0;
    };

    HostLookUp(const QByteArray& host, quint16 port);
    ~HostLookUp();
    HostLookUp(const HostLookUp&) = delete;
    HostLookUp& operator=(const HostLookUp&) = delete;

    // True once it has ended; found() then holds its addresses, none when the
    // name is unknown or no thread could be started for it.
    bool isDone() const;
    std::vector<Endpoint> found() const;

    // The address of a local socket: a path, or @NAME for an abstract one.
    static Endpoint localEndpoint(const QByteArray& path);

    // Lets tests put a slow resolver in getaddrinfo()'s place; nullptr
    // restores it. What it returns is released with freeaddrinfo().
    static void setFunction(Function function);

private:
    struct State;
    static void* run(void* state);

    std::shared_ptr<State> m_state;
};
