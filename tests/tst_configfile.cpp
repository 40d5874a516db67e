#include "settings/configfile.h"

#include "support/testsupport.h"
#include <QDir>
#include <QDomDocument>
#include <QFile>
#include <QTemporaryDir>
#include <QTextCodec>

#include <QtTest>

#include <csignal>
#include <functional>
#include <sys/resource.h>

namespace {

// How a row gets at its file.
enum class Where {
    File,       // config.xml holding the row's content
    Missing,    // no file at all
    Directory,  // the path names a folder
    EmptyPath,  // ""
    BlankPath,  // only white space
    LongName,   // a name so long that no temporary file can sit beside it
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
    case Where::LongName:
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
    row("259 empty file", Where::File, "", "paths", paths, 259);
    row("259 unclosed root", Where::File, "<config><paths defaultSavePath=\"\"/>", "paths",
        "defaultSavePath", 259);
    row("259 before wrong root", Where::File, "<settings><paths></settings>", "paths", paths, 259);
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
    QTest::newRow("264 no room for a temporary name")
        << Where::LongName << QByteArray(standardXml) << QString("paths") << paths << 264;
    QTest::newRow("264 file size limit")
        << Where::SizeLimited << QByteArray(standardXml) << QString("paths") << paths << 264;
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
    const bool hasFile =
        where == Where::File || where == Where::LongName || where == Where::SizeLimited;
    if (hasFile)
        QVERIFY(writeFileBytes(path, content));
    const QStringList before = QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);

    const QMap<QString, QString> attributes = keys(names);
    const int result =
        where == Where::SizeLimited
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

    QTest::newRow("ISO-8859-1") << QByteArray("ISO-8859-1")
                                << QStringLiteral("/Ordner/\u00e9t\u00e9");
    QTest::newRow("ISO-8859-1 with a character it lacks")
        << QByteArray("ISO-8859-1") << QStringLiteral("/\u00e9/\u65e5\u672c");
    QTest::newRow("ISO-8859-1 outside the BMP")
        << QByteArray("ISO-8859-1") << QStringLiteral("/\u00e9/\U0001F600");
    QTest::newRow("windows-1252") << QByteArray("windows-1252") << QStringLiteral("/\u20ac/\u00e9");
}

void TestConfigFile::writeKeepsDeclaredEncoding()
{
    QFETCH(QByteArray, encoding);
    QFETCH(QString, value);

    QTextCodec *codec = QTextCodec::codecForName(encoding);
    QVERIFY(codec);
    const QString declaration = QStringLiteral("<?xml version=\"1.0\" encoding=\"%1\"?>")
                                    .arg(QString::fromLatin1(encoding));
    const QString xml = declaration + QStringLiteral("\n<config>\n"
                                                     "  <paths a=\"caf\u00e9\" b=\"\"/>\n"
                                                     "</config>\n");
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("config.xml"));
    QVERIFY(writeFileBytes(path, codec->fromUnicode(xml)));

    QCOMPARE(writeConfigAttributes(path, QStringLiteral("paths"), {{QStringLiteral("b"), value}}),
             0);

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

QTEST_GUILESS_MAIN(TestConfigFile)
#include "tst_configfile.moc"
