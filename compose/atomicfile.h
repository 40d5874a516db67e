#pragma once

#include <QByteArray>
#include <QString>

// Writes `data` to `path` through a temporary file beside it that replaces
// the target only when completely written; on failure the target is left as
// it was and `error` (if given) says why, naming the file.
bool writeFileAtomically(const QString &path, const QByteArray &data, QString *error = nullptr);
