#include "core/output/dataformats.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>

namespace DataFormats {

namespace {

const char *const names[] = {"json-hash", "json-array", "phaser3", "libgdx", "css"};

QString frameName(const Sheet &sheet, const SheetLayout::Placement &p)
{
    return sheet.names.value(p.path, p.path);
}

// A JSON string literal with Qt's own escaping.
QByteArray jsonString(const QString &text)
{
    const QByteArray array = QJsonDocument(QJsonArray{text}).toJson(QJsonDocument::Compact);
    return array.mid(1, array.size() - 2);
}

// `object` as QJsonDocument indents it, shifted right by `indent` spaces for
// nesting, without the final newline.
QByteArray indentedObject(const QJsonObject &object, int indent)
{
    QByteArray text = QJsonDocument(object).toJson(QJsonDocument::Indented);
    if (text.endsWith('\n'))
        text.chop(1);
    return text.replace('\n', '\n' + QByteArray(indent, ' '));
}

QJsonObject sizeObject(const QSize &size)
{
    return QJsonObject{{QStringLiteral("w"), size.width()}, {QStringLiteral("h"), size.height()}};
}

// The fields every JSON format gives a frame; unrotated and untrimmed.
QJsonObject frameObject(const SheetLayout::Placement &p)
{
    const int w = p.size.width();
    const int h = p.size.height();
    return QJsonObject{
        {QStringLiteral("frame"), QJsonObject{{QStringLiteral("x"), p.position.x()},
                                              {QStringLiteral("y"), p.position.y()},
                                              {QStringLiteral("w"), w},
                                              {QStringLiteral("h"), h}}},
        {QStringLiteral("rotated"), false},
        {QStringLiteral("trimmed"), false},
        {QStringLiteral("spriteSourceSize"), QJsonObject{{QStringLiteral("x"), 0},
                                                         {QStringLiteral("y"), 0},
                                                         {QStringLiteral("w"), w},
                                                         {QStringLiteral("h"), h}}},
        {QStringLiteral("sourceSize"), sizeObject(p.size)},
    };
}

QJsonObject metaObject(const Sheet &sheet)
{
    QJsonObject meta{
        {QStringLiteral("app"), QStringLiteral("Korvane")},
        {QStringLiteral("version"), QStringLiteral(KORVANE_VERSION)},
        {QStringLiteral("image"), sheet.imageFileName},
        {QStringLiteral("format"), QStringLiteral("RGBA8888")},
        {QStringLiteral("size"), sizeObject(sheet.size)},
        {QStringLiteral("scale"), QStringLiteral("1")},
    };
    if (!sheet.relatedMultiPacks.isEmpty())
        meta.insert(QStringLiteral("related_multi_packs"),
                    QJsonArray::fromStringList(sheet.relatedMultiPacks));
    return meta;
}

QJsonArray framesArray(const Sheet &sheet)
{
    QJsonArray frames;
    for (const SheetLayout::Placement &p : sheet.placements) {
        QJsonObject frame = frameObject(p);
        frame.insert(QStringLiteral("filename"), frameName(sheet, p));
        frames.append(frame);
    }
    return frames;
}

QByteArray jsonArray(const Sheet &sheet)
{
    const QJsonObject root{{QStringLiteral("frames"), framesArray(sheet)},
                           {QStringLiteral("meta"), metaObject(sheet)}};
    return QJsonDocument(root).toJson(QJsonDocument::Indented);
}

QByteArray phaser3(const QVector<Sheet> &sheets)
{
    QJsonArray textures;
    for (const Sheet &sheet : sheets) {
        textures.append(QJsonObject{
            {QStringLiteral("image"), sheet.imageFileName},
            {QStringLiteral("format"), QStringLiteral("RGBA8888")},
            {QStringLiteral("size"), sizeObject(sheet.size)},
            {QStringLiteral("scale"), 1},
            {QStringLiteral("frames"), framesArray(sheet)},
        });
    }
    const QJsonObject meta{{QStringLiteral("app"), QStringLiteral("Korvane")},
                           {QStringLiteral("version"), QStringLiteral(KORVANE_VERSION)}};
    const QJsonObject root{{QStringLiteral("textures"), textures}, {QStringLiteral("meta"), meta}};
    return QJsonDocument(root).toJson(QJsonDocument::Indented);
}

// An atlas line is split at its first colon, and readers trim it or take
// it as it stands, so such names would be read back as something else.
bool atlasLineOk(const QString &text)
{
    return !text.isEmpty() && !text.contains(QLatin1Char('\n')) &&
           !text.contains(QLatin1Char('\r')) && !text.contains(QLatin1Char(':')) &&
           text.trimmed() == text;
}

bool libgdx(const Sheet &sheet, QByteArray *data, QString *error)
{
    const auto rejected = [error](const QString &what, const QString &name) {
        if (error) {
            *error = QStringLiteral("%1 \"%2\" cannot be written to a libGDX atlas (it has a "
                                    "line break, a colon or spaces at an end)")
                         .arg(what, name);
        }
        return false;
    };
    if (!atlasLineOk(sheet.imageFileName))
        return rejected(QStringLiteral("image file name"), sheet.imageFileName);
    const auto pair = [](int a, int b) {
        return QString::number(a) + QLatin1String(", ") + QString::number(b);
    };
    QString text = sheet.imageFileName + QLatin1Char('\n');
    text += QLatin1String("size: ") + pair(sheet.size.width(), sheet.size.height()) +
            QLatin1String("\nformat: RGBA8888\nfilter: Nearest, Nearest\nrepeat: none\n");
    for (const SheetLayout::Placement &p : sheet.placements) {
        const QString name = frameName(sheet, p);
        if (!atlasLineOk(name))
            return rejected(QStringLiteral("frame name"), name);
        const QString size = pair(p.size.width(), p.size.height());
        // "rotate" is not needed by current readers but older ones expect it.
        text += name + QLatin1String("\n  rotate: false\n  xy: ") +
                pair(p.position.x(), p.position.y()) + QLatin1String("\n  size: ") + size +
                QLatin1String("\n  orig: ") + size +
                QLatin1String("\n  offset: 0, 0\n  index: -1\n");
    }
    *data = text.toUtf8();
    return true;
}

// A CSS string literal: ASCII only, anything else as a hex escape, so the
// file reads the same whatever encoding the page assumes.
QString cssString(const QString &text)
{
    QString result = QStringLiteral("\"");
    const QVector<uint> codePoints = text.toUcs4();
    for (const uint c : codePoints) {
        if (c == '"' || c == '\\' || c < 0x20 || c >= 0x7f)
            result += QLatin1Char('\\') + QString::number(c, 16) + QLatin1Char(' ');
        else
            result += QChar(ushort(c));
    }
    return result + QLatin1Char('"');
}

QByteArray css(const Sheet &sheet)
{
    const QStringList classes = cssClassNames(sheet);
    const QString image = QStringLiteral("url(%1)").arg(cssString(sheet.imageFileName));
    QString text;
    for (int i = 0; i < sheet.placements.size(); ++i) {
        const SheetLayout::Placement &p = sheet.placements[i];
        text += QStringLiteral(".%1 {\n"
                               "    width: %2px;\n"
                               "    height: %3px;\n"
                               "    background-image: %4;\n"
                               "    background-position: %5px %6px;\n"
                               "}\n")
                    .arg(classes[i])
                    .arg(p.size.width())
                    .arg(p.size.height())
                    .arg(image)
                    .arg(-p.position.x())
                    .arg(-p.position.y());
    }
    return text.toUtf8();
}

} // namespace

QStringList formatNames()
{
    QStringList result;
    for (const char *name : names)
        result << QString::fromLatin1(name);
    return result;
}

QString formatName(Format format)
{
    return QString::fromLatin1(names[int(format)]);
}

bool formatFromName(const QString &name, Format *format)
{
    const int index = formatNames().indexOf(name);
    if (index < 0)
        return false;
    *format = Format(index);
    return true;
}

QByteArray jsonHash(const Sheet &sheet)
{
    // QJsonObject sorts its keys, so "frames" is put together here to keep
    // placement order; each value is still written by QJsonDocument.
    QByteArray text = "{\n    \"frames\": {";
    for (int i = 0; i < sheet.placements.size(); ++i) {
        const SheetLayout::Placement &p = sheet.placements[i];
        text += i == 0 ? "\n" : ",\n";
        text +=
            "        " + jsonString(frameName(sheet, p)) + ": " + indentedObject(frameObject(p), 8);
    }
    text += "\n    },\n    \"meta\": " + indentedObject(metaObject(sheet), 4) + "\n}\n";
    return text;
}

QStringList cssClassNames(const Sheet &sheet)
{
    QStringList result;
    QSet<QString> taken;
    for (const SheetLayout::Placement &p : sheet.placements) {
        QString stem = frameName(sheet, p);
        const int dot = stem.lastIndexOf(QLatin1Char('.'));
        if (dot >= 0 && dot > stem.lastIndexOf(QLatin1Char('/')))
            stem.truncate(dot);
        QString name = QStringLiteral("sprite-");
        for (const QChar c : std::as_const(stem)) {
            const bool safe = (c >= QLatin1Char('a') && c <= QLatin1Char('z')) ||
                              (c >= QLatin1Char('A') && c <= QLatin1Char('Z')) ||
                              (c >= QLatin1Char('0') && c <= QLatin1Char('9')) ||
                              c == QLatin1Char('-') || c == QLatin1Char('_');
            name += safe ? c : QLatin1Char('_');
        }
        QString unique = name;
        for (int n = 2; taken.contains(unique); ++n)
            unique = name + QLatin1Char('-') + QString::number(n);
        taken.insert(unique);
        result << unique;
    }
    return result;
}

bool text(Format format, const Sheet &sheet, QByteArray *data, QString *error)
{
    switch (format) {
    case Format::JsonHash:
        *data = jsonHash(sheet);
        return true;
    case Format::JsonArray:
        *data = jsonArray(sheet);
        return true;
    case Format::Phaser3:
        *data = phaser3({sheet});
        return true;
    case Format::Libgdx:
        return libgdx(sheet, data, error);
    case Format::Css:
        *data = css(sheet);
        return true;
    }
    if (error)
        *error = QStringLiteral("unknown data format %1").arg(int(format));
    return false;
}

bool files(const QVector<Output> &outputs, const Sheet &sheet, QVector<FileContent> *result,
           QString *error)
{
    QVector<FileContent> made;
    for (const Output &output : outputs) {
        FileContent file{output.path, QByteArray()};
        QString reason;
        if (!text(output.format, sheet, &file.data, &reason)) {
            if (error)
                *error = QStringLiteral("%1: %2").arg(output.path, reason);
            return false;
        }
        made.append(file);
    }
    *result = made;
    return true;
}

bool onePerSheet(Format format)
{
    return format != Format::Phaser3 && format != Format::Libgdx;
}

bool multiSheetText(Format format, const QVector<Sheet> &sheets, QByteArray *data, QString *error)
{
    if (format == Format::Phaser3) {
        *data = phaser3(sheets);
        return true;
    }
    if (format != Format::Libgdx || sheets.isEmpty())
        return sheets.size() == 1 && text(format, sheets.first(), data, error);
    // libGDX pages are separated by a blank line.
    QByteArray result;
    for (const Sheet &sheet : sheets) {
        QByteArray page;
        if (!libgdx(sheet, &page, error))
            return false;
        result += (result.isEmpty() ? QByteArray() : QByteArray("\n")) + page;
    }
    *data = result;
    return true;
}

} // namespace DataFormats
