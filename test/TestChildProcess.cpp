// One child on its own: the state it starts in whatever the launcher's own
// state, and the launcher's standard files being closed. Its end, a failed
// start and its object's end are seen through its pipeline (TestPipelineRun,
// TestSupervision).

#include "TestFixtures.h"
#include "TestRegistry.h"
#include "process/ChildProcess.h"

#include <QTest>

#include <csignal>

#include <sys/syscall.h>
#include <unistd.h>

class TestChildProcess : public QObject
{
    Q_OBJECT

private slots:
    // Its own process group, and no signal ignored, not even the C library's
    // own signal 32, which only the kernel's call reaches (GNU make leaves it
    // ignored). The rest of what a hostile parent leaves: TestConsoleRobustness.
    void startsClean()
    {
        // A signal's disposition as the kernel's own call takes it, on x86-64.
        struct
        {
            void (*handler)(int);
            unsigned long flags;
            void (*restorer)();
            unsigned long mask;
        } ignore{SIG_IGN, 0, nullptr, 0}, previous{};
        ::syscall(SYS_rt_sigaction, 32, &ignore, &previous, sizeof ignore.mask);
        ChildProcess child;
        child.start(helperPath(), {"--print-start-state"});
        ::syscall(SYS_rt_sigaction, 32, &previous, nullptr, sizeof ignore.mask);
        QVERIFY(child.waitForFinished(10000));
        const QString state = child.readAllStandardOutput();
        QVERIFY2(state.contains(QString("\ngroup %1\n").arg(child.pid())), qPrintable(state));
        QVERIFY2(state.contains("\nignored 0000000000000000\n"), qPrintable(state));
    }

    // A launcher started with its standard files closed: the child's pipe and
    // /dev/null land on 0 to 2 and must not be overwritten by each other. The
    // child reads /dev/null, and writes its output and errors into one pipe.
    void launcherWithoutStandardFiles()
    {
        const int saved[3] = {::dup(0), ::dup(1), ::dup(2)};
        ChildProcess child;
        for (int fd = 0; fd < 3; ++fd)
            ::close(fd);
        child.start("/bin/sh", {"-c", "cat; echo out; echo err >&2"});
        for (int fd = 0; fd < 3; ++fd) {
            ::dup2(saved[fd], fd);
            ::close(saved[fd]);
        }
        QVERIFY(child.waitForFinished(10000));
        QCOMPARE(child.readAllStandardOutput(), QByteArray("out\nerr\n"));
    }
};

LAUNCHER_TEST(TestChildProcess)
#include "TestChildProcess.moc"
