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

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <utility>

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
            for (const auto& [escape, byte] : {std::pair{"\\0", '\0'}, std::pair{"\\n", '\n'}}) {
                for (size_t at; (at = out.find(escape)) != std::string::npos;)
                    out.replace(at, 2, 1, byte);
            }
        } else if (option == "--print-env") {
            const std::string name = next();
            const char* env = std::getenv(name.c_str());
            out = name + (env ? '=' + std::string(env) : std::string(" unset")) + '\n';
        } else if (option == "--print-cwd") {
            char cwd[4096];
            out = std::string("cwd=") + (getcwd(cwd, sizeof cwd) ? cwd : "?") + '\n';
        } else if (option == "--pid-file") {
            if (FILE* file = std::fopen(next(), "w")) {
                std::fprintf(file, "%ld\n", long(getpid()));
                std::fclose(file);
            }
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
