// Placements and names from the input through every data format: each output
// is read back with a reader that follows that format's readers' rules (as
// the tests do) and must give every name and rectangle back exactly, or the
// format refuses with a message that shows the name without raw control
// characters. Plain names are never refused.

#include "core/output/dataformats.h"
#include "fuzzinput.h"
#include "support/formatreaders.h"

#include <QRegularExpression>
#include <QSet>

#include <algorithm>
#include <numeric>

namespace {

// A name from the input: UTF-8 (any bytes, so replacement characters and
// control characters too) or, when `utf16`, raw UTF-16 with unpaired
// surrogates possible.
QString nameFrom(FuzzInput &input, bool utf16)
{
    const QByteArray bytes = input.takeBytes(input.take8() & 15);
    if (!utf16)
        return QString::fromUtf8(bytes.constData(), bytes.size());
    QString name;
    for (int i = 0; i + 1 < bytes.size(); i += 2)
        name += QChar(ushort(uchar(bytes[i]) << 8 | uchar(bytes[i + 1])));
    return name;
}

bool isPlain(const QString &name)
{
    // Anchored: "$" would also match before a final line break.
    static const QRegularExpression plain(QRegularExpression::anchoredPattern(
        QStringLiteral("[A-Za-z0-9._/-]+( [A-Za-z0-9._/-]+)*")));
    return plain.match(name).hasMatch();
}

void check(DataFormats::Format format, const DataFormats::Sheet &sheet, const QStringList &names)
{
    QByteArray text;
    QString error;
    const QByteArray formatName = DataFormats::formatName(format).toUtf8();
    if (!DataFormats::text(format, sheet, &text, &error)) {
        if (error.isEmpty())
            fuzzFail("refused without a message", formatName);
        for (const QChar c : error) {
            if (c.unicode() < 0x20 || (c.unicode() >= 0x7f && c.unicode() < 0xa0))
                fuzzFail("a raw control character in the message", error.toUtf8());
        }
        if (isPlain(sheet.imageFileName) && std::all_of(names.begin(), names.end(), isPlain))
            fuzzFail("plain names refused", error.toUtf8());
        return;
    }
    FormatReaders::Read read;
    if (!FormatReaders::read(format, text, &read, &error))
        fuzzFail("the output does not read back", formatName + ": " + error.toUtf8());
    // CSS names the sheet in each rule only.
    const bool named = format != DataFormats::Format::Css || !sheet.placements.isEmpty();
    if (named && read.image != sheet.imageFileName)
        fuzzFail("the sheet's name does not come back", formatName);
    QStringList expected =
        format == DataFormats::Format::Css ? DataFormats::cssClassNames(sheet) : names;
    QVector<QRect> rects;
    for (const SheetLayout::Placement &p : sheet.placements)
        rects << QRect(p.position, p.size);
    if (format == DataFormats::Format::JsonHash) {
        // An object's keys come back in an order of the reader's own: both
        // sides are sorted alike. Names are unique.
        std::sort(read.frames.begin(), read.frames.end(),
                  [](const FormatReaders::Frame &a, const FormatReaders::Frame &b) {
                      return a.name < b.name;
                  });
        QVector<int> order(expected.size());
        std::iota(order.begin(), order.end(), 0);
        std::sort(order.begin(), order.end(),
                  [&](int a, int b) { return expected[a] < expected[b]; });
        QStringList sortedNames;
        QVector<QRect> sortedRects;
        for (const int i : order) {
            sortedNames << expected[i];
            sortedRects << rects[i];
        }
        expected = sortedNames;
        rects = sortedRects;
    }
    if (read.frames.size() != expected.size())
        fuzzFail("frames lost or added", formatName);
    for (int i = 0; i < expected.size(); ++i) {
        if (read.frames[i].name != expected[i] || read.frames[i].rect != rects[i])
            fuzzFail("a frame does not come back", formatName + ": " + expected[i].toUtf8());
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzInput input(data, size);
    const bool utf16 = input.take8() & 1;
    DataFormats::Sheet sheet;
    sheet.imageFileName = nameFrom(input, utf16);
    sheet.size = QSize(int(input.take16()) + 1, int(input.take16()) + 1);
    QStringList names;
    QSet<QString> taken;
    for (int i = 0; i < 16 && !input.atEnd(); ++i) {
        const QString path = QStringLiteral("/in/%1").arg(i);
        const QPoint position(int(input.take16()), int(input.take16()));
        const QSize frameSize(int(input.take8()), int(input.take8()));
        const QString name = nameFrom(input, utf16);
        // A frame without a name of its own is named by its path.
        const QString shown = name.isEmpty() ? path : name;
        if (taken.contains(shown))
            continue;
        taken.insert(shown);
        sheet.placements.append(SheetLayout::Placement{path, frameSize, position});
        if (!name.isEmpty())
            sheet.names.insert(path, name);
        names << shown;
    }
    for (const QString &formatName : DataFormats::formatNames()) {
        DataFormats::Format format;
        if (!DataFormats::formatFromName(formatName, &format))
            fuzzFail("a listed format is unknown");
        check(format, sheet, names);
    }
    return 0;
}
