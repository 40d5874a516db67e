// The settings file round trip: whatever config.xml holds, a value that reads
// and is written back (as is, or replaced by one taken from the input) reads
// again as written, trimmed, from a file that is still well-formed XML if it
// was before; otherwise the writer refuses and leaves the file byte for byte
// as it was.

#include "core/settings/configfile.h"

#include <QFile>
#include <QTemporaryDir>
#include <QXmlStreamReader>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

struct Element
{
    const char *name;
    QStringList keys;
};

QString g_path;

QByteArray fileBytes()
{
    QFile file(g_path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

bool writeFile(const QByteArray &content)
{
    QFile file(g_path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(content) == content.size() && file.flush();
}

// Strict XML 1.0, unlike the lenient reader behind readConfigAttributes() in
// Qt 5, which accepts control characters and references to surrogates.
bool wellFormed(const QByteArray &bytes)
{
    QXmlStreamReader xml(bytes);
    while (!xml.atEnd())
        xml.readNext();
    return !xml.hasError();
}

[[noreturn]] void fail(const char *what, const QString &element, int code)
{
    std::fprintf(stderr, "settings round trip broken (%s, element %s, code %d)\n", what,
                 qPrintable(element), code);
    std::abort();
}

// Reads all elements; `results` gets each error code, `values` the values.
void readAll(const QVector<Element> &elements, QVector<int> &results,
             QVector<QMap<QString, QString>> &values)
{
    results.clear();
    values.clear();
    for (const Element &e : elements) {
        QMap<QString, QString> attributes;
        for (const QString &key : e.keys)
            attributes.insert(key, QString());
        results.append(readConfigAttributes(g_path, QLatin1String(e.name), attributes));
        values.append(attributes);
    }
}

// Writes `wanted` into element `index`; checks that either every element
// reads back as expected or the file did not change.
void writeAndCheck(const QVector<Element> &elements, int index,
                   const QMap<QString, QString> &wanted)
{
    QVector<int> before;
    QVector<QMap<QString, QString>> beforeValues;
    readAll(elements, before, beforeValues);
    const QByteArray beforeBytes = fileBytes();

    const QString name = QLatin1String(elements.at(index).name);
    const int written = writeConfigAttributes(g_path, name, wanted);
    if (written != 0) {
        if (fileBytes() != beforeBytes)
            fail("refused write changed the file", name, written);
        return;
    }

    // A file that was well-formed stays so, whatever reads it next.
    if (wellFormed(beforeBytes) && !wellFormed(fileBytes()))
        fail("written file is not well-formed XML", name, written);

    QVector<int> after;
    QVector<QMap<QString, QString>> afterValues;
    readAll(elements, after, afterValues);
    for (int i = 0; i < elements.size(); ++i) {
        const QString other = QLatin1String(elements.at(i).name);
        if (i == index) {
            if (after.at(i) != 0)
                fail("written element no longer reads", other, after.at(i));
            for (auto it = wanted.cbegin(); it != wanted.cend(); ++it) {
                if (afterValues.at(i).value(it.key()) != it.value().trimmed())
                    fail("value reads back differently", other, 0);
            }
        } else if (after.at(i) != before.at(i) ||
                   (before.at(i) == 0 && afterValues.at(i) != beforeValues.at(i))) {
            fail("another element changed", other, after.at(i));
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    static QTemporaryDir dir;
    if (!dir.isValid())
        std::abort();
    g_path = dir.filePath(QStringLiteral("config.xml"));
    return 0;
}

// Input: the file's bytes, then optionally a NUL and a value to store (NUL
// cannot occur in XML, so the two parts mutate independently).
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray input =
        QByteArray::fromRawData(reinterpret_cast<const char *>(data), int(size));
    const int split = input.indexOf('\0');
    const QByteArray content = split < 0 ? input : input.left(split);
    const QByteArray valueBytes = split < 0 ? QByteArray() : input.mid(split + 1);
    if (!writeFile(content))
        std::abort();

    const QVector<Element> elements{
        {"paths", {QStringLiteral("defaultSelectPath"), QStringLiteral("defaultSavePath")}},
        {"parameters", {QStringLiteral("marginPixel"), QStringLiteral("Orientation")}},
    };
    QVector<int> results;
    QVector<QMap<QString, QString>> values;
    readAll(elements, results, values);

    // As UTF-8 and as Latin-1, so that characters the file cannot carry come
    // up as well as valid ones.
    const QString derived = valueBytes.startsWith('L') ? QString::fromLatin1(valueBytes.mid(1))
                                                       : QString::fromUtf8(valueBytes);
    for (int i = 0; i < elements.size(); ++i) {
        if (results.at(i) != 0)
            continue;
        writeAndCheck(elements, i, values.at(i));
        if (split < 0)
            continue;
        QMap<QString, QString> changed = values.at(i);
        changed[elements.at(i).keys.at(int(valueBytes.size() % 2))] = derived;
        writeAndCheck(elements, i, changed);
    }
    return 0;
}
