#pragma once

// The images a run packs, from the files and folders it was given. Shared by
// korvane-pack's INPUT arguments and the window's drops.

#include <QMap>
#include <QString>
#include <QStringList>

#include <functional>

namespace Inputs {

// Expands INPUT arguments into path -> frame name. A file stands for itself,
// named by its path as given; a folder stands for the entries directly inside
// it whose names end in ".png" in any letter case and that are not folders
// (a FIFO or a dangling link is listed, and fails when probed), each named by
// its file name. The path is the map key (with "./" in front of an INPUT that
// starts with ':', which Qt would take for a resource), as in the window; a
// path reached twice keeps the smaller of its names so the result does not
// depend on argument order. Returns false with `error` ("PATH: reason") on a
// missing input, one that is neither a file nor a folder, or a folder that
// cannot be listed completely. A .png entry whose name cannot be decoded is
// such an error too, unless `unnamable` is given: then it collects one
// message per such entry and the entry is left out.
bool expandInputs(const QStringList &inputs, QMap<QString, QString> &names, QString *error,
                  QStringList *unnamable = nullptr);

// Lists the ".png" entries of `folder` as expandInputs() takes them: names
// sorted by plain comparison, and the undecodable ones shown quoted with
// their bytes as \xNN. False with `error` when the folder cannot be opened or
// read to its end.
bool listPngEntries(const QString &folder, QStringList *names, QStringList *unnamable,
                    QString *error);

// Test seam: called with the descriptor of each folder being listed, after it
// is opened and before it is read.
void setListingHook(std::function<void(int descriptor)> hook);

// A file name from the system's bytes. Unlike QFile::decodeName(), a leading
// UTF-8 byte-order mark is kept, since it is part of the name. `exact` tells
// whether the name encodes back to the same bytes, that is, whether the file
// can be opened by it.
QString decodeFileName(const QByteArray &raw, bool *exact = nullptr);

// A path as messages show it: native separators, and control characters
// (ESC, BEL, CR, LF...) as \xNN, so that no name can act on a terminal.
QString shownPath(const QString &path);
// Text with its control characters as \xNN.
QString escapeControls(const QString &text);
// Raw name bytes as messages show them: printable ASCII as is, any other
// byte as \xNN.
QString shownBytes(const QByteArray &raw);

// Identifies a file for collision checks: symlinked folders and "a/../b"
// spellings of the same place compare equal, whether or not the file exists;
// symbolic links are followed, dangling ones included.
QString fileIdentity(const QString &path);

// `path` as QFile and QFileInfo must be given it to reach the file: one that
// starts with ':' they would look for among Qt's resources.
QString onDisk(const QString &path);

// `path` made absolute, its ".." taken as the system takes them: after a
// link, in the parent of the folder the link leads to, not in the folder
// holding the link (QDir::cleanPath() would name another folder). Other
// links are kept as named. Each link a ".." follows is added to `links`
// when given.
QString systemAbsolutePath(const QString &path, QStringList *links = nullptr);

} // namespace Inputs
