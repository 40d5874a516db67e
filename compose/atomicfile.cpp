#include "compose/atomicfile.h"

#include <QDir>
#include <QFileInfo>
#include <QSaveFile>

#include <memory>
#include <vector>

namespace {

bool fail(const QString &path, const QString &reason, QString *error)
{
    if (error)
        *error = QStringLiteral("Cannot write %1: %2").arg(QDir::toNativeSeparators(path), reason);
    return false;
}

} // namespace

bool writeFilesAtomically(const QVector<FileContent> &files, QString *error)
{
    // Uncommitted temporary files are discarded when `pending` goes.
    std::vector<std::unique_ptr<QSaveFile>> pending;
    QVector<bool> existed;
    for (const FileContent &content : files) {
        existed.append(QFileInfo::exists(content.path));
        auto file = std::make_unique<QSaveFile>(content.path);
        if (!file->open(QIODevice::WriteOnly))
            return fail(content.path, file->errorString(), error);
        // Flushed here because commit() goes on to replace the target even
        // when its own final flush fails (disk full), leaving a truncated file.
        if (file->write(content.data) != content.data.size() || !file->flush() ||
            file->error() != QFileDevice::NoError) {
            const QString reason = file->errorString();
            file->cancelWriting();
            return fail(content.path, reason, error);
        }
        pending.push_back(std::move(file));
    }

    for (int i = 0; i < files.size(); ++i) {
        if (pending[size_t(i)]->commit())
            continue;
        fail(files[i].path, pending[size_t(i)]->errorString(), error);
        QStringList replaced;
        for (int j = 0; j < i; ++j) {
            if (!existed[j])
                QFile::remove(files[j].path);
            else
                replaced << QDir::toNativeSeparators(files[j].path);
        }
        if (error && !replaced.isEmpty())
            *error +=
                QStringLiteral(" (already replaced: %1)").arg(replaced.join(QStringLiteral(", ")));
        return false;
    }
    return true;
}

bool writeFileAtomically(const QString &path, const QByteArray &data, QString *error)
{
    return writeFilesAtomically({FileContent{path, data}}, error);
}
