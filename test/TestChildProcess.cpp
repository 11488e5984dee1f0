// One child on its own: how its end and its output are reported (with and
// without a pidfd), starts that fail, the state a child starts in, and the
// launcher's standard files being closed.

#include "TestFixtures.h"
#include "TestRegistry.h"
#include "process/ChildProcess.h"
#include "support/ProcFs.h"

#include <QSignalSpy>
#include <QTest>

#include <csignal>

#include <fcntl.h>
#include <unistd.h>

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
    void init() { ChildProcess::setPidFdEnabled(true); }
    void cleanupTestCase() { ChildProcess::setPidFdEnabled(true); }

    void ends_data()
    {
        QTest::addColumn<bool>("pidFd");
        QTest::addColumn<QString>("script");
        QTest::addColumn<QByteArray>("output");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<bool>("crashed");

        const QByteArray large(300000, 'z');
        for (const bool pidFd : {true, false}) {
            const char* way = pidFd ? "pidfd" : "polled";
            QTest::addRow("%s: exit code, both streams", way)
                << pidFd << "echo out; echo err >&2; exit 3" << QByteArray("out\nerr\n") << 3
                << false;
            QTest::addRow("%s: signal", way)
                << pidFd << "echo x; kill -SEGV $$" << QByteArray("x\n") << int(SIGSEGV) << true;
            // More than a pipe holds, written just before the end.
            QTest::addRow("%s: output larger than the pipe", way)
                << pidFd << "head -c 300000 /dev/zero | tr '\\0' z" << large << 0 << false;
        }
    }

    void ends()
    {
        QFETCH(bool, pidFd);
        QFETCH(QString, script);
        QFETCH(QByteArray, output);
        QFETCH(int, exitCode);
        QFETCH(bool, crashed);

        ChildProcess::setPidFdEnabled(pidFd);
        ChildProcess child;
        QByteArray read;
        connect(&child, &ChildProcess::readyReadStandardOutput, this,
                [&]() { read += child.readAllStandardOutput(); });
        QSignalSpy started(&child, &ChildProcess::started);
        QSignalSpy finished(&child, &ChildProcess::finished);
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

    // A blocking wait reads the pipe meanwhile, and what a child wrote
    // before its end is read before the end is reported.
    void waitForFinished_data()
    {
        QTest::addColumn<QString>("script");
        QTest::addColumn<int>("size");
        QTest::newRow("ended before the wait") << "echo last words" << 11;
        QTest::newRow("more than the pipe holds") << "head -c 300000 /dev/zero" << 300000;
    }

    void waitForFinished()
    {
        QFETCH(QString, script);
        QFETCH(int, size);
        ChildProcess child;
        QSignalSpy finished(&child, &ChildProcess::finished);
        child.start("/bin/sh", shell(script));
        ::usleep(300 * 1000);
        QVERIFY(child.waitForFinished(5000));
        QCOMPARE(finished.count(), 1);
        QCOMPARE(child.readAllStandardOutput().size(), size);
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
        QSignalSpy started(&child, &ChildProcess::started);
        QSignalSpy finished(&child, &ChildProcess::finished);
        QSignalSpy errors(&child, &ChildProcess::errorOccurred);
        child.start(program, {});
        // The child that could not exec is reaped at once.
        QCOMPARE(child.state(), QProcess::NotRunning);
        QVERIFY(ProcFs::children(::getpid()).isEmpty());
        QVERIFY(errors.wait(5000));
        QCOMPARE(errors.at(0).at(0).value<QProcess::ProcessError>(), QProcess::FailedToStart);
        QVERIFY2(child.errorString().startsWith(error), qUtf8Printable(child.errorString()));
        QTest::qWait(50);
        QCOMPARE(errors.count(), 1);
        QCOMPARE(started.count() + finished.count(), 0);
    }

    // Own group, /dev/null as input, nothing blocked, SIGPIPE not ignored:
    // whatever the launcher's own signal settings are.
    void startsClean()
    {
        struct sigaction ignore = {}, previousPipe = {};
        ignore.sa_handler = SIG_IGN;
        ::sigaction(SIGPIPE, &ignore, &previousPipe);
        sigset_t usr1, previousMask;
        ::sigemptyset(&usr1);
        ::sigaddset(&usr1, SIGUSR1);
        ::pthread_sigmask(SIG_BLOCK, &usr1, &previousMask);

        ChildProcess child;
        child.start("/bin/sh", shell("cat; echo $$; cut -d' ' -f5 /proc/$$/stat;"
                                     "sed -n 's/^Sig\\(Blk\\|Ign\\):\\t//p' /proc/$$/status"));
        ::pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
        ::sigaction(SIGPIPE, &previousPipe, nullptr);
        QVERIFY(child.waitForFinished(10000));

        const QList<QByteArray> lines = child.readAllStandardOutput().split('\n');
        QCOMPARE(lines.size(), 5);
        QCOMPARE(lines.at(0).toLongLong(), child.processId());
        QCOMPARE(lines.at(1), lines.at(0));
        QCOMPARE(lines.at(2).toULongLong(nullptr, 16), 0ULL);
        QCOMPARE(lines.at(3).toULongLong(nullptr, 16) & (1ULL << (SIGPIPE - 1)), 0ULL);
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

    void destroyedWhileRunning()
    {
        qint64 pid = 0;
        {
            ChildProcess child;
            child.start(helperPath(), {"--delay", "30"});
            QVERIFY(child.state() != QProcess::NotRunning);
            pid = child.processId();
        }
        // Killed and reaped: the pid is gone, not a zombie.
        QCOMPARE(::kill(pid_t(pid), 0), -1);
        QCOMPARE(errno, ESRCH);
    }
};

LAUNCHER_TEST(TestChildProcess)
#include "TestChildProcess.moc"
