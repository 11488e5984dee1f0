// The child program of the tests. Options are actions, carried out in the
// order given; the program then exits with the code set by --exit (0 if none).
//
//   --exit N          exit with code N
//   --delay SECONDS   stay running that long (fractions allowed)
//   --write TEXT      write TEXT to standard output, "\0" standing for a NUL byte
//   --print-env NAME  write "NAME=value"
//   --print-cwd       write "cwd=<working folder>"
//   --crash           end by SIGKILL at once
//   --ignore-term     ignore termination requests from now on

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#include <unistd.h>

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
            const double seconds = std::atof(next());
            timespec rest{time_t(seconds), long((seconds - double(time_t(seconds))) * 1e9)};
            while (nanosleep(&rest, &rest) != 0) {
            }
        } else if (option == "--write") {
            out = next();
            for (size_t at; (at = out.find("\\0")) != std::string::npos;)
                out.replace(at, 2, 1, '\0');
        } else if (option == "--print-env") {
            const std::string name = next();
            const char* env = std::getenv(name.c_str());
            out = name + '=' + (env ? env : "") + '\n';
        } else if (option == "--print-cwd") {
            char cwd[4096];
            out = std::string("cwd=") + (getcwd(cwd, sizeof cwd) ? cwd : "?") + '\n';
        } else if (option == "--crash") {
            std::raise(SIGKILL);
        } else if (option == "--ignore-term") {
            std::signal(SIGTERM, SIG_IGN);
        } else {
            std::fprintf(stderr, "test-helper: unknown option %s\n", option.c_str());
            return 64;
        }
        if (!out.empty() && ::write(STDOUT_FILENO, out.data(), out.size()) < 0)
            return 65;
    }
    return exitCode;
}
