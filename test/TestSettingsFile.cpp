// A configuration file is read once, as it was checked. Read anew whenever it
// is loaded again: TestConfigLogs.

#include "Backend.h"
#include "ConfigLinter.h"
#include "TestFixtures.h"
#include "TestRegistry.h"
#include "config/PipelineFileReader.h"
#include "config/SettingsFile.h"

#include <QDir>
#include <QDirIterator>
#include <QScopeGuard>
#include <QSettings>
#include <QStandardPaths>
#include <QTest>

#include <fcntl.h>
#include <sys/stat.h>

namespace {

// What is at the path when it is read, and the name read or the problem.
const struct
{
    const char* name;
    const char* kind;
    bool swapped; // for a file of another name, once it has been read
    const char* expected;
} Reads[] = {
    {"FIFO", "fifo", false, "cannot be read: not a regular file"},
    {"one byte over the cap", "over", false,
     "cannot be read: larger than 4 MiB, so no settings file"},
    {"at the cap", "cap", false, "Checked"},
    {"swapped for a file", "file", true, "Checked"},
};

} // namespace

class TestSettingsFile : public QObject
{
    Q_OBJECT

private slots:
    void checkedBeforeRead_data() { addRows(Reads); }

    // Never blocks, never reads more than the cap, and what is read is the
    // file that was checked: loading and linting alike.
    void checkedBeforeRead()
    {
        const auto& row = currentRow(Reads);
        const QString expected = row.expected;
        const QTemporaryDir folder;
        const QString path = folder.filePath("app.ini");
        const auto make = [&path](const QString& what, const QByteArray& name) {
            QFile::remove(path);
            if (what == "fifo")
                return ::mkfifo(QFile::encodeName(path), 0600) == 0;
            QByteArray content = "[ui]\nname=" + name + "\n;";
            if (what == "cap" || what == "over")
                content.append(SettingsFile::MaxSize - content.size() + (what == "over"), 'x');
            return writeFile(path + ".new", content) &&
                   ::rename(qPrintable(path + ".new"), qPrintable(path)) == 0;
        };
        QVERIFY(make(row.kind, "Checked"));
        const SettingsFile file(path);
        QVERIFY(!row.swapped || make("file", "Swapped"));

        const PipelineConfig pipeline = PipelineFileReader("/logs").read(file);
        QCOMPARE(pipeline.basename, QString("app"));
        QCOMPARE(file.isReadable() ? pipeline.name : file.problem(), expected);
        const QList<ConfigProblem> problems =
            ConfigLinter(path, ConfigKeys::File::Pipeline).lint(file.content(), file.readError());
        QCOMPARE(problems.isEmpty() ? QString() : problems.first().text(),
                 file.isReadable() ? QString() : expected);
    }

    void opensEachFileOnce_data() { addFlagRows("check", "list", "check"); }

    // Loading and linting share one read of each file.
    void opensEachFileOnce()
    {
#ifndef LAUNCHER_PROGRAM
        QSKIP("built without the console launcher");
#else
        QFETCH(bool, check); // else list
        const QString strace = QStandardPaths::findExecutable("strace");
        if (strace.isEmpty())
            QSKIP("strace is not installed (scripts/install-deps test installs it)");
        const DataFolders folders;
        const QStringList files = {"/launcher.ini", "/apps/a.ini", "/apps/b.ini"};
        QVERIFY(writeFile(folders.user() + files[0], "[ui]\nallow-exti=0\n") &&
                writeFile(folders.user() + files[1], "[process-0]\nexec=/bin/true\n") &&
                writeFile(folders.user() + files[2], "[proces-0]\nexec=/bin/true\n"));
        QStringList arguments = {check ? "check" : "list"};
        for (const QString& file : check ? files : QStringList())
            arguments.append(folders.user() + file);
        const QString trace = folders.root() + "/trace";
        // The leak check of a sanitizer build cannot run under ptrace.
        const auto [code, output] = runProgram(
            strace, QStringList{"-f", "-e", "trace=openat", "-o", trace, "-E",
                                "ASAN_OPTIONS=" + qgetenv("ASAN_OPTIONS") + ":detect_leaks=0",
                                LAUNCHER_PROGRAM} +
                        arguments);
        const QByteArray opens = fileContent(trace);
        if (!opens.contains("openat("))
            QSKIP(qPrintable("strace cannot trace here: " + output));
        QVERIFY2(code == int(check) && output.contains("allow-exti") && output.contains("proces-0"),
                 output);
        for (const QString& file : files)
            QVERIFY2(opens.count(file.toUtf8() + '"') == 1, qPrintable(file + '\n' + opens));
#endif
    }

    // Each read parses what it read, in a copy of its own in the runtime
    // folder, gone once parsed: files of the same size and time read apart,
    // however soon one after the other and while earlier readers live.
    // Without a folder that no one else may enter, nothing is copied
    // anywhere: the reader has no keys, and the error says why.
    void readAfresh()
    {
        const DataFolders folders;
        const QString runtime = folders.root() + "/run", path = folders.root() + "/app.ini";
        QVERIFY(makePrivateFolder(runtime));
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime));
        const auto restore = qScopeGuard([] { qunsetenv("XDG_RUNTIME_DIR"); });
        const timespec times[2] = {{1700000000, 0}, {1700000000, 0}};
        std::vector<SettingsFile> files;
        for (int i = 0; i < 10; ++i) {
            QVERIFY(writeFile(path, "[ui]\nname=" + QByteArray::number(i) + '\n') &&
                    ::utimensat(AT_FDCWD, QFile::encodeName(path), times, 0) == 0);
            files.emplace_back(path);
        }
        std::vector<std::unique_ptr<QSettings>> readers;
        QString error;
        {
            // As a load reads them; its folder, removed halfway by another
            // launcher that found it empty, is found anew.
            const SettingsFile::Batch batch;
            for (size_t i = 0; i < files.size(); ++i) {
                if (i == 5)
                    QVERIFY(QDir(runtime + "/Orvalen").removeRecursively());
                readers.push_back(files[i].settings(&error));
                QCOMPARE(error, QString());
            }
        }
        for (int i = 0; i < 10; ++i)
            QCOMPARE(readers[size_t(i)]->value("ui/name").toInt(), i);
        QDirIterator left(runtime, QDir::Files | QDir::Hidden | QDir::System,
                          QDirIterator::Subdirectories);
        QVERIFY2(!left.hasNext(), qPrintable(left.next()));

        QVERIFY(QDir(runtime).removeRecursively() && writeFile(runtime, "") &&
                writeFile(folders.user() + "/run", ""));
        QVERIFY2(SettingsFile(path).settings(&error)->allKeys().isEmpty() &&
                     error.startsWith("no private folder for its copy: '" + runtime +
                                      "' is not a folder"),
                 qPrintable(error));
    }
};

LAUNCHER_TEST(TestSettingsFile)
#include "TestSettingsFile.moc"
