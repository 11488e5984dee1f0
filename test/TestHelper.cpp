// The child program of the tests. Options are actions, carried out in the
// order given; the program then exits with the code set by --exit (0 if none).
//
//   --exit N          exit with code N
//   --delay SECONDS   stay running that long (fractions allowed)
//   --write TEXT      write TEXT to standard output, "\0" and "\n" standing for a
//                     NUL byte and a line feed
//   --print-env NAME  write "NAME=value", or "NAME unset"
//   --print-cwd       write "cwd=<working folder>"
//   --pid-file FILE   write the process id to FILE
//   --crash           end by SIGKILL at once
//   --ignore-term     ignore termination requests from now on
//   --count-term FILE count termination requests in FILE (a byte each); once asked,
//                     end half a second later with code 0, whatever a delay has left
//   --listen ADDRESS  listen on tcp:PORT (loopback) or unix:PATH from now on
//   --notify TEXT     send TEXT (escapes as --write) to $NOTIFY_SOCKET (@ abstract)
//   --serve KIND:PORT N
//                     answer N connections on loopback (tcp: accept and close; http:
//                     200 to a request), then no more (tcp: the socket closes; http: it
//                     stays open, never accepting again)
//   --grow-memory MIB grow by MIB MiB in steps of 4 MiB, each page touched, and keep it
//   --map-file FILE   map FILE read-only, read each of its pages, and keep it mapped
//   --print-start-state
//                     write what the process started with: "group N" and "ignored
//                     HEX" (the mask of ignored signals, as in /proc)
//   --exec-hostile PROGRAM ARGS...
//                     exec PROGRAM as a hostile parent would: SIGCHLD, SIGQUIT,
//                     SIGUSR1 and SIGALRM ignored, every signal blocked, and
//                     descriptor 7 open on /dev/null without close-on-exec

#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

int g_termCountFd = -1;
volatile sig_atomic_t g_terminated = 0;

void countTerm(int)
{
    [[maybe_unused]] const ssize_t written = ::write(g_termCountFd, "T", 1);
    g_terminated = 1;
}

// Sleeps the whole time, unless a counted termination request cuts it short.
void sleepFor(double seconds)
{
    timespec rest{time_t(seconds), long((seconds - double(time_t(seconds))) * 1e9)};
    while (nanosleep(&rest, &rest) != 0) {
        if (g_terminated) {
            // A second request within the linger is counted, too.
            timespec linger{0, 500000000};
            while (nanosleep(&linger, &linger) != 0) {
            }
            std::exit(0);
        }
    }
}

std::string unescaped(std::string text)
{
    for (const auto& [escape, byte] : {std::pair{"\\0", '\0'}, std::pair{"\\n", '\n'}}) {
        for (size_t at; (at = text.find(escape)) != std::string::npos;)
            text.replace(at, 2, 1, byte);
    }
    return text;
}

// A socket address for unix:PATH (@ for an abstract name) or tcp:PORT on 127.0.0.1.
socklen_t socketAddress(const std::string& address, sockaddr_storage& storage)
{
    if (address.rfind("tcp:", 0) == 0) {
        auto* inet = reinterpret_cast<sockaddr_in*>(&storage);
        inet->sin_family = AF_INET;
        inet->sin_port = htons(uint16_t(std::atoi(address.c_str() + 4)));
        inet->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return sizeof(sockaddr_in);
    }
    auto* local = reinterpret_cast<sockaddr_un*>(&storage);
    local->sun_family = AF_UNIX;
    const std::string path = address.rfind("unix:", 0) == 0 ? address.substr(5) : address;
    path.copy(local->sun_path, sizeof local->sun_path - 1);
    if (path[0] == '@')
        local->sun_path[0] = '\0';
    return socklen_t(offsetof(sockaddr_un, sun_path) + path.size() + (path[0] == '@' ? 0 : 1));
}

// The lines of --print-start-state. The ignored signals are asked of the
// kernel's own call, which also answers for the two the C library keeps (32
// and 33), and answers as the program sees them (under an emulator /proc
// shows the emulator's own); the record's layout is that of x86-64 and arm64.
std::string startState()
{
    unsigned long long ignored = 0;
    for (int signal = 1; signal <= 64; ++signal) {
        struct
        {
            void (*handler)(int);
            unsigned long flags;
            void (*restorer)();
            unsigned long mask;
        } action = {};
        if (syscall(SYS_rt_sigaction, signal, nullptr, &action, sizeof action.mask) == 0 &&
            action.handler == SIG_IGN)
            ignored |= 1ull << (signal - 1);
    }
    char mask[17];
    std::snprintf(mask, sizeof mask, "%016llx", ignored);
    return "group " + std::to_string(getpgrp()) + "\nignored " + mask + '\n';
}

int serve(const std::string& address, int answers)
{
    const bool http = address.rfind("http:", 0) == 0;
    sockaddr_storage storage{};
    const socklen_t length = socketAddress("tcp:" + address.substr(address.find(':') + 1), storage);
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    const int on = 1;
    // Shared with the test's hold on the port, as --listen does.
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &on, sizeof on);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&storage), length) != 0 || ::listen(fd, 8))
        return 66;
    for (int i = 0; i < answers; ++i) {
        const int connection = ::accept(fd, nullptr, nullptr);
        std::string request;
        char buffer[512];
        ssize_t size = 1;
        while (http && request.find("\r\n\r\n") == std::string::npos &&
               (size = ::read(connection, buffer, sizeof buffer)) > 0)
            request.append(buffer, size_t(size));
        const std::string answer = "HTTP/1.0 200 OK\r\nContent-Length: 0\r\n\r\n";
        if (http && ::write(connection, answer.data(), answer.size()) < 0)
            return 65;
        ::close(connection);
    }
    if (!http)
        ::close(fd);
    return 0;
}

void growMemory(int mib)
{
    const size_t step = 4 << 20;
    for (int grown = 0; grown < mib; grown += 4) {
        static std::vector<char*> kept; // reachable until the end
        auto* block = static_cast<char*>(std::malloc(step));
        kept.push_back(block);
        for (size_t page = 0; block && page < step; page += 4096)
            block[page] = 1;
        timespec pause{0, 20000000};
        nanosleep(&pause, nullptr);
    }
}

// The pages read are the file's, in the page cache: the kernel may drop them.
int mapFile(const char* path)
{
    const int fd = ::open(path, O_RDONLY);
    struct stat status = {};
    if (fd < 0 || ::fstat(fd, &status) != 0)
        return 70;
    const auto size = size_t(status.st_size);
    void* mapped = ::mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0); // mapped until the end
    ::close(fd);
    if (mapped == MAP_FAILED)
        return 70;
    volatile char sum = 0;
    for (size_t page = 0; page < size; page += 4096)
        sum = char(sum + static_cast<const char*>(mapped)[page]);
    return 0;
}

int execHostile(char* argv[])
{
    for (const int signal : {SIGCHLD, SIGQUIT, SIGUSR1, SIGALRM})
        std::signal(signal, SIG_IGN);
    sigset_t all;
    sigfillset(&all);
    sigprocmask(SIG_SETMASK, &all, nullptr);
    const int file = ::open("/dev/null", O_RDONLY);
    if (file < 0 || ::dup2(file, 7) != 7)
        return 68;
    if (file != 7)
        ::close(file);
    ::execv(argv[0], argv);
    return 69;
}

} // namespace

int main(int argc, char* argv[])
{
    int exitCode = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        const auto next = [&]() -> const char* { return i + 1 < argc ? argv[++i] : ""; };
        std::string out;
        if (option == "--exit") {
            exitCode = std::atoi(next());
        } else if (option == "--delay") {
            sleepFor(std::atof(next()));
        } else if (option == "--write") {
            out = unescaped(next());
        } else if (option == "--print-env") {
            const std::string name = next();
            const char* env = std::getenv(name.c_str());
            out = name + (env ? '=' + std::string(env) : std::string(" unset")) + '\n';
        } else if (option == "--print-cwd") {
            char cwd[4096];
            out = std::string("cwd=") + (getcwd(cwd, sizeof cwd) ? cwd : "?") + '\n';
        } else if (option == "--pid-file") {
            std::ofstream(next()) << getpid() << '\n';
        } else if (option == "--crash") {
            std::raise(SIGKILL);
        } else if (option == "--listen") {
            sockaddr_storage address{};
            const socklen_t length = socketAddress(next(), address);
            const int fd = ::socket(address.ss_family, SOCK_STREAM, 0); // open until the end
            const int on = 1;
            ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
            // A test may hold the port, bound but not listening, until now.
            ::setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &on, sizeof on);
            if (::bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 || ::listen(fd, 8))
                return 66;
        } else if (option == "--notify") {
            const std::string text = unescaped(next());
            const char* socketName = std::getenv("NOTIFY_SOCKET");
            sockaddr_storage address{};
            const socklen_t length = socketAddress(socketName ? socketName : "", address);
            const int fd = ::socket(AF_UNIX, SOCK_DGRAM, 0);
            if (::sendto(fd, text.data(), text.size(), 0, reinterpret_cast<sockaddr*>(&address),
                         length) < 0)
                return 67;
            ::close(fd);
        } else if (option == "--serve") {
            const std::string address = next();
            if (const int failed = serve(address, std::atoi(next())))
                return failed;
        } else if (option == "--grow-memory") {
            growMemory(std::atoi(next()));
        } else if (option == "--map-file") {
            if (const int failed = mapFile(next()))
                return failed;
        } else if (option == "--print-start-state") {
            out = startState();
        } else if (option == "--exec-hostile" && i + 1 < argc) {
            return execHostile(argv + i + 1);
        } else if (option == "--ignore-term") {
            std::signal(SIGTERM, SIG_IGN);
        } else if (option == "--count-term") {
            g_termCountFd = ::open(next(), O_WRONLY | O_CREAT | O_APPEND, 0600);
            std::signal(SIGTERM, countTerm);
        } else {
            std::fprintf(stderr, "test-helper: unknown option %s\n", option.c_str());
            return 64;
        }
        if (!out.empty() && ::write(STDOUT_FILENO, out.data(), out.size()) < 0)
            return 65;
    }
    return exitCode;
}
