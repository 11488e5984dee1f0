#include "process/HostLookUp.h"

#include "support/Trace.h"

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstring>
#include <mutex>

#include <netdb.h>
#include <pthread.h>
#include <signal.h>
#include <sys/un.h>

using Solvane::Trace;

namespace {

std::atomic<HostLookUp::Function> g_function{&::getaddrinfo};

std::vector<HostLookUp::Endpoint> lookUp(HostLookUp::Function function, const QByteArray& host,
                                         quint16 port, int flags)
{
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV | flags;
    addrinfo* found = nullptr;
    std::vector<HostLookUp::Endpoint> endpoints;
    if (function(host.constData(), QByteArray::number(port).constData(), &hints, &found) != 0)
        return endpoints;
    for (const addrinfo* entry = found; entry; entry = entry->ai_next) {
        if (entry->ai_addrlen > sizeof(sockaddr_storage))
            continue;
        HostLookUp::Endpoint endpoint;
        std::memcpy(&endpoint.address, entry->ai_addr, entry->ai_addrlen);
        endpoint.length = entry->ai_addrlen;
        endpoints.push_back(endpoint);
    }
    ::freeaddrinfo(found);
    return endpoints;
}

} // namespace

// Shared by the owner and the thread: whichever lets go last frees it.
struct HostLookUp::State
{
    QByteArray host;
    quint16 port = 0;
    Function function = nullptr;
    mutable std::mutex mutex;
    bool done = false;
    std::vector<Endpoint> found;
};

HostLookUp::Endpoint HostLookUp::localEndpoint(const QByteArray& path)
{
    Endpoint endpoint;
    auto* address = reinterpret_cast<sockaddr_un*>(&endpoint.address);
    address->sun_family = AF_UNIX;
    const size_t size = std::min(size_t(path.size()), sizeof address->sun_path - 1);
    std::memcpy(address->sun_path, path.constData(), size);
    if (path.startsWith('@'))
        address->sun_path[0] = '\0';
    // An abstract name is as long as it is, a path ends with its NUL.
    endpoint.length =
        socklen_t(offsetof(sockaddr_un, sun_path) + size + (path.startsWith('@') ? 0 : 1));
    return endpoint;
}

HostLookUp::HostLookUp(const QByteArray& host, quint16 port) : m_state(std::make_shared<State>())
{
    // An address is read as it is, without asking anyone.
    m_state->found = lookUp(&::getaddrinfo, host, port, AI_NUMERICHOST);
    if (!m_state->found.empty()) {
        m_state->done = true;
        return;
    }
    m_state->host = host;
    m_state->port = port;
    m_state->function = g_function.load();
    // The thread holds a reference of its own. It takes no signal: the
    // launcher's handlers run on its event loop's thread.
    auto reference = std::make_unique<std::shared_ptr<State>>(m_state);
    sigset_t all;
    sigset_t previous;
    sigfillset(&all);
    ::pthread_sigmask(SIG_SETMASK, &all, &previous);
    pthread_attr_t attributes;
    ::pthread_attr_init(&attributes);
    ::pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    const int error = ::pthread_create(&thread, &attributes, &HostLookUp::run, reference.get());
    ::pthread_attr_destroy(&attributes);
    ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (error == 0) {
        reference.release();
        return;
    }
    Trace::warning("Unable to look up '%s': no thread for the look-up: %s", host.constData(),
                   std::strerror(error));
    m_state->done = true;
}

HostLookUp::~HostLookUp() = default;

void* HostLookUp::run(void* state)
{
    const std::unique_ptr<std::shared_ptr<State>> reference(
        static_cast<std::shared_ptr<State>*>(state));
    State& shared = **reference;
    std::vector<Endpoint> found = lookUp(shared.function, shared.host, shared.port, 0);
    const std::lock_guard<std::mutex> lock(shared.mutex);
    shared.found = std::move(found);
    shared.done = true;
    return nullptr;
}

bool HostLookUp::isDone() const
{
    const std::lock_guard<std::mutex> lock(m_state->mutex);
    return m_state->done;
}

std::vector<HostLookUp::Endpoint> HostLookUp::found() const
{
    const std::lock_guard<std::mutex> lock(m_state->mutex);
    return m_state->found;
}

void HostLookUp::setFunction(Function function)
{
    g_function = function ? function : &::getaddrinfo;
}
