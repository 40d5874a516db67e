// Pack files as korvane-pack reads them, over a small folder of art: any text
// is read without a crash; a text that fails gives "FILE: message", and a
// position in it ("FILE:LINE:COLUMN: message") lies inside the text; one
// that reads gives a sheet or more; and reading is the same every time.

#include "cli/packfile.h"
#include "fuzzinput.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <sanitizer/lsan_interface.h>

#include <cstdint>

namespace {

QTemporaryDir *g_dir = nullptr;

// The search must stay in the art folder: no pattern may start at the root
// or climb out of it, whatever escapes spell it.
bool staysInside(const QJsonValue &value)
{
    if (value.isString()) {
        const QString text = value.toString();
        return !text.startsWith(QLatin1Char('/')) && !text.contains(QLatin1String(".."));
    }
    const auto all = [](const auto &values) {
        for (const QJsonValue &inner : values) {
            if (!staysInside(inner))
                return false;
        }
        return true;
    };
    if (value.isArray())
        return all(value.toArray());
    if (value.isObject()) {
        const QJsonObject object = value.toObject();
        for (auto it = object.begin(); it != object.end(); ++it) {
            if (!staysInside(QJsonValue(it.key())) || !staysInside(it.value()))
                return false;
        }
    }
    return true;
}

void checkPosition(const QByteArray &text, const QString &error, const QString &path)
{
    static const QRegularExpression positioned(QStringLiteral("^:(\\d+):(\\d+): "));
    const QRegularExpressionMatch match = positioned.match(error.mid(path.size()));
    if (!match.hasMatch())
        return;
    const QList<QByteArray> lines = text.split('\n');
    const int line = match.captured(1).toInt();
    const int column = match.captured(2).toInt();
    if (line < 1 || line > lines.size())
        fuzzFail("line outside the text:", error.toUtf8());
    // Columns count characters; Qt's parser may place an error inside one.
    if (column < 1 || column > lines[line - 1].size() + 1)
        fuzzFail("column outside its line:", error.toUtf8());
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    g_dir = new QTemporaryDir;
    // The working folder stays: libFuzzer names its corpus from it.
    if (!g_dir->isValid())
        fuzzFail("no temporary folder");
    QDir(g_dir->path()).mkpath(QStringLiteral("art/deep"));
    for (const char *name : {"a.png", "art/b.png", "art/deep/c.png", "art/notes.txt"}) {
        QFile file(g_dir->filePath(QString::fromLatin1(name)));
        if (!file.open(QIODevice::WriteOnly))
            fuzzFail("cannot make the art");
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // Qt 5.15's JSON parser loses the earlier value of a key given twice when
    // it is a list or an object, and with the fast unwinder the fuzz runs use,
    // no suppression can see that the leak is Qt's.
    __lsan::ScopedDisabler qtJsonLeaks;
    const QByteArray text(reinterpret_cast<const char *>(data), int(size));
    const QJsonDocument document = QJsonDocument::fromJson(text);
    if (!staysInside(document.isArray() ? QJsonValue(document.array())
                                        : QJsonValue(document.object())))
        return 0;
    const QString path = g_dir->filePath(QStringLiteral("p.json"));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(text) != text.size())
        fuzzFail("cannot write the pack file");
    file.close();

    QVector<PackFile::SheetArguments> sheets;
    QString error;
    const bool read = PackFile::read(path, {}, &sheets, &error);
    if (!read) {
        if (!error.startsWith(path + QLatin1Char(':')) || error.size() <= path.size() + 2)
            fuzzFail("error without the file's name:", error.toUtf8());
        checkPosition(text, error, path);
    } else if (sheets.isEmpty()) {
        fuzzFail("read without a sheet");
    }
    QVector<PackFile::SheetArguments> again;
    QString againError;
    if (PackFile::read(path, {}, &again, &againError) != read || againError != error ||
        again.size() != sheets.size())
        fuzzFail("read differently the second time");
    for (int i = 0; i < sheets.size(); ++i) {
        if (again[i].inputs != sheets[i].inputs || again[i].options != sheets[i].options)
            fuzzFail("a sheet read differently the second time");
    }
    return 0;
}
