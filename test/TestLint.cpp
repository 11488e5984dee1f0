// The configuration linter: each kind of problem and its message, and files
// that are no settings files.

#include "Backend.h"
#include "ConfigLinter.h"
#include "TestFixtures.h"
#include "TestRegistry.h"
#include "config/ConfigKeys.h"

#include <QTest>

#include <optional>

namespace {

// A file and the problems found in it, as "severity: text" lines, the last
// one's start only. In a.ini the lines follow a valid process group; NUL is a
// NUL byte; no content: a folder. A FIFO and a file over the cap:
// TestSettingsFile. A mode that is none, required=no and a required daemon,
// each in the words of check: TestLauncherScreen::countdown.
const struct
{
    const char* name;
    const char* content;
    const char* expected;
    const char* file = "a.ini";
} Problems[] = {
    {"valid",
     "arguments=-c, \"a;b\", \\\\x\nmode=Async\nrequired=0\nrestart-on-exit=3, 4\n"
     "restart-limit=50\nrestart-delay=1\nready=TCP:[::1]:80\n"
     "watchdog=30\nalive=http://[::1]:8080/health\nalive-interval=5\nmemory-max=512M\n"
     "[process-0/environment]\nA=1\n[ui]\nname=Caf\xc3\xa9\n[pipeline]\nrestart-at=4:00\n",
     ""},
    {"PATH", "library-paths=/usr/bin, /bin\n[process-0/environment]\nPATH=/opt/bin\n",
     "warning: [process-0/environment] PATH: replaced by library-paths, so the process gets "
     "PATH=/usr/bin:/bin"},
    {"limit 1", "restart-on-crash=true\nrestart-limit=1\n",
     "warning: [process-0] restart-limit: '1' restarts nothing, since the crash being handled"},
    {"exit code 256", "restart-on-exit=256\n", "error: [process-0] restart-on-exit: '256' is no"},
    {"exit code x", "restart-on-exit=1, x\n", "error: [process-0] restart-on-exit: 'x' is not an"},
    {"group", "[proces-3]\nexec=x\n",
     "warning: [proces-3]: not ui, logs, pipeline or a process group, so it is ignored; did you "
     "mean [process-3]?"},
    {"restart-at 25:00", "[pipeline]\nrestart-at=25:00\n",
     "error: [pipeline] restart-at: '25:00' is not a time of day"},
    {"label on two lines", "label=sound\\nserver\n",
     "warning: [process-0] label: '\\n' reads as a line feed; write '\\\\' for a backslash\n"
     "warning: [process-0] label: a line break"},
    {"long label", "label=the sound server that plays the chimes at the door\n",
     "warning: [process-0] label: 50 characters are cut"},
    {"ture", "restart-on-crash=ture\n", "warning: [process-0] restart-on-crash: 'ture' is neither"},
    {"three", "restart-limit=three\n", "error: [process-0] restart-limit: 'three' is not a whole"},
    // The linter and the runtime read ready= with one parser.
    {"ready", "ready=tcp:host:http\n", "error: [process-0] ready: 'tcp:host:http' is not a"},
    // alive= is ready='s grammar, less what says something once, plus http.
    {"alive, log", "alive=log:up\n", "error: [process-0] alive: 'log:up' is not a check (log: "},
    {"alive, no port", "alive=http://localhost/health\n",
     "error: [process-0] alive: 'http://localhost/health' is not a check (the port is missing"},
    {"alive, interval below timeout", "alive=tcp:80\nalive-interval=2\nalive-timeout=5\n",
     "warning: [process-0] alive-interval: 2 s is shorter than alive-timeout (5 s)"},
    // Sizes of both files have one parser.
    {"memory-max 12X", "memory-max=12X\n", "error: [process-0] memory-max: '12X' is not a size"},
    {"list", "[ui]\nname=Hello, you\n", "error: [ui] name: 'Hello,you' is a list"},
    {"UTF-8", "[ui]\nname=Caf\xe9\n", "warning: [ui]: line 4 is not valid UTF-8"},
    {"group open", "[ui\n", "error: [ui]: line 3: the group has no closing ']'"},
    // Found by the fuzzer: the reader once allocated what this claims.
    {"serialized", "x=@Variant(\\0\\0\\0\\x9@ByteArray(x), @@5y\n",
     "error: holds a serialized value (@Variant(...)"},
    {"binary", "[ui]NUL", "error: binary content", "b.ini"},
    {"byte-order mark", "\xef\xbb\xbf[process-0]\nexec=/bin/true\n", "", "b.ini"},
    {"folder", nullptr, "error: cannot be read: it is a", "b.ini"},
    {"settings", "[ui]\nallow-exti=0\n",
     "warning: [ui] allow-exti: unknown key, ignored; did you mean 'allow-exit'?", "launcher.ini"},
    {"journal", "[logs]\njournal=nativ\n",
     "error: [logs] journal: 'nativ' is none of events, all and native, so it reads as events; "
     "did you mean 'native'?",
     "launcher.ini"},
    // The screen keeps its own look for a brand that does not read: a warning.
    {"brand", "[ui]\naccent-color=Dark Orange\nbackground-color=#80F4EFE6\ntext-scale=2.5\n", "",
     "launcher.ini"},
    {"colour", "[ui]\naccent-color=#3d8bfd\nbackground-color=blu\n",
     "warning: [ui] background-color: 'blu' is not a colour", "launcher.ini"},
    {"scale", "[ui]\ntext-scale=0.2\n", "warning: [ui] text-scale: '0.2' is no", "launcher.ini"},
    {"picture", "[ui]\nlogo=launcher.ini\nbackground-image=pictures/none.png\n",
     "warning: [ui] background-image: 'pictures/none.png' does not exist; no picture is shown\n"
     "warning: [ui] logo: 'launcher.ini' is no PNG, JPEG, GIF or BMP picture",
     "launcher.ini"},
    // A locale's name (a language alone: TestScreenLanguage); anything else names the
    // languages there are.
    {"language of a locale", "[ui]\nlanguage=de_DE.UTF-8\n", "", "launcher.ini"},
    {"renderer", "[ui]\nrenderer=sofware\n",
     "warning: [ui] renderer: 'sofware' is none of auto, opengl and software, so it reads as "
     "auto; did you mean 'software'?",
     "launcher.ini"},
    {"language unknown", "[ui]\nlanguage=Deutsch\n",
     "warning: [ui] language: 'Deutsch' is no language of the screen (", "launcher.ini"},
};

// What a whole-number key read as, where the backend shows it; none where it does not.
std::optional<qint64> loaded(const QString& key, const Backend& backend,
                             const ProcessConfig& process)
{
    const std::pair<const char*, qint64> values[] = {
        {"process/restart-limit", process.restartLimit},
        {"process/restart-period", process.restartPeriod},
        {"process/restart-delay", process.restartDelay},
        {"process/restart-delay-max", process.restartDelayMax},
        {"process/ready-timeout", process.readyTimeout},
        {"process/watchdog", process.watchdog},
        {"process/alive-interval", process.aliveInterval},
        {"process/alive-timeout", process.aliveTimeout},
        {"process/alive-failures", process.aliveFailures},
        {"autostart/timeout", backend.autostartTimeout()},
        {"logs/rotate-period", backend.logRotatePeriod()},
        {"logs/keep-days", backend.logKeepDays()},
    };
    for (const auto& [name, value] : values) {
        if (key == QLatin1String(name))
            return value;
    }
    return std::nullopt;
}

QStringList lint(const QString& path)
{
    QStringList found;
    for (const ConfigProblem& problem : ConfigLinter(path, ConfigLinter::kindOf(path)).lint())
        found.append(problem.severityName() + ": " + problem.text());
    return found;
}

} // namespace

class TestLint : public QObject
{
    Q_OBJECT

private slots:
    void problems_data() { addRows(Problems); }

    void problems()
    {
        const auto& row = currentRow(Problems);
        QByteArray content = row.content;
        if (row.file == QLatin1String("a.ini"))
            content.prepend("[process-0]\nexec=/bin/true\n");
        const QTemporaryDir folder;
        const QString path = folder.filePath(row.file);
        QVERIFY(!row.content ? QDir().mkpath(path)
                             : writeFile(path, content.replace("NUL", QByteArray(1, '\0'))));
        Backend().loadPipelineConfig(QFileInfo(path)); // reads, never crashes
        const QString all = lint(path).join('\n');
        const QString expected = row.expected;
        QVERIFY2(all.left(expected.size()) == expected && all.count('\n') == expected.count('\n') &&
                     all.isEmpty() == expected.isEmpty(),
                 qPrintable(all));
    }

    // Every whole-number key of both files, at values in its range, at its
    // most, one beyond, one that a 32-bit number would wrap to 2, and a
    // negative one. Beyond the range is an error in check, and the launcher
    // reads the key's default with an error that names the file, the key and
    // the value: a number never wraps.
    void numbers_data()
    {
        QTest::addColumn<int>("file");  // ConfigKeys::File
        QTest::addColumn<int>("index"); // of the key in its file's table
        QTest::addColumn<qint64>("number");
        for (const ConfigKeys::File file :
             {ConfigKeys::File::Pipeline, ConfigKeys::File::Settings}) {
            for (int index = 0; ConfigKeys::table(file)[index].name; ++index) {
                const ConfigKeys::Key& key = ConfigKeys::table(file)[index];
                if (key.kind != ConfigKeys::Kind::Integer)
                    continue;
                const auto add = [&](const char* what, qint64 number) {
                    QTest::addRow("%s/%s %s", key.group, key.name, what)
                        << int(file) << index << number;
                };
                add("in range", std::max(key.minimum, 0) + 1);
                add("at its most", key.maximum);
                add("one beyond", qint64(key.maximum) + 1);
                add("2^32 + 2", (qint64(1) << 32) + 2);
                add("negative", -5);
            }
        }
    }

    void numbers()
    {
        QFETCH(int, file);
        QFETCH(int, index);
        QFETCH(qint64, number);
        const ConfigKeys::Key& entry = ConfigKeys::table(ConfigKeys::File(file))[index];
        const QString group = entry.group, key = entry.name, value = QString::number(number);
        const bool inRange = number >= entry.minimum && number <= entry.maximum;
        const DataFolders folders;
        const bool pipeline = file == int(ConfigKeys::File::Pipeline);
        const QString path =
            pipeline ? folders.user() + "/apps/a.ini" : folders.user() + "/launcher.ini";
        const QString section = pipeline ? "process-0" : group;
        QVERIFY(writeFile(
            path, QString("[%1]\n%2=%3\n%4")
                      .arg(section, key, value, pipeline ? "exec=/bin/true\nmode=sync\n" : "")
                      .toUtf8()));
        const QString problem = QString("error: [%1] %2: '%3' ").arg(section, key, value);
        const QStringList found = lint(path).filter(problem);
        QVERIFY2(found.size() == (inRange ? 0 : 1) &&
                     (inRange || found.first().startsWith(problem + "is out of range (")),
                 qPrintable(lint(path).join('\n')));

        MessageCapture capture;
        Backend backend;
        backend.load();
        const ProcessConfig process = backend.processPipelines().value(0).processList.value(0);
        const QStringList errors = capture.texts(QtCriticalMsg);
        QVERIFY2(errors.size() == (inRange ? 0 : 1) &&
                     (inRange ||
                      errors.first().contains(QString("file '%1': [%2] %3: '%4' is out of range")
                                                  .arg(path, section, key, value))),
                 qPrintable(errors.join('\n')));
        const std::optional<qint64> read = loaded(group + '/' + key, backend, process);
        QVERIFY(!read || *read == (inRange ? number : entry.defaultValue.toLongLong()));
    }
};

LAUNCHER_TEST(TestLint)
#include "TestLint.moc"
