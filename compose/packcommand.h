#pragma once

// korvane-pack: the Generate command from the command line. Same layout,
// placement file and sheet as the window for the same image paths and
// margin, without the window's 99-image limit. QtCore and QtGui only, so it
// runs without a display.

#include "compose/sheetlayout.h"

#include <QByteArray>
#include <QMap>
#include <QSize>
#include <QString>
#include <QStringList>

class QDir;
class QTextStream;

namespace PackCommand {

enum ExitStatus {
    ExitOk = 0,
    ExitFailure = 1,
    ExitUsage = 2,
};

// Expands the INPUT arguments into path -> frame name. A file stands for
// itself, named by its path as given; a folder stands for the files directly
// inside it whose names end in ".png" in any letter case, each named by its
// file name. The path is the map key, as in the window; a path reached twice
// keeps the smaller of its names so the result does not depend on argument
// order. Returns false with `error` ("PATH: reason") on a missing input or
// one that is neither a file nor a folder. A .png file in a folder whose name
// cannot be decoded is such an error too, unless `unnamable` is given: then
// it collects one message per such file and the file is left out.
bool expandInputs(const QStringList &inputs, QMap<QString, QString> &names, QString *error,
                  QStringList *unnamable = nullptr);

// The names of the files directly in `folder` that end in ".png" in any
// letter case, hidden ones included, sorted by plain comparison.
QStringList pngFilesIn(const QDir &folder);

// Files of `folder` ending in ".png" whose names cannot be decoded, each
// shown quoted with the undecodable bytes as \xNN.
QStringList unnamablePngFilesIn(const QDir &folder);

// The placement as a TexturePacker-style JSON hash, frames in placement
// order. Frame names come from `names` (path -> name) and must be unique.
QByteArray jsonText(const QVector<SheetLayout::Placement> &placements,
                    const QMap<QString, QString> &names, const QString &imageFileName,
                    const QSize &sheetSize);

// Runs the command; `arguments` includes the program name first. Writes
// normal output to `out`, every diagnostic to `err`, and returns the exit
// status.
int runPack(const QStringList &arguments, QTextStream &out, QTextStream &err);

} // namespace PackCommand
