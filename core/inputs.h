#pragma once

// The images a run packs, from the files and folders it was given. Shared by
// korvane-pack's INPUT arguments and the window's drops.

#include <QMap>
#include <QString>
#include <QStringList>

class QDir;

namespace Inputs {

// Expands INPUT arguments into path -> frame name. A file stands for itself,
// named by its path as given; a folder stands for the files directly inside
// it whose names end in ".png" in any letter case, each named by its file
// name. The path is the map key, as in the window; a path reached twice keeps
// the smaller of its names so the result does not depend on argument order.
// Returns false with `error` ("PATH: reason") on a missing input or one that
// is neither a file nor a folder. A .png file in a folder whose name cannot
// be decoded is such an error too, unless `unnamable` is given: then it
// collects one message per such file and the file is left out.
bool expandInputs(const QStringList &inputs, QMap<QString, QString> &names, QString *error,
                  QStringList *unnamable = nullptr);

// The names of the files directly in `folder` that end in ".png" in any
// letter case, hidden ones included, sorted by plain comparison.
QStringList pngFilesIn(const QDir &folder);

// Files of `folder` ending in ".png" whose names cannot be decoded, each
// shown quoted with the undecodable bytes as \xNN.
QStringList unnamablePngFilesIn(const QDir &folder);

// Identifies a file for collision checks: symlinked folders and "a/../b"
// spellings of the same place compare equal, whether or not the file exists;
// symbolic links are followed, dangling ones included.
QString fileIdentity(const QString &path);

} // namespace Inputs
