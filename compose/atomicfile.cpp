#include "atomicfile.h"

#include <QDir>
#include <QSaveFile>

namespace {

bool fail(const QString &path, const QString &reason, QString *error)
{
    if (error)
        *error = QStringLiteral("Cannot write %1: %2").arg(QDir::toNativeSeparators(path), reason);
    return false;
}

} // namespace

bool writeFileAtomically(const QString &path, const QByteArray &data, QString *error)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return fail(path, file.errorString(), error);
    // Flushed here because commit() goes on to replace the target even when
    // its own final flush fails (disk full), leaving a truncated file.
    if (file.write(data) != data.size() || !file.flush() || file.error() != QFileDevice::NoError) {
        // Read before cancelWriting() replaces it; the temporary file is
        // discarded when `file` goes.
        const QString reason = file.errorString();
        file.cancelWriting();
        return fail(path, reason, error);
    }
    if (!file.commit())
        return fail(path, file.errorString(), error);
    return true;
}
