#pragma once

// Readers for the data formats, written to the rules of the programs that
// read them rather than to Korvane's writer, so that a name or a position
// that would not survive is caught. QtCore only: the tests and the fuzz
// targets share them.

#include "core/output/dataformats.h"

#include <QRect>
#include <QString>
#include <QVector>

namespace FormatReaders {

// A frame as a reader sees it: for CSS the name is the class.
struct Frame
{
    QString name;
    QRect rect;
};

struct Read
{
    QString image; // the sheet's file name
    QVector<Frame> frames;
};

// Reads any format: JSON through QJsonDocument (json-hash frames come in
// key order; Phaser 3's texture image as a URL, as for CSS), libGDX as
// readLibgdx(), CSS as readCss(). False with `error`
// when the text does not parse or lacks a field.
bool read(DataFormats::Format format, const QByteArray &text, Read *result, QString *error);

// libGDX's TextureAtlas rules: lines end at LF, CR or CR LF and are trimmed
// as Java's String.trim() does; blank lines before the first page are
// skipped; a line with a colon is a field ("key: a, b, ..."), a page's name
// line is used as it stands and a region's trimmed.
bool readLibgdx(const QByteArray &text, Read *result, QString *error);

// The CSS tokenizer's rules (CSS Syntax Level 3) for what Korvane writes:
// ".IDENT {" with the class as an ident token, url("...") as a string token
// with its escapes decoded, and "</style" nowhere, so that the rules also
// hold inside an HTML style element.
bool readCss(const QByteArray &text, Read *result, QString *error);

} // namespace FormatReaders
