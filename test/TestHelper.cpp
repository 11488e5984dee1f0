// The child program of the tests. Options are actions, carried out in the
// order given; the program then exits with the code set by --exit (0 if none).
//
//   --exit N           exit with code N
//   --delay SECONDS    stay running that long (fractions allowed)
//   --write TEXT       write TEXT to standard output; \n \r \t \0 \\ are escapes
//   --write-err TEXT   the same on standard error
//   --print-env NAME   write "NAME=value", or "NAME unset"
//   --print-cwd        write "cwd=<working folder>"
//   --pid-file FILE    write the process id to FILE
//   --crash            end by SIGKILL at once
//   --ignore-term      ignore termination requests from now on
//   --term-exit N      on a termination request, exit normally with code N
//
// Without options it exits at once with code 0. A termination request ends it
// at once unless told otherwise.

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include <fcntl.h>
#include <unistd.h>

namespace {

volatile sig_atomic_t g_termExitCode = 0;

void writeAll(int fd, const std::string& data)
{
    size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n <= 0)
            return;
        done += static_cast<size_t>(n);
    }
}

std::string unescape(const char* text)
{
    std::string out;
    for (const char* p = text; *p; ++p) {
        if (*p != '\\' || !p[1]) {
            out += *p;
            continue;
        }
        switch (*++p) {
        case 'n':
            out += '\n';
            break;
        case 'r':
            out += '\r';
            break;
        case 't':
            out += '\t';
            break;
        case '0':
            out += '\0';
            break;
        default:
            out += *p;
            break;
        }
    }
    return out;
}

void sleepSeconds(double seconds)
{
    timespec rest{};
    rest.tv_sec = static_cast<time_t>(seconds);
    rest.tv_nsec = static_cast<long>((seconds - static_cast<double>(rest.tv_sec)) * 1e9);
    while (nanosleep(&rest, &rest) != 0) {
    }
}

void onTermExit(int)
{
    _exit(g_termExitCode);
}

} // namespace

int main(int argc, char* argv[])
{
    int exitCode = 0;

    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        const bool hasValue = i + 1 < argc;
        const char* value = hasValue ? argv[i + 1] : "";
        auto needsValue = [&]() {
            if (!hasValue) {
                std::fprintf(stderr, "test-helper: %s needs a value\n", option.c_str());
                std::exit(64);
            }
            ++i;
        };

        if (option == "--exit") {
            needsValue();
            exitCode = std::atoi(value);
        } else if (option == "--delay") {
            needsValue();
            sleepSeconds(std::atof(value));
        } else if (option == "--write") {
            needsValue();
            writeAll(STDOUT_FILENO, unescape(value));
        } else if (option == "--write-err") {
            needsValue();
            writeAll(STDERR_FILENO, unescape(value));
        } else if (option == "--print-env") {
            needsValue();
            const char* env = std::getenv(value);
            writeAll(STDOUT_FILENO,
                     std::string(value) + (env ? "=" + std::string(env) : " unset") + "\n");
        } else if (option == "--print-cwd") {
            char cwd[4096];
            writeAll(STDOUT_FILENO,
                     std::string("cwd=") + (getcwd(cwd, sizeof cwd) ? cwd : "?") + "\n");
        } else if (option == "--pid-file") {
            needsValue();
            if (FILE* f = std::fopen(value, "w")) {
                std::fprintf(f, "%ld\n", static_cast<long>(getpid()));
                std::fclose(f);
            }
        } else if (option == "--crash") {
            std::raise(SIGKILL);
        } else if (option == "--ignore-term") {
            std::signal(SIGTERM, SIG_IGN);
        } else if (option == "--term-exit") {
            needsValue();
            g_termExitCode = std::atoi(value);
            std::signal(SIGTERM, onTermExit);
        } else {
            std::fprintf(stderr, "test-helper: unknown option %s\n", option.c_str());
            return 64;
        }
    }
    return exitCode;
}
