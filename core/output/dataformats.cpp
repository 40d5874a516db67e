#include "core/output/dataformats.h"

#include "core/sprites/animations.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>

#include <limits>

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

// Where the frame's pixels sat in its source: the whole image unless trimmed.
SourceRect sourceRect(const Sheet &sheet, const SheetLayout::Placement &p)
{
    return sheet.trims.value(p.path, SourceRect{QRect(QPoint(), p.size), p.size});
}

QJsonObject spriteFrameObject(const Sheet &sheet, const SheetLayout::Placement &p);

// The fields every JSON format gives a frame; unrotated.
QJsonObject frameObject(const Sheet &sheet, const SheetLayout::Placement &p)
{
    const int w = p.size.width();
    const int h = p.size.height();
    if (!sheet.trims.isEmpty() || sheet.pivot)
        return spriteFrameObject(sheet, p);
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

// Frame names in placement order.
QStringList frameNames(const Sheet &sheet)
{
    QStringList result;
    for (const SheetLayout::Placement &p : sheet.placements)
        result << frameName(sheet, p);
    return result;
}

// Animation name to its frame names, as PixiJS reads "animations".
QJsonObject animationsObject(const Sheet &sheet)
{
    QJsonObject result;
    const QMap<QString, QStringList> animations = Sprites::animations(frameNames(sheet));
    for (auto it = animations.constBegin(); it != animations.constEnd(); ++it)
        result.insert(it.key(), QJsonArray::fromStringList(it.value()));
    return result;
}

// A frame with trimming or a pivot: the kept rectangle within its source as
// TexturePacker writes it, which Phaser and PixiJS read.
QJsonObject spriteFrameObject(const Sheet &sheet, const SheetLayout::Placement &p)
{
    const SourceRect source = sourceRect(sheet, p);
    QJsonObject frame{
        {QStringLiteral("frame"), QJsonObject{{QStringLiteral("x"), p.position.x()},
                                              {QStringLiteral("y"), p.position.y()},
                                              {QStringLiteral("w"), p.size.width()},
                                              {QStringLiteral("h"), p.size.height()}}},
        {QStringLiteral("rotated"), false},
        {QStringLiteral("trimmed"), source.kept != QRect(QPoint(), source.source)},
        {QStringLiteral("spriteSourceSize"),
         QJsonObject{{QStringLiteral("x"), source.kept.x()},
                     {QStringLiteral("y"), source.kept.y()},
                     {QStringLiteral("w"), source.kept.width()},
                     {QStringLiteral("h"), source.kept.height()}}},
        {QStringLiteral("sourceSize"), sizeObject(source.source)},
    };
    if (sheet.pivot) {
        // Phaser reads "anchor" or else "pivot", PixiJS only "anchor".
        const QJsonObject point{{QStringLiteral("x"), sheet.pivot->x()},
                                {QStringLiteral("y"), sheet.pivot->y()}};
        frame.insert(QStringLiteral("pivot"), point);
        frame.insert(QStringLiteral("anchor"), point);
    }
    return frame;
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
        QJsonObject frame = frameObject(sheet, p);
        frame.insert(QStringLiteral("filename"), frameName(sheet, p));
        frames.append(frame);
    }
    return frames;
}

QByteArray jsonArray(const Sheet &sheet)
{
    QJsonObject root{{QStringLiteral("frames"), framesArray(sheet)},
                     {QStringLiteral("meta"), metaObject(sheet)}};
    if (sheet.animations)
        root.insert(QStringLiteral("animations"), animationsObject(sheet));
    return escapeByteOrderMarks(QJsonDocument(root).toJson(QJsonDocument::Indented));
}

QString urlPath(const QString &path);

QByteArray phaser3(const QVector<Sheet> &sheets)
{
    QJsonArray textures;
    for (const Sheet &sheet : sheets) {
        // Phaser fetches each texture's image by this URL.
        textures.append(QJsonObject{
            {QStringLiteral("image"), urlPath(sheet.imageFileName)},
            {QStringLiteral("format"), QStringLiteral("RGBA8888")},
            {QStringLiteral("size"), sizeObject(sheet.size)},
            {QStringLiteral("scale"), 1},
            {QStringLiteral("frames"), framesArray(sheet)},
        });
    }
    const QJsonObject meta{{QStringLiteral("app"), QStringLiteral("Korvane")},
                           {QStringLiteral("version"), QStringLiteral(KORVANE_VERSION)}};
    const QJsonObject root{{QStringLiteral("textures"), textures}, {QStringLiteral("meta"), meta}};
    return escapeByteOrderMarks(QJsonDocument(root).toJson(QJsonDocument::Indented));
}

// A name as messages show it: quoted, control characters as \xNN and
// unpaired surrogates as \uXXXX, so that it cannot move the terminal.
QString shownName(const QString &name)
{
    QString result = QStringLiteral("\"");
    for (int i = 0; i < name.size(); ++i) {
        const ushort c = name[i].unicode();
        if (QChar::isHighSurrogate(c) && i + 1 < name.size() && name[i + 1].isLowSurrogate()) {
            result += name.mid(i++, 2);
        } else if (c < 0x20 || (c >= 0x7f && c < 0xa0)) {
            result += QStringLiteral("\\x%1").arg(c, 2, 16, QLatin1Char('0'));
        } else if (QChar::isSurrogate(c)) {
            result += QStringLiteral("\\u%1").arg(c, 4, 16, QLatin1Char('0'));
        } else {
            result += QChar(c);
        }
    }
    return result + QLatin1Char('"');
}

// True when the name is stored as UTF-8 and read back unchanged (no unpaired
// surrogate).
bool utf8RoundTrips(const QString &text)
{
    const QByteArray utf8 = text.toUtf8();
    return QString::fromUtf8(utf8.constData(), utf8.size()) == text;
}

// `text` without what Java's String.trim() removes: every character up to
// U+0020 at either end. libGDX's reader trims each line so.
QString javaTrimmed(const QString &text)
{
    int begin = 0;
    int end = text.size();
    while (begin < end && text[begin].unicode() <= 0x20)
        ++begin;
    while (end > begin && text[end - 1].unicode() <= 0x20)
        --end;
    return text.mid(begin, end - begin);
}

// An atlas line is split at its first colon, and at CR or LF; libGDX trims
// it as Java does and other readers trim white space, so only a name that
// neither changes is read back as written.
bool atlasLineOk(const QString &text)
{
    return !text.isEmpty() && !text.contains(QLatin1Char('\n')) &&
           !text.contains(QLatin1Char('\r')) && !text.contains(QLatin1Char(':')) &&
           javaTrimmed(text) == text && text.trimmed() == text && utf8RoundTrips(text);
}

// Regions by name and index to their frame, over all pages of one atlas:
// libGDX looks a region up by name across the pages.
using AtlasRegions = QMap<QPair<QString, int>, QString>;

// Why `frame` cannot be region `name` at `index` next to `regions`, or
// nothing when it can.
QString regionClash(const AtlasRegions &regions, const QString &name, int index,
                    const QString &frame)
{
    // walk_1.png and walk-01.png would both be frame 1 of "walk".
    const QString other = regions.value({name, index});
    if (!other.isEmpty()) {
        return QStringLiteral("frames \"%1\" and \"%2\" would both be region \"%3\" "
                              "index %4 in a libGDX atlas")
            .arg(other, frame, name, QString::number(index));
    }
    // libGDX sorts the regions by index, -1 last: findRegion(name) would
    // give an animation's first frame for a frame of that name without
    // one, and findRegions(name) that frame as the animation's last.
    const auto first = regions.lowerBound({name, std::numeric_limits<int>::min()});
    if (first != regions.constEnd() && first.key().first == name &&
        (index == -1 || first.key().second == -1)) {
        return QStringLiteral("frames \"%1\" and \"%2\" would both be region \"%3\" "
                              "in a libGDX atlas, with index %4 and %5")
            .arg(first.value(), frame, name, QString::number(first.key().second),
                 QString::number(index));
    }
    return QString();
}

QString atlasPair(int a, int b)
{
    return QString::number(a) + QLatin1String(", ") + QString::number(b);
}

// The lines of placement `p` as region `name` at `index`.
QString atlasRegion(const Sheet &sheet, const SheetLayout::Placement &p, const QString &name,
                    int index)
{
    const SourceRect source = sourceRect(sheet, p);
    // libGDX counts the offset's y from the bottom of the original image.
    const int offsetY = source.source.height() - source.kept.bottom() - 1;
    // "rotate" is not needed by current readers but older ones expect it.
    return name + QLatin1String("\n  rotate: false\n  xy: ") +
           atlasPair(p.position.x(), p.position.y()) + QLatin1String("\n  size: ") +
           atlasPair(p.size.width(), p.size.height()) + QLatin1String("\n  orig: ") +
           atlasPair(source.source.width(), source.source.height()) +
           QLatin1String("\n  offset: ") + atlasPair(source.kept.x(), offsetY) +
           QLatin1String("\n  index: ") + QString::number(index) + QLatin1Char('\n');
}

bool libgdx(const Sheet &sheet, AtlasRegions &regions, QByteArray *data, QString *error)
{
    // `frame`: the frame whose animation is named `name`, if any.
    const auto rejected = [error](const QString &what, const QString &name,
                                  const QString &frame = QString()) {
        if (error) {
            *error =
                QStringLiteral("%1 %2%3 cannot be written to a libGDX atlas (it has a "
                               "line break, a colon, or a space or control character at "
                               "an end, or is not valid Unicode)")
                    .arg(what, shownName(name),
                         frame.isNull() ? QString()
                                        : QStringLiteral(" (of frame %1)").arg(shownName(frame)));
        }
        return false;
    };
    if (!atlasLineOk(sheet.imageFileName))
        return rejected(QStringLiteral("image file name"), sheet.imageFileName);
    QString text = sheet.imageFileName + QLatin1Char('\n');
    text += QLatin1String("size: ") + atlasPair(sheet.size.width(), sheet.size.height()) +
            QLatin1String("\nformat: RGBA8888\nfilter: Nearest, Nearest\nrepeat: none\n");
    if (sheet.premultiplied)
        text += QLatin1String("pma: true\n");
    for (const SheetLayout::Placement &p : sheet.placements) {
        QString name = frameName(sheet, p);
        int index = -1;
        if (sheet.animations) {
            // libGDX's findRegions(name) gives an animation's regions by index.
            const Sprites::AnimationFrame frame = Sprites::animationFrame(name);
            if (!frame.animation.isEmpty()) {
                name = frame.animation;
                index = frame.index;
            }
        }
        if (!atlasLineOk(name) && index != -1)
            return rejected(QStringLiteral("animation name"), name, frameName(sheet, p));
        if (!atlasLineOk(name))
            return rejected(QStringLiteral("frame name"), name);
        const QString frame = frameName(sheet, p);
        const QString clash = regionClash(regions, name, index, frame);
        if (!clash.isEmpty()) {
            if (error)
                *error = clash;
            return false;
        }
        regions.insert({name, index}, frame);
        text += atlasRegion(sheet, p, name, index);
    }
    *data = text.toUtf8();
    return true;
}

// A CSS string literal: ASCII only, anything else as a hex escape, so the
// file reads the same whatever encoding the page assumes; "<" too, so that
// the rules can be pasted into an HTML style element.
QString cssString(const QString &text)
{
    QString result = QStringLiteral("\"");
    const QVector<uint> codePoints = text.toUcs4();
    for (const uint c : codePoints) {
        if (c == '"' || c == '\\' || c == '<' || c < 0x20 || c >= 0x7f)
            result += QLatin1Char('\\') + QString::number(c, 16) + QLatin1Char(' ');
        else
            result += QChar(ushort(c));
    }
    return result + QLatin1Char('"');
}

// The sheet's path as a relative URL must hold it (CSS's url(), Phaser's
// texture image). A browser parses it as a URL: "%" starts an escape, "?"
// and "#" end the path, "\" reads as "/", a colon (or "|" after a letter)
// can make its start a scheme or a drive letter, tabs and line breaks are
// dropped and white space at either end trimmed. Those are percent-encoded,
// which the server or the file system decodes back to the name.
QString urlPath(const QString &path)
{
    QString result;
    for (int i = 0; i < path.size(); ++i) {
        const ushort c = path[i].unicode();
        const bool end = i == 0 || i == path.size() - 1;
        if (c < 0x20 || c == 0x7f || (c == ' ' && end) || c == '%' || c == '?' || c == '#' ||
            c == '\\' || c == ':' || c == '|')
            result += QLatin1Char('%') + QString::number(c + 0x100, 16).right(2).toUpper();
        else
            result += QChar(c);
    }
    return result;
}

bool css(const Sheet &sheet, QByteArray *data, QString *error)
{
    // CSS reads the escape of U+0000 as U+FFFD, and has no way to write an
    // unpaired surrogate.
    if (sheet.imageFileName.contains(QChar(0)) || !utf8RoundTrips(sheet.imageFileName)) {
        if (error) {
            *error = QStringLiteral("image file name %1 cannot be written to CSS")
                         .arg(shownName(sheet.imageFileName));
        }
        return false;
    }
    const QStringList classes = cssClassNames(sheet);
    // Put together piece by piece: QString::arg() would also replace "%5" in
    // the file name.
    const QString image =
        QLatin1String("url(") + cssString(urlPath(sheet.imageFileName)) + QLatin1Char(')');
    const auto px = [](int value) { return QString::number(value) + QLatin1String("px"); };
    QString text;
    for (int i = 0; i < sheet.placements.size(); ++i) {
        const SheetLayout::Placement &p = sheet.placements[i];
        text += QLatin1Char('.') + classes[i] + QLatin1String(" {\n    width: ") +
                px(p.size.width()) + QLatin1String(";\n    height: ") + px(p.size.height()) +
                QLatin1String(";\n    background-image: ") + image +
                QLatin1String(";\n    background-position: ") + px(-p.position.x()) +
                QLatin1Char(' ') + px(-p.position.y()) + QLatin1String(";\n}\n");
    }
    *data = text.toUtf8();
    return true;
}

// A URL cannot hold an unpaired surrogate: the browser would fetch U+FFFD.
bool phaser3(const QVector<Sheet> &sheets, QByteArray *data, QString *error)
{
    for (const Sheet &sheet : sheets) {
        if (!sheet.imageFileName.isValidUtf16()) {
            if (error) {
                *error = QStringLiteral("image file name %1 cannot be written to a Phaser 3 atlas")
                             .arg(shownName(sheet.imageFileName));
            }
            return false;
        }
    }
    *data = phaser3(sheets);
    return true;
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
        text += "        " + jsonString(frameName(sheet, p)) + ": " +
                indentedObject(frameObject(sheet, p), 8);
    }
    text += "\n    },\n";
    if (sheet.animations)
        text += "    \"animations\": " + indentedObject(animationsObject(sheet), 4) + ",\n";
    text += "    \"meta\": " + indentedObject(metaObject(sheet), 4) + "\n}\n";
    return escapeByteOrderMarks(text);
}

QString cssTrimRefusal()
{
    return QStringLiteral("CSS cannot show a trimmed sprite: an element sized as the source "
                          "image shows the sheet's neighbouring pixels where the transparent "
                          "border was cut");
}

QStringList cssClassNames(const Sheet &sheet)
{
    QStringList result;
    QSet<QString> taken = sheet.cssClassesTaken;
    for (const SheetLayout::Placement &p : sheet.placements) {
        QString stem = frameName(sheet, p);
        const int dot = stem.lastIndexOf(QLatin1Char('.'));
        if (dot >= 0 && dot > stem.lastIndexOf(QLatin1Char('/')))
            stem.truncate(dot);
        QString name = QStringLiteral("sprite-");
        // By code point: a character beyond U+FFFF is one "_", not two.
        const QVector<uint> codePoints = stem.toUcs4();
        for (const uint c : codePoints) {
            const bool safe = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                              (c >= '0' && c <= '9') || c == '-' || c == '_';
            name += safe ? QChar(ushort(c)) : QLatin1Char('_');
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
        return phaser3({sheet}, data, error);
    case Format::Libgdx: {
        AtlasRegions regions;
        return libgdx(sheet, regions, data, error);
    }
    case Format::Css:
        if (!sheet.trims.isEmpty()) {
            if (error)
                *error = cssTrimRefusal();
            return false;
        }
        return css(sheet, data, error);
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
    if (format == Format::Phaser3)
        return phaser3(sheets, data, error);
    if (format != Format::Libgdx || sheets.isEmpty())
        return sheets.size() == 1 && text(format, sheets.first(), data, error);
    // libGDX pages are separated by a blank line.
    QByteArray result;
    AtlasRegions regions;
    for (const Sheet &sheet : sheets) {
        QByteArray page;
        if (!libgdx(sheet, regions, &page, error))
            return false;
        result += (result.isEmpty() ? QByteArray() : QByteArray("\n")) + page;
    }
    *data = result;
    return true;
}

// QJsonDocument writes the bytes of U+FEFF only inside strings.
QByteArray escapeByteOrderMarks(QByteArray json)
{
    return json.replace("\xef\xbb\xbf", "\\ufeff");
}

} // namespace DataFormats
