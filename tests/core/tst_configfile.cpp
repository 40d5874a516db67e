#include "core/settings/configfile.h"

#include "core/output/atomicfile.h"

#include "support/testsupport.h"
#include <QDir>
#include <QDomDocument>
#include <QFile>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTextCodec>

#include <QtTest>

#include <csignal>
#include <functional>
#include <future>
#include <memory>
#include <sys/resource.h>
#include <sys/stat.h>

namespace {

// How a row gets at its file.
enum class Where {
    File,       // config.xml holding the row's content
    Missing,    // no file at all
    Directory,  // the path names a folder
    EmptyPath,  // ""
    BlankPath,  // only white space
    Fifo,       // config.xml is a FIFO that no one writes to
    LongName,   // a name so long that no temporary file can sit beside it
    SyncFails,  // syncing the new file fails
    InPlaceCut, // LongName, and writing in place is cut short
    InPlaceEIO, // LongName, and syncing in place fails
    SizeLimited // writing more than a few bytes fails
};

const char standardXml[] = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                           "<config>\n"
                           "  <!-- kept -->\n"
                           "  <paths defaultSelectPath=\"  /in put  \" defaultSavePath=\"\" "
                           "note=\"x\"/>\n"
                           "  <parameters marginPixel=\"2\" Orientation=\"0\"/>\n"
                           "</config>\n";

QString pathFor(const QTemporaryDir &dir, Where where)
{
    switch (where) {
    case Where::EmptyPath:
        return QString();
    case Where::BlankPath:
        return QStringLiteral(" \t ");
    case Where::Directory:
        return dir.path();
    case Where::Fifo: {
        const QString path = dir.filePath(QStringLiteral("config.xml"));
        return mkfifo(QFile::encodeName(path).constData(), 0600) == 0 ? path : QString();
    }
    case Where::LongName:
    case Where::InPlaceCut:
    case Where::InPlaceEIO:
        return dir.filePath(QString(250, QLatin1Char('c')) + QStringLiteral(".xml"));
    default:
        return dir.filePath(QStringLiteral("config.xml"));
    }
}

// Runs `write` with the file size limited to `bytes`, and SIGXFSZ ignored so
// that going past it is a plain write error.
int writeWithSizeLimit(rlim_t bytes, const std::function<int()> &write)
{
    rlimit old{};
    getrlimit(RLIMIT_FSIZE, &old);
    auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit limited = old;
    limited.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &limited);
    const int result = write();
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);
    return result;
}

QMap<QString, QString> keys(const QString &names)
{
    QMap<QString, QString> map;
    for (const QString &name : names.split(QLatin1Char(','), Qt::SkipEmptyParts))
        map.insert(name, QStringLiteral("new"));
    return map;
}

} // namespace

Q_DECLARE_METATYPE(Where)

class TestConfigFile : public QObject
{
    Q_OBJECT

private slots:
    void readErrors_data();
    void readErrors();
    void readValues_data();
    void readValues();
    void writeErrors_data();
    void writeErrors();
    void writeRoundTrip_data();
    void writeRoundTrip();
    void writeKeepsOtherContent();
    void writeKeepsDeclaredEncoding_data();
    void writeKeepsDeclaredEncoding();
    void writeEditsOnlyTheValues_data();
    void writeEditsOnlyTheValues();
    void writeInPlaceWhenNoTemporaryNameFits();
    void writeUpToTheSizeLimit();
    void writeKeepsByteOrderMark_data();
    void writeKeepsByteOrderMark();
    void writesInPlaceTakeTurns();
    void settingsPathIn_data();
    void settingsPathIn();

private:
    void addErrorRows();
};

void TestConfigFile::addErrorRows()
{
    QTest::addColumn<Where>("where");
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("element");
    QTest::addColumn<QString>("names");
    QTest::addColumn<int>("error");

    const auto row = [](const char *name, Where where, const char *content, const char *element,
                        const char *names, int error) {
        QTest::newRow(name) << where << QByteArray(content) << QString(element) << QString(names)
                            << error;
    };
    const char *xml = standardXml;
    const char *paths = "defaultSavePath,defaultSelectPath";
    row("257 empty path", Where::EmptyPath, xml, "paths", paths, 257);
    row("257 blank path", Where::BlankPath, xml, "paths", paths, 257);
    row("258 missing file", Where::Missing, "", "paths", paths, 258);
    row("258 path is a folder", Where::Directory, "", "paths", paths, 258);
    // Opening it to read would wait for a writer for ever.
    row("258 path is a FIFO", Where::Fifo, "", "paths", paths, 258);
    QTest::newRow("258 larger than 1 MiB")
        << Where::File << QByteArray(xml).append(QByteArray(1024 * 1024, ' ')) << QString("paths")
        << QString(paths) << 258;
    row("259 empty file", Where::File, "", "paths", paths, 259);
    row("259 unclosed root", Where::File, "<config><paths defaultSavePath=\"\"/>", "paths",
        "defaultSavePath", 259);
    row("259 before wrong root", Where::File, "<settings><paths></settings>", "paths", paths, 259);
    row("259 encoding that is not a name", Where::File,
        "<?xml version=\"1.0\" encoding=\"1x\"?><config><paths a=\"\"/></config>", "paths", "a",
        259);
    row("261 other root", Where::File, "<settings><paths defaultSavePath=\"\"/></settings>",
        "paths", "defaultSavePath", 261);
    row("261 root name case", Where::File, "<Config><paths defaultSavePath=\"\"/></Config>",
        "paths", "defaultSavePath", 261);
    row("262 no such element", Where::File, xml, "colours", paths, 262);
    row("262 element name case", Where::File, xml, "Paths", paths, 262);
    row("262 root is not searched", Where::File, xml, "config", "", 262);
    row("263 one attribute missing", Where::File, xml, "parameters", "Orientation,zoom", 263);
    row("263 attribute name case", Where::File, xml, "parameters", "orientation", 263);
}

void TestConfigFile::readErrors_data()
{
    addErrorRows();
}

void TestConfigFile::readErrors()
{
    QFETCH(Where, where);
    QFETCH(QByteArray, content);
    QFETCH(QString, element);
    QFETCH(QString, names);
    QFETCH(int, error);

    QTemporaryDir dir;
    const QString path = pathFor(dir, where);
    if (where == Where::File)
        QVERIFY(writeFileBytes(path, content));
    QMap<QString, QString> attributes = keys(names);
    QCOMPARE(readConfigAttributes(path, element, attributes), error);
    QVERIFY(where != Where::Missing || !QFile::exists(path));
}

void TestConfigFile::readValues_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("element");
    QTest::addColumn<QString>("attribute");
    QTest::addColumn<QString>("value");

    const auto row = [](const char *name, const char *content, const char *element,
                        const char *attribute, const QString &value) {
        QTest::newRow(name) << QByteArray(content) << QString(element) << QString(attribute)
                            << value;
    };
    row("spaces kept", standardXml, "paths", "defaultSelectPath", "  /in put  ");
    row("empty value", standardXml, "paths", "defaultSavePath", "");
    row("nested deeper", "<config><group><paths a=\"deep\"/></group></config>", "paths", "a",
        "deep");
    row("first of two in document order",
        "<config><group><paths a=\"first\"/></group><paths a=\"second\"/></config>", "paths", "a",
        "first");
    row("ISO-8859-1 file",
        "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><config><paths a=\"caf\xe9\"/></config>",
        "paths", "a", QStringLiteral("caf\u00e9"));
    row("instruction that only looks like the declaration",
        "<?xmlX version=\"1.0\" encoding=\"UTF-16\"?><config><paths a=\"caf\xc3\xa9\"/></config>",
        "paths", "a", QStringLiteral("caf\u00e9"));
    row("character references", "<config><paths a=\"&#9;x&#10;y&#13;&#x1F600;\"/></config>",
        "paths", "a", QStringLiteral("\tx\ny\r\U0001F600"));
}

void TestConfigFile::readValues()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, element);
    QFETCH(QString, attribute);
    QFETCH(QString, value);

    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("config.xml"));
    QVERIFY(writeFileBytes(path, content));
    QMap<QString, QString> attributes{{attribute, QStringLiteral("stale")}};
    QCOMPARE(readConfigAttributes(path, element, attributes), 0);
    QCOMPARE(attributes.value(attribute), value);
    QCOMPARE(attributes.size(), 1);
}

void TestConfigFile::writeErrors_data()
{
    addErrorRows();
    const QString paths = QStringLiteral("defaultSavePath,defaultSelectPath");
    // Another attribute would read back changed: U+FFFD is no ISO-8859-7 character.
    QTest::newRow("265 a byte the encoding cannot decode")
        << Where::File
        << QByteArray("<?xml version=\"1.0\" encoding=\"ISO-8859-7\"?>"
                      "<config><paths defaultSavePath=\"\" x=\"\xae\"/></config>")
        << QString("paths") << QString("defaultSavePath") << 265;
    // UTF-8 can write U+FFFD, but the comment's byte is not it.
    QTest::newRow("265 a byte UTF-8 cannot decode in a comment")
        << Where::File
        << QByteArray("<config><!-- caf\xe9 --><paths defaultSavePath=\"\" x=\"\"/></config>")
        << QString("paths") << QString("defaultSavePath") << 265;
    // Saved, it would be refused as 258 (over 1 MiB) at the next start.
    QByteArray nearLimit(standardXml);
    nearLimit.replace("kept", QByteArray(1024 * 1024 - nearLimit.size() + 4, 'k'));
    QTest::newRow("266 new file over the size a read takes")
        << Where::File << nearLimit << QString("paths") << QString("defaultSavePath") << 266;
    // One byte more than a read takes.
    QByteArray overByOne(standardXml);
    overByOne.replace("kept", QByteArray(1024 * 1024 - overByOne.size() + 2, 'k'));
    QTest::newRow("266 new file one byte over the size a read takes")
        << Where::File << overByOne << QString("paths") << QString("defaultSavePath") << 266;
    QTest::newRow("264 file size limit")
        << Where::SizeLimited << QByteArray(standardXml) << QString("paths") << paths << 264;
    QTest::newRow("264 sync fails")
        << Where::SyncFails << QByteArray(standardXml) << QString("paths") << paths << 264;
    QTest::newRow("264 in-place write cut short")
        << Where::InPlaceCut << QByteArray(standardXml) << QString("paths") << paths << 264;
    QTest::newRow("264 in-place sync fails")
        << Where::InPlaceEIO << QByteArray(standardXml) << QString("paths") << paths << 264;
}

void TestConfigFile::writeErrors()
{
    QFETCH(Where, where);
    QFETCH(QByteArray, content);
    QFETCH(QString, element);
    QFETCH(QString, names);
    QFETCH(int, error);

    QTemporaryDir dir;
    const QString path = pathFor(dir, where);
    const bool hasFile = where == Where::File || where >= Where::LongName;
    if (hasFile)
        QVERIFY(writeFileBytes(path, content));
    const QStringList before = QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
    if (where == Where::SyncFails || where == Where::InPlaceEIO)
        setWriteFaultForTesting(WriteStep::Sync, where == Where::SyncFails ? -1 : 1);
    const auto clearFaults = qScopeGuard([] { setWriteFaultForTesting(WriteStep::None, 0); });

    const QMap<QString, QString> attributes = keys(names);
    const int result =
        where == Where::SizeLimited || where == Where::InPlaceCut
            ? writeWithSizeLimit(16,
                                 [&] { return writeConfigAttributes(path, element, attributes); })
            : writeConfigAttributes(path, element, attributes);
    QCOMPARE(result, error);

    // Nothing created, nothing left behind, the old file as it was.
    QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), before);
    if (hasFile)
        QCOMPARE(readFileBytes(path), content);
}

void TestConfigFile::writeRoundTrip_data()
{
    QTest::addColumn<QString>("value");
    QTest::addColumn<QString>("stored");

    const auto row = [](const char *name, const QString &value, const QString &stored) {
        QTest::newRow(name) << value << stored;
    };
    row("surrounding spaces trimmed", QStringLiteral("  /out/sheets \t"), "/out/sheets");
    row("inner spaces kept", "/my  sheets/a b", "/my  sheets/a b");
    row("only spaces", "   ", "");
    row("markup characters", "a\"b'c<d>&e;", "a\"b'c<d>&e;");
    row("tab inside", "a\tb", "a\tb");
    row("non-ASCII", QStringLiteral("/Bilder/\u00e9t\u00e9/\u65e5\u672c"),
        QStringLiteral("/Bilder/\u00e9t\u00e9/\u65e5\u672c"));
    row("outside the BMP", QStringLiteral("/icons/\U0001F600"),
        QStringLiteral("/icons/\U0001F600"));
}

void TestConfigFile::writeRoundTrip()
{
    QFETCH(QString, value);
    QFETCH(QString, stored);

    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("config.xml"));
    QVERIFY(writeFileBytes(path, QByteArray(standardXml)));
    const QMap<QString, QString> written{
        {QStringLiteral("defaultSavePath"), value},
        {QStringLiteral("defaultSelectPath"), QStringLiteral("/in")}};
    QCOMPARE(writeConfigAttributes(path, QStringLiteral("paths"), written), 0);

    QMap<QString, QString> read{{QStringLiteral("defaultSavePath"), QString()},
                                {QStringLiteral("defaultSelectPath"), QString()}};
    QCOMPARE(readConfigAttributes(path, QStringLiteral("paths"), read), 0);
    QCOMPARE(read.value(QStringLiteral("defaultSavePath")), stored);
    QCOMPARE(read.value(QStringLiteral("defaultSelectPath")), QStringLiteral("/in"));
}

void TestConfigFile::writeKeepsOtherContent()
{
    const QByteArray xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                           "<config>\n"
                           "  <!-- hand edited -->\n"
                           "  <group><paths a=\"1\" b=\"2\" keep=\"k\"/></group>\n"
                           "  <paths a=\"second\" b=\"second\"/>\n"
                           "  <parameters marginPixel=\"9\" Orientation=\"1\"/>\n"
                           "  <extra>text</extra>\n"
                           "</config>\n";
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("config.xml"));
    QVERIFY(writeFileBytes(path, xml));

    QCOMPARE(writeConfigAttributes(path, QStringLiteral("paths"),
                                   {{QStringLiteral("a"), QStringLiteral(" new ")}}),
             0);

    const QByteArray after = readFileBytes(path);
    QVERIFY2(after.contains("<!-- hand edited -->"), after.constData());
    QDomDocument document;
    QVERIFY(document.setContent(after));
    const auto nthElement = [&](const QString &name, int index) {
        return document.documentElement().elementsByTagName(name).item(index).toElement();
    };
    const QDomElement first = nthElement(QStringLiteral("paths"), 0);
    QCOMPARE(first.parentNode().nodeName(), QStringLiteral("group"));
    QCOMPARE(first.attribute(QStringLiteral("a")), QStringLiteral("new"));
    QCOMPARE(first.attribute(QStringLiteral("b")), QStringLiteral("2"));
    QCOMPARE(first.attribute(QStringLiteral("keep")), QStringLiteral("k"));
    const QDomElement second = nthElement(QStringLiteral("paths"), 1);
    QCOMPARE(second.attribute(QStringLiteral("a")), QStringLiteral("second"));
    QCOMPARE(second.attribute(QStringLiteral("b")), QStringLiteral("second"));
    const QDomElement parameters = nthElement(QStringLiteral("parameters"), 0);
    QCOMPARE(parameters.attribute(QStringLiteral("marginPixel")), QStringLiteral("9"));
    QCOMPARE(parameters.attribute(QStringLiteral("Orientation")), QStringLiteral("1"));
    QCOMPARE(nthElement(QStringLiteral("extra"), 0).text(), QStringLiteral("text"));
}

void TestConfigFile::writeKeepsDeclaredEncoding_data()
{
    QTest::addColumn<QByteArray>("encoding");
    QTest::addColumn<QString>("value");
    QTest::addColumn<int>("error");

    const auto row = [](const char *name, const char *encoding, const QString &value, int error) {
        QTest::newRow(name) << QByteArray(encoding) << value << error;
    };
    row("ISO-8859-1", "ISO-8859-1", QStringLiteral("/Ordner/\u00e9t\u00e9"), 0);
    row("ISO-8859-1 with a character it lacks", "ISO-8859-1",
        QStringLiteral("/\u00e9/\u65e5\u672c"), 0);
    row("ISO-8859-1 tab, LF and CR inside", "ISO-8859-1", QStringLiteral("a\tb\nc\rd"), 0);
    row("windows-1252", "windows-1252", QStringLiteral("/\u20ac/\u00e9"), 0);
    row("UTF-8 outside the BMP", "UTF-8", QStringLiteral("/\U0001F600"), 0);
    row("UTF-8 ends of XML's ranges", "UTF-8", QStringLiteral("/\ud7ff\ue000\ufffd"), 0);
    // Values a later start could not read, or that would come back changed.
    row("265 ISO-8859-1 outside the BMP", "ISO-8859-1", QStringLiteral("/\u00e9/\U0001F600"), 265);
    row("265 windows-1252 outside the BMP", "windows-1252", QStringLiteral("/\U0001F600"), 265);
    row("265 U+FFFE", "UTF-8", QStringLiteral("/a\ufffe"), 265);
    row("265 U+FFFF", "UTF-8", QStringLiteral("/a\uffff"), 265);
    row("265 C0 control", "UTF-8", QStringLiteral("/a\u0001b"), 265);
    row("265 escape", "ISO-8859-1", QStringLiteral("/a\u001b"), 265);
    row("265 unpaired high surrogate", "UTF-8", QString(QChar(0xd83d)) + QStringLiteral("/x"), 265);
    row("265 unpaired low surrogate", "UTF-8", QStringLiteral("/x") + QChar(0xde00), 265);
    row("265 surrogates in reverse", "UTF-8", QString(QChar(0xde00)) + QChar(0xd83d), 265);
}

void TestConfigFile::writeKeepsDeclaredEncoding()
{
    QFETCH(QByteArray, encoding);
    QFETCH(QString, value);
    QFETCH(int, error);

    QTextCodec *codec = QTextCodec::codecForName(encoding);
    QVERIFY(codec);
    const QString declaration = QStringLiteral("<?xml version=\"1.0\" encoding=\"%1\"?>")
                                    .arg(QString::fromLatin1(encoding));
    const QString xml = declaration + QStringLiteral("\n<config>\n"
                                                     "  <paths a=\"caf\u00e9\" b=\"\"/>\n"
                                                     "</config>\n");
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("config.xml"));
    const QByteArray before = codec->fromUnicode(xml);
    QVERIFY(writeFileBytes(path, before));

    QCOMPARE(writeConfigAttributes(path, QStringLiteral("paths"), {{QStringLiteral("b"), value}}),
             error);
    if (error) {
        QCOMPARE(readFileBytes(path), before);
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{"config.xml"});
        return;
    }

    const QByteArray after = readFileBytes(path);
    // Still declared as before, whichever quotes the writer uses.
    const QRegularExpression declared(
        QStringLiteral("^<\\?xml version=.1\\.0. encoding=.%1.\\?>")
            .arg(QRegularExpression::escape(QString::fromLatin1(encoding))));
    QVERIFY2(declared.match(QString::fromLatin1(after)).hasMatch(), after.constData());
    // The untouched value is still in the declared encoding.
    QVERIFY2(after.contains(codec->fromUnicode(QStringLiteral("a=\"caf\u00e9\""))),
             after.toHex().constData());
    QMap<QString, QString> read{{QStringLiteral("a"), QString()}, {QStringLiteral("b"), QString()}};
    QCOMPARE(readConfigAttributes(path, QStringLiteral("paths"), read), 0);
    QCOMPARE(read.value(QStringLiteral("a")), QStringLiteral("caf\u00e9"));
    QCOMPARE(read.value(QStringLiteral("b")), value);
}

void TestConfigFile::writeEditsOnlyTheValues_data()
{
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<QString>("values"); // "name=value" pairs for the paths element, '|' between
    QTest::addColumn<QByteArray>("after");

    const auto row = [](const char *name, const QByteArray &before, const QString &values,
                        const QByteArray &after) {
        QTest::newRow(name) << before << values << after;
    };
    row("attribute order kept",
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<config>\n"
        "  <paths z=\"1\" defaultSavePath=\"\" a=\"2\" defaultSelectPath=\"\" m=\"3\"/>\n"
        "</config>\n",
        "defaultSavePath=/out|defaultSelectPath=/in",
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<config>\n"
        "  <paths z=\"1\" defaultSavePath=\"/out\" a=\"2\" defaultSelectPath=\"/in\" m=\"3\"/>\n"
        "</config>\n");
    row("quotes of declaration and attributes kept",
        "<?xml version='1.0' encoding='UTF-8'?>\n<config><paths a='x' b=\"y\"/></config>",
        "a=it's \"q\"|b=it's \"q\"",
        "<?xml version='1.0' encoding='UTF-8'?>\n<config><paths a='it&apos;s \"q\"' "
        "b=\"it's &quot;q&quot;\"/></config>");
    row("layout, comments and references kept",
        "\xEF\xBB\xBF<config>\r\n\t<!-- c -->\r\n\t<paths   a = \"&#65;&amp;\"  b=\"1\"\n>"
        "</paths>\r\n</config>",
        "a=A&|b=<2>",
        "\xEF\xBB\xBF<config>\r\n\t<!-- c -->\r\n\t<paths   a = \"&#65;&amp;\"  b=\"&lt;2&gt;\"\n>"
        "</paths>\r\n</config>");
    row("white space as references", "<config><paths a=\"\"/></config>", "a=x\ty\nz\rw",
        "<config><paths a=\"x&#9;y&#10;z&#13;w\"/></config>");
    row("what the encoding lacks as references",
        "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><config><paths a=\"\"/></config>",
        QStringLiteral("a=\u00e9\u65e5"),
        "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><config><paths a=\"\xe9&#x65E5;\"/>"
        "</config>");
    row("unknown encoding read and written as UTF-8",
        "<?xml version=\"1.0\" encoding='x-unknown'?><config><paths a=\"\"/></config>",
        QStringLiteral("a=\u00e9"),
        "<?xml version=\"1.0\" encoding='x-unknown'?><config><paths a=\"\xc3\xa9\"/></config>");
    row("instruction that only looks like the declaration",
        "<?xmlX encoding=\"ISO-8859-1\"?><config><paths a=\"\"/></config>",
        QStringLiteral("a=\u00e9"),
        "<?xmlX encoding=\"ISO-8859-1\"?><config><paths a=\"\xc3\xa9\"/></config>");
}

void TestConfigFile::writeEditsOnlyTheValues()
{
    QFETCH(QByteArray, before);
    QFETCH(QString, values);
    QFETCH(QByteArray, after);

    QMap<QString, QString> attributes;
    for (const QString &pair : values.split(QLatin1Char('|')))
        attributes.insert(pair.section(QLatin1Char('='), 0, 0), pair.section(QLatin1Char('='), 1));
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("config.xml"));
    QVERIFY(writeFileBytes(path, before));

    QCOMPARE(writeConfigAttributes(path, QStringLiteral("paths"), attributes), 0);
    QCOMPARE(readFileBytes(path), after);
    // Saving the same values again changes nothing.
    QCOMPARE(writeConfigAttributes(path, QStringLiteral("paths"), attributes), 0);
    QCOMPARE(readFileBytes(path), after);
    QMap<QString, QString> read = attributes;
    QCOMPARE(readConfigAttributes(path, QStringLiteral("paths"), read), 0);
    QCOMPARE(read, attributes);
}

// The folder takes no temporary file, but config.xml itself is writable.
void TestConfigFile::writeInPlaceWhenNoTemporaryNameFits()
{
    QTemporaryDir dir;
    const QString path = pathFor(dir, Where::LongName);
    QVERIFY(writeFileBytes(path, standardXml));

    const QMap<QString, QString> written{{QStringLiteral("defaultSavePath"), QStringLiteral("/o")},
                                         {QStringLiteral("defaultSelectPath"), QString()}};
    QCOMPARE(writeConfigAttributes(path, QStringLiteral("paths"), written), 0);
    QMap<QString, QString> read = keys(QStringLiteral("defaultSavePath,defaultSelectPath"));
    QCOMPARE(readConfigAttributes(path, QStringLiteral("paths"), read), 0);
    QCOMPARE(read, written);
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden),
             QStringList{QFileInfo(path).fileName()});
}

// A new file of exactly the size a read takes is still saved.
void TestConfigFile::writeUpToTheSizeLimit()
{
    QByteArray atLimit(standardXml);
    atLimit.replace("kept", QByteArray(1024 * 1024 - atLimit.size() + 2, 'k'));
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("config.xml"));
    QVERIFY(writeFileBytes(path, atLimit));
    const QMap<QString, QString> written{{QStringLiteral("defaultSavePath"), QStringLiteral("ne")}};
    QCOMPARE(writeConfigAttributes(path, QStringLiteral("paths"), written), 0);
    QCOMPARE(readFileBytes(path).size(), 1024 * 1024);
    QMap<QString, QString> read{{QStringLiteral("defaultSavePath"), QString()}};
    QCOMPARE(readConfigAttributes(path, QStringLiteral("paths"), read), 0);
    QCOMPARE(read, written);
}

void TestConfigFile::writeKeepsByteOrderMark_data()
{
    QTest::addColumn<QByteArray>("codec");
    QTest::addColumn<QByteArray>("mark");
    QTest::newRow("UTF-8") << QByteArray("UTF-8") << QByteArray("\xEF\xBB\xBF");
    QTest::newRow("UTF-16 LE") << QByteArray("UTF-16LE") << QByteArray("\xFF\xFE");
    QTest::newRow("UTF-16 BE") << QByteArray("UTF-16BE") << QByteArray("\xFE\xFF");
    QTest::newRow("UTF-32 LE") << QByteArray("UTF-32LE") << QByteArray("\xFF\xFE\0\0", 4);
    QTest::newRow("UTF-32 BE") << QByteArray("UTF-32BE") << QByteArray("\0\0\xFE\xFF", 4);
}

void TestConfigFile::settingsPathIn_data()
{
    QTest::addColumn<QByteArray>("folder");
    QTest::addColumn<QString>("expected");
    // Decoded, it would be the name of a folder called "caf\xef\xbf\xbd".
    QTest::newRow("Latin-1 byte") << QByteArray("/opt/caf\xe9") << QString();
    QTest::newRow("the replacement character itself")
        << QByteArray("/opt/caf\xef\xbf\xbd") << QStringLiteral("/opt/caf\ufffd/config/config.xml");
}

void TestConfigFile::settingsPathIn()
{
    QFETCH(QByteArray, folder);
    QFETCH(QString, expected);
    QCOMPARE(::settingsPathIn(folder), expected);
}

void TestConfigFile::writeKeepsByteOrderMark()
{
    QFETCH(QByteArray, codec);
    QFETCH(QByteArray, mark);
    QTextCodec *textCodec = QTextCodec::codecForName(codec);
    const std::unique_ptr<QTextDecoder> decoder(textCodec->makeDecoder(QTextCodec::IgnoreHeader));
    const std::unique_ptr<QTextEncoder> encoder(textCodec->makeEncoder(QTextCodec::IgnoreHeader));
    const QString xml("<config><paths b=\"%1\"/></config>"), value("/\u65e5\U0001F600");
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("config.xml"));
    QVERIFY(writeFileBytes(path, mark + encoder->fromUnicode(xml.arg(QString()))));

    QCOMPARE(writeConfigAttributes(path, QStringLiteral("paths"), {{QStringLiteral("b"), value}}),
             0);
    const QByteArray after = readFileBytes(path);
    QCOMPARE(after.left(mark.size()), mark);
    QCOMPARE(decoder->toUnicode(after.mid(mark.size())), xml.arg(value));
}

// Two in-place saves at once, both after reading the old file: only the one
// whose value the file then holds reports success.
void TestConfigFile::writesInPlaceTakeTurns()
{
    QTemporaryDir dir;
    const QString path = pathFor(dir, Where::LongName);
    QVERIFY(writeFileBytes(path, standardXml));
    const auto save = [&](const QString &value) {
        setWritePauseForTesting(50); // on this thread only
        return writeConfigAttributes(path, QStringLiteral("paths"),
                                     {{QStringLiteral("note"), value}});
    };
    auto first = std::async(std::launch::async, save, QStringLiteral("short"));
    const int second = save(QString(3000, QLatin1Char('l')));
    const int results[] = {first.get(), second};
    QMap<QString, QString> read{{QStringLiteral("note"), QString()}};
    QCOMPARE(readConfigAttributes(path, QStringLiteral("paths"), read), 0);
    const int winner = read.value(QStringLiteral("note")) == QStringLiteral("short") ? 0 : 1;
    QCOMPARE(results[winner], 0);
    QCOMPARE(results[1 - winner], 264);
    QCOMPARE(read.value(QStringLiteral("note")).size(), winner ? 3000 : 5);
}

QTEST_GUILESS_MAIN(TestConfigFile)
#include "tst_configfile.moc"
