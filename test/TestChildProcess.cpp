// One child on its own: how its end and its output are reported, starts that
// fail, the state a child starts in whatever the launcher's own state, the
// launcher's standard files being closed, and a child whose object goes.

#include "TestFixtures.h"
#include "TestRegistry.h"
#include "process/ChildProcess.h"
#include "support/ProcFs.h"

#include <QRandomGenerator>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTest>

#include <csignal>

#include <fcntl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// A signal's disposition as the kernel's own call takes it, on x86-64.
struct KernelAction
{
    void (*handler)(int);
    unsigned long flags;
    void (*restorer)();
    unsigned long mask;
};

const auto finishedSignal = qOverload<int, QProcess::ExitStatus>(&ChildProcess::finished);

// What test-helper --print-start-state wrote: its "key value" lines, and the
// targets of its descriptors by number.
struct StartState
{
    QMap<QByteArray, QByteArray> values;
    QMap<int, QByteArray> fds;
};

StartState parseStartState(const QByteArray& output)
{
    StartState state;
    for (const QByteArray& line : output.split('\n')) {
        const QList<QByteArray> words = line.split(' ');
        if (words.size() == 3 && words[0] == "fd")
            state.fds.insert(words[1].toInt(), words[2]);
        else if (words.size() == 2)
            state.values.insert(words[0], words[1]);
    }
    return state;
}

} // namespace

class TestChildProcess : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

    static QStringList shell(const QString& script)
    {
        return {QStringLiteral("-c"), script, QStringLiteral("launcher-test-childprocess")};
    }

private slots:
    void initTestCase()
    {
        qRegisterMetaType<QProcess::ExitStatus>();
        qRegisterMetaType<QProcess::ProcessError>();
    }

    void ends_data()
    {
        QTest::addColumn<QString>("script");
        QTest::addColumn<QByteArray>("output");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<bool>("crashed");

        QTest::newRow("exit code, both streams")
            << "echo out; echo err >&2; exit 3" << QByteArray("out\nerr\n") << 3 << false;
        QTest::newRow("signal") << "echo x; kill -SEGV $$" << QByteArray("x\n") << int(SIGSEGV)
                                << true;
    }

    void ends()
    {
        QFETCH(QString, script);
        QFETCH(QByteArray, output);
        QFETCH(int, exitCode);
        QFETCH(bool, crashed);

        ChildProcess child;
        QByteArray read;
        connect(&child, &ChildProcess::readyReadStandardOutput, this,
                [&]() { read += child.readAllStandardOutput(); });
        QSignalSpy started(&child, &ChildProcess::started);
        QSignalSpy finished(&child, finishedSignal);
        QSignalSpy errors(&child, &ChildProcess::errorOccurred);
        child.start("/bin/sh", shell(script));
        QCOMPARE(child.state(), QProcess::Starting);
        QVERIFY(ChildProcess::isOwned(child.processId()));
        QVERIFY(finished.wait(10000));

        QCOMPARE(started.count(), 1);
        QCOMPARE(finished.count(), 1);
        QCOMPARE(read.size(), output.size());
        QCOMPARE(read, output);
        QCOMPARE(finished.at(0).at(0).toInt(), exitCode);
        QCOMPARE(finished.at(0).at(1).value<QProcess::ExitStatus>(),
                 crashed ? QProcess::CrashExit : QProcess::NormalExit);
        QCOMPARE(errors.count(), crashed ? 1 : 0);
        QCOMPARE(child.state(), QProcess::NotRunning);
        QVERIFY(!ChildProcess::isOwned(child.processId()));
    }

    void failedStarts_data()
    {
        QTest::addColumn<QString>("program");
        QTest::addColumn<QString>("workingDirectory");
        QTest::addColumn<QString>("error");

        QFile plain(m_dir.filePath("plain"));
        QVERIFY(plain.open(QIODevice::WriteOnly) && plain.write("#!/bin/sh\n") > 0);
        plain.setPermissions(QFile::ReadOwner | QFile::WriteOwner);
        QTest::newRow("missing program") << "/nonexistent/program"
                                         << ""
                                         << "execve: ";
        QTest::newRow("not executable") << plain.fileName() << ""
                                        << "execve: ";
        QTest::newRow("missing working folder") << "/bin/true"
                                                << "/nonexistent/folder"
                                                << "chdir: ";
        QTest::newRow("no program") << ""
                                    << ""
                                    << "No program defined";
    }

    void failedStarts()
    {
        QFETCH(QString, program);
        QFETCH(QString, workingDirectory);
        QFETCH(QString, error);

        ChildProcess child;
        child.setWorkingDirectory(workingDirectory);
        child.setProcessEnvironment(QProcessEnvironment::systemEnvironment());
        QSignalSpy started(&child, &ChildProcess::started);
        QSignalSpy finished(&child, finishedSignal);
        QSignalSpy errors(&child, &ChildProcess::errorOccurred);
        // The child that could not exec is not reaped yet when its failure is
        // reported: nobody else may reap it meanwhile.
        bool ownedAtError = false;
        connect(&child, &ChildProcess::errorOccurred, this,
                [&]() { ownedAtError = ChildProcess::isOwned(child.processId()); });
        child.start(program, {});
        QCOMPARE(errors.count(), 0);
        QVERIFY(errors.wait(5000));
        QCOMPARE(errors.at(0).at(0).value<QProcess::ProcessError>(), QProcess::FailedToStart);
        QVERIFY2(child.errorString().startsWith(error), qUtf8Printable(child.errorString()));
        QCOMPARE(ownedAtError, !program.isEmpty());
        QCOMPARE(child.state(), QProcess::NotRunning);
        // Reaped by then: no zombie is left.
        QVERIFY(ProcFs::children(::getpid()).isEmpty());
        QCoreApplication::processEvents();
        QCOMPARE(errors.count(), 1);
        QCOMPARE(started.count() + finished.count(), 0);
    }

    // Own group, /dev/null as input, output and errors in one pipe, nothing
    // blocked, nothing ignored, no other descriptor: whatever the launcher
    // ignores, blocks or holds open.
    void startsClean()
    {
        const int ignored[] = {SIGPIPE, SIGQUIT, SIGUSR1, SIGALRM};
        struct sigaction ignore = {}, previous[4] = {};
        ignore.sa_handler = SIG_IGN;
        for (int i = 0; i < 4; ++i)
            ::sigaction(ignored[i], &ignore, &previous[i]);
        sigset_t blocked, previousMask;
        ::sigemptyset(&blocked);
        ::sigaddset(&blocked, SIGUSR2);
        ::sigaddset(&blocked, SIGTERM);
        ::pthread_sigmask(SIG_BLOCK, &blocked, &previousMask);
        // The C library's own signal 32, too, which only the kernel's call reaches.
        KernelAction ignore32{SIG_IGN, 0, nullptr, 0}, previous32{};
        ::syscall(SYS_rt_sigaction, 32, &ignore32, &previous32, sizeof ignore32.mask);
        // Descriptors inherited without close-on-exec, a low and a high one.
        const int low = ::open("/dev/null", O_RDONLY);
        const int high = ::dup2(low, 200);

        ChildProcess child;
        child.start(helperPath(), {"--print-start-state"});
        const qint64 pid = child.processId();
        ::close(low);
        ::close(high);
        ::pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
        ::syscall(SYS_rt_sigaction, 32, &previous32, nullptr, sizeof ignore32.mask);
        for (int i = 0; i < 4; ++i)
            ::sigaction(ignored[i], &previous[i], nullptr);
        QVERIFY(low > STDERR_FILENO && high == 200);
        QVERIFY(child.waitForFinished(10000));

        const QByteArray output = child.readAllStandardOutput();
        const StartState state = parseStartState(output);
        QVERIFY2(state.values.value("pid").toLongLong() == pid, output.constData());
        QCOMPARE(state.values.value("group"), state.values.value("pid"));
        QCOMPARE(state.values.value("blocked").toULongLong(nullptr, 16), 0ULL);
        QCOMPARE(state.values.value("ignored").toULongLong(nullptr, 16), 0ULL);
        QCOMPARE(state.fds.keys(), (QList<int>{0, 1, 2}));
        QCOMPARE(state.fds.value(0), QByteArray("/dev/null"));
        QVERIFY(state.fds.value(1).startsWith("pipe:"));
        QCOMPARE(state.fds.value(2), state.fds.value(1));
    }

    // A launcher started with its standard files closed: the child's pipe and
    // /dev/null land on 0 to 2 and must not be overwritten by each other.
    void launcherWithoutStandardFiles()
    {
        const int saved[3] = {::dup(0), ::dup(1), ::dup(2)};
        ChildProcess child;
        ::close(0);
        ::close(1);
        ::close(2);
        child.start("/bin/sh", shell("cat; echo out; echo err >&2"));
        for (int fd = 0; fd < 3; ++fd) {
            ::dup2(saved[fd], fd);
            ::close(saved[fd]);
        }
        QVERIFY(child.waitForFinished(10000));
        QCOMPARE(child.readAllStandardOutput(), QByteArray("out\nerr\n"));
    }

    // Killed with its whole group and reaped, without QProcess's warning.
    void destroyedWhileRunning()
    {
        static int warnings = 0;
        warnings = 0;
        const QtMessageHandler previous =
            qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString& text) {
                warnings += text.contains("Destroyed while");
            });
        const auto restore = qScopeGuard([previous]() { qInstallMessageHandler(previous); });
        const QString marker =
            "3600." + QString::number(QRandomGenerator::global()->bounded(1u << 30));

        qint64 pid = 0, grandchild = 0;
        // A zombie's command line is empty.
        const auto sleeps = [&]() { return ProcFs::commandLine(grandchild).contains(marker); };
        const auto killLeftover = qScopeGuard([&]() {
            if (grandchild > 0 && sleeps())
                ::kill(pid_t(grandchild), SIGKILL);
        });
        {
            ChildProcess child;
            child.start("/bin/sh", shell("sleep " + marker + " & echo $!; wait"));
            QVERIFY(child.waitForReadyRead(10000));
            grandchild = child.readAllStandardOutput().trimmed().toLongLong();
            pid = child.processId();
        }
        // Reaped: the pid is gone, not a zombie.
        QCOMPARE(::kill(pid_t(pid), 0), -1);
        QCOMPARE(errno, ESRCH);
        // Its group went with it. Orphaned, the grandchild may come to this
        // process (a subreaper once a pipeline ran here) and is reaped here.
        QTRY_VERIFY(!sleeps());
        ::waitpid(pid_t(grandchild), nullptr, WNOHANG);
        QCOMPARE(warnings, 0);
    }
};

LAUNCHER_TEST(TestChildProcess)
#include "TestChildProcess.moc"
