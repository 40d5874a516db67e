#pragma once

#include <QByteArray>
#include <QString>
#include <QVector>

struct FileContent
{
    QString path;
    QByteArray data;
};

// Writes every file through a temporary file beside its target, and puts
// them in place, in order, only once all are completely written. On failure
// `error` (if given) names the file and the reason; targets not yet replaced
// are left as they were, and files this call created are removed again.
bool writeFilesAtomically(const QVector<FileContent> &files, QString *error = nullptr);

// The same for one file: the target is replaced by a complete file or left
// as it was.
bool writeFileAtomically(const QString &path, const QByteArray &data, QString *error = nullptr);
