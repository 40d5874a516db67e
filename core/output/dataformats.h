#pragma once

// The data files that game engines and web pages read beside a sheet. Pure
// functions, QtCore only: placements in, file contents out.

#include "core/layout/sheetlayout.h"
#include "core/output/atomicfile.h"

#include <QByteArray>
#include <QMap>
#include <QPointF>
#include <QRect>
#include <QSet>
#include <QSize>
#include <QString>
#include <QStringList>
#include <QVector>

#include <optional>

namespace DataFormats {

enum class Format {
    JsonHash,  // frames as an object keyed by name (TexturePacker JSON hash)
    JsonArray, // frames as an array, each with "filename"
    Phaser3,   // Phaser 3 multi-atlas: {"textures": [...], "meta": ...}
    Libgdx,    // libGDX .atlas text
    Css,       // one CSS class per image
};

// The names on the command line, in the order of Format.
QStringList formatNames();
QString formatName(Format format);
bool formatFromName(const QString &name, Format *format);

// What every format describes: the placements in placement order, the frame
// name of each path (a path without a name is named by itself), and the
// sheet's file name (no folder) and size.
// Where a trimmed frame's pixels sat in its source image.
struct SourceRect
{
    QRect kept;   // within the source image; the frame's region is this size
    QSize source; // the whole source image
};

struct Sheet
{
    QVector<SheetLayout::Placement> placements;
    QMap<QString, QString> names;
    QString imageFileName;
    QSize size;
    // By path: frames cut from a larger source. A path without one is its
    // whole image. CSS cannot show a trimmed frame and refuses any.
    QMap<QString, SourceRect> trims = {};
    std::optional<QPointF> pivot = {}; // in every JSON frame when set
    bool animations = false;           // numbered frames grouped (Sprites::animations())
    bool premultiplied = false;        // said where a format can say it
    // The data files of the other sheets of a multi-sheet run, as
    // meta.related_multi_packs of the JSON formats; empty: none.
    QStringList relatedMultiPacks = {};
    // CSS classes that the other sheets of a multi-sheet run took already,
    // so that a page can load every sheet's rules at once.
    QSet<QString> cssClassesTaken = {};
};

struct Output
{
    QString path;
    Format format = Format::JsonHash;
};

// The text of one data file. False, with `error` naming what cannot be
// written (quoted, control characters as \xNN), when the format cannot carry
// a frame name or the image's file name so that its readers give it back
// exactly: a libGDX atlas line cannot hold a line break or a colon, nor a
// space or control character at either end (libGDX trims lines as Java's
// String.trim() does); CSS cannot hold U+0000. No format takes an unpaired
// surrogate but JSON, whose escapes carry it, save in Phaser 3's image URL.
bool text(Format format, const Sheet &sheet, QByteArray *data, QString *error);

// One file per output, in the order given; false with `error` as text(),
// after the output's path.
bool files(const QVector<Output> &outputs, const Sheet &sheet, QVector<FileContent> *result,
           QString *error);

// The TexturePacker-style JSON hash, frames in placement order. Its bytes
// are what korvane-pack --json has always written.
QByteArray jsonHash(const Sheet &sheet);

// The CSS class for each frame name, in placement order: "sprite-" and the
// name without its suffix, every character but ASCII letters, digits, "-"
// and "_" replaced by "_"; a name already taken, on this sheet or in
// cssClassesTaken, gets "-2", "-3" and so on.
QStringList cssClassNames(const Sheet &sheet);

// Why a CSS file is not written for trimmed frames.
QString cssTrimRefusal();
// Whether a run of several sheets writes one file of this format per sheet
// (JSON hash, JSON array, CSS) or one file for all of them (Phaser 3's
// multi-atlas, libGDX's pages).
bool onePerSheet(Format format);

// The text of one file describing every sheet of a run: a Phaser 3
// multi-atlas with one texture per sheet, or a libGDX atlas with one page
// per sheet. For one sheet the same bytes as text().
bool multiSheetText(Format format, const QVector<Sheet> &sheets, QByteArray *data, QString *error);

// JSON text from QJsonDocument with every U+FEFF escaped: some readers, Qt's
// among them, drop one at the start of a string as if it marked the byte
// order; escaped, every reader keeps it.
QByteArray escapeByteOrderMarks(QByteArray json);

} // namespace DataFormats
