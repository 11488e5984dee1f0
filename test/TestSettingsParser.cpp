// Our parse of a settings file against QSettings on the same bytes: every
// group, key and value alike, or the file left to QSettings.

#include "TestRegistry.h"
#include "config/IniDocument.h"
#include "config/PipelineFileReader.h"

#include <QDir>
#include <QFile>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

namespace {

QString describe(const QVariant& value)
{
    if (value.type() == QVariant::StringList)
        return QStringLiteral("list(%1)").arg(value.toStringList().join(QStringLiteral(")(")));
    return QStringLiteral("%1(%2)").arg(QLatin1String(value.typeName()), value.toString());
}

// Everything a reader can ask, group by group from the top: the key lists
// and each value with its type. IniDocument and QSettings answer alike.
template <class Source>
void describe(Source& source, const QString& group, QStringList& lines)
{
    lines << group + QStringLiteral(" all: ") + source.allKeys().join(QLatin1Char('|'));
    lines << group + QStringLiteral(" keys: ") + source.childKeys().join(QLatin1Char('|'));
    lines << group + QStringLiteral(" groups: ") + source.childGroups().join(QLatin1Char('|'));
    const QStringList keys = source.childKeys();
    for (const QString& key : keys)
        lines << group + key + QLatin1Char('=') + describe(source.value(key, QVariant()));
    const QStringList groups = source.childGroups();
    for (const QString& child : groups) {
        source.beginGroup(child);
        describe(source, group + child + QLatin1Char('/'), lines);
        source.endGroup();
    }
}

template <class Source>
QStringList describe(Source& source)
{
    QStringList lines;
    describe(source, QString(), lines);
    return lines;
}

} // namespace

class TestSettingsParser : public QObject
{
    Q_OBJECT

private slots:
    void sameAsQSettings_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<bool>("supported");

        const auto row = [](const char* name, const QByteArray& content, bool supported = true) {
            QTest::newRow(name) << content << supported;
        };
        row("plain", "[ui]\nname=Demo\nicon=demo.png\n[process-0]\nexec=/bin/true\n");
        row("empty file", "");
        row("comments only", "; one\n  ;two\n");
        row("no final line break", "[ui]\nname=x");
        row("keys before any group", "top=1\nother=2\n[ui]\nname=x\n");
        row("[General] is the top", "a=1\n[ui]\nb=2\n[General]\nc=3\n");
        row("[general] in any case", "[GENERAL]\na=1\n[gEnErAl]\nb=2\n");
        row("[%general] is a group", "[%General]\na=1\n[%general]\nb=2\n");
        row("later duplicate key wins", "[ui]\nname=a\nname=b\n");
        row("group written twice", "[ui]\nname=a\n[logs]\npath=x\n[ui]\nicon=i\nname=c\n");
        row("escapes in group names", "[a%20b]\nk=1\n[%U00e9t%55]\nk=2\n[x%]\nk=3\n[y%4]\nk=4\n");
        row("escapes in key names", "[ui]\na%3Db=1\n%U0041=2\n%25=3\nz%=4\n");
        row("backslash in a key is a group", "[process-0]\nenvironment\\PATH=/bin\nenv/HOME=/\n");
        row("a key that is a group too", "[a]\nb=1\nb\\c=2\n");
        row("group names sorted apart from keys", "[a-b]\nx=1\n[a]\ny=2\n[a.b]\nz=3\n");
        row("blanks around keys and values", "[ui]\n  name \t =  \t x y \t \n\tkey\t=\tz\t\n");
        row("blanks around group names", "[  ui  ]\nname=x\n[\tlogs\t] text after\npath=y\n");
        row("quoted value keeps blanks", "a=\"  x  \"\nb=  \"y\"  \nc=\"p\" q \n");
        row("quoted comma and semicolon", "a=\"x, y\"\nb=\"c;d\"\nc=\"=\"\n");
        row("lists", "a=x, y ,z\nb=-c, \"echo a; b\", x\nc=x,\nd=,\ne= , \n");
        row("empty values", "a=\nb=  \nc=\"\"\n");
        row("escapes in values", "a=\\n\\t\\\\\\\"\\?\\'\\a\\b\\f\\v\\r\nb=C:\\\\new\n");
        row("unknown escape drops both", "a=x\\qy\nb=x\\ \nc=x\\, y\nd=\\;\n");
        row("escaped blank survives trimming", "a=x\\t \nb= \\t\\t \n");
        row("semicolon ends the value", "[ui]\nname=y ; note\nicon=a;b\n");
        row("hash is no comment", "[ui]\n#name=x\n# icon = y\n");
        row("line without equals sign", "[ui]\njunk\nname=x\n  more junk  \n");
        row("equals sign in a value", "a=b=c\nd==\n");
        row("backslash hides the equals sign", "[ui]\na\\=1\nb=2\n");
        row("quoted equals sign in a key", "a\"=\"b=c\n");
        row("CRLF", "[ui]\r\nname=x\r\n\r\nicon=y\r\n");
        row("CR alone", "[ui]\rname=x\ricon=y\r");
        row("blank lines", "\n\n   \n[ui]\n\n  name=x\n\n");
        row("byte-order mark", "\xef\xbb\xbf[ui]\nname=x\n");
        row("byte-order mark, then a comment", "\xef\xbb\xbf;x\n a=1\n");
        row("byte-order mark, then no key", "\xef\xbb\xbf a\nb=1\n");
        row("UTF-8 values", "name=Caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80\n");
        row("names beyond ASCII read as Latin-1", "[gr\xc3\xbc\xc3\x9f]\nk\xc3\xa9=1\n");
        row("at sign escaped", "a=@@x\nb=@@y, @@z\nc=x@\n");
        row("process groups", "[process-10]\nexec=a\n[process-2]\nexec=b\nenvironment\\A=1\n");

        // Left to QSettings; each file names a key that the pipeline reader
        // takes, so that loading shows the fallback at work.
        row("typed value", "[ui]\nname=x\n[process-0]\narguments=@ByteArray(-c)\n", false);
        row("rectangle", "[ui]\nname=@Rect(1 2 3 4)\nicon=i\n", false);
        row("at sign in a list", "[process-0]\narguments=x, @y\n", false);
        row("at sign alone", "[ui]\nname=@\nicon=i\n", false);
        row("continued line", "[ui]\nname=x\\\ny\nicon=1\n", false);
        row("quoted line break", "[ui]\nname=\"x\ny\"\nicon=1\n", false);
        row("unclosed quote", "[ui]\nname=\"x\nicon=1\n", false);
        row("hexadecimal escape", "[ui]\nname=\\x41\n", false);
        row("octal escape", "[ui]\nname=\\101\n", false);
        row("backslash at the end", "[ui]\nname=x\\", false);
        row("not UTF-8", "[ui]\nname=Caf\xe9\n", false);
        row("byte-order mark inside", "[ui]\nname=\xef\xbb\xbfx\n", false);
        row("group without bracket", "[ui\nname=x\n", false);
        row("group inside a group", "[process-0/environment]\nA=1\n[ui]\nname=n\n", false);
        row("group inside a group by backslash", "[process-0\\environment]\nA=1\n[ui]\nname=n\n",
            false);
        row("empty group name", "[]\nname=1\n[ui]\nname=2\n", false);
        row("group path outside any group", "ui/name=x\n", false);
        row("empty key", "[ui]\n=x\nname=y\n", false);
        row("key with an empty part", "[process-0]\nenvironment//A=1\nexec=x\n", false);
        row("key ending in a slash", "[process-0]\nenvironment\\ =1\nexec=x\n", false);
        row("key on the line of a byte-order mark", "\xef\xbb\xbfname=1\n[ui]\nname=x\n", false);
        row("percent without digits", "[ui]\nname%zz=1\nname=x\n", false);
    }

    void sameAsQSettings()
    {
        QFETCH(QByteArray, content);
        QFETCH(bool, supported);

        // QSettings objects of one path share what they have parsed, and what
        // some files give depends on the order of look-ups: each reads a copy.
        QTemporaryDir folder;
        for (const char* name : {"a/app.ini", "b/app.ini", "c/app.ini"}) {
            QVERIFY(QDir(folder.path()).mkpath(QFileInfo(name).path()));
            QFile file(folder.filePath(QLatin1String(name)));
            QVERIFY(file.open(QIODevice::WriteOnly));
            QCOMPARE(file.write(content), qint64(content.size()));
        }
        QSettings settings(folder.filePath(QStringLiteral("a/app.ini")), QSettings::IniFormat);
        settings.setIniCodec("UTF-8");

        const QByteArray original(content.constData(), content.size());
        IniDocument document(content);
        QCOMPARE(content, original); // read, never written to
        QCOMPARE(document.isSupported(), supported);
        if (supported) {
            QCOMPARE(describe(document), describe(settings));
            if (content.contains('='))
                QVERIFY(!settings.allKeys().isEmpty());
        } else {
            QVERIFY(!document.unsupported().isEmpty());
            QVERIFY(document.allKeys().isEmpty());
        }

        // Loading reads what QSettings reads, on the fast path or not.
        const PipelineFileReader reader(QStringLiteral("/logs"));
        QSettings fresh(folder.filePath(QStringLiteral("c/app.ini")), QSettings::IniFormat);
        fresh.setIniCodec("UTF-8");
        QCOMPARE(reader.load(QFileInfo(folder.filePath(QStringLiteral("b/app.ini")))),
                 reader.read(fresh));
    }

    // The readers enter groups as QSettings does: nested, and back out.
    void groups()
    {
        IniDocument document("[process-0]\nexec=a\nenvironment\\A=1\n[ui]\nname=n\n");
        document.beginGroup(QStringLiteral("process-0"));
        QCOMPARE(document.value(QStringLiteral("exec")), QVariant(QStringLiteral("a")));
        QCOMPARE(document.value(QStringLiteral("name")), QVariant());
        document.beginGroup(QStringLiteral("environment"));
        QCOMPARE(document.allKeys(), QStringList{QStringLiteral("A")});
        document.endGroup();
        QCOMPARE(document.allKeys(), (QStringList{"environment/A", "exec"}));
        document.endGroup();
        QCOMPARE(document.value(QStringLiteral("ui/name"), 1), QVariant(QStringLiteral("n")));
        QCOMPARE(document.value(QStringLiteral("ui/icon"), 1), QVariant(1));
    }
};

LAUNCHER_TEST(TestSettingsParser)
#include "TestSettingsParser.moc"
