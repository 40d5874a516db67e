#include "core/inputs.h"

#include "core/output/atomicfile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>

#ifdef Q_OS_UNIX
#include <dirent.h>
#endif

namespace Inputs {

namespace {

QString shown(const QString &path)
{
    return QDir::toNativeSeparators(path);
}

} // namespace

QString fileIdentity(const QString &path)
{
    // The writer's own notion, so that what the command line accepts the
    // writer never finds to be one file.
    return outputIdentity(path);
}

bool expandInputs(const QStringList &inputs, QMap<QString, QString> &names, QString *error,
                  QStringList *unnamable)
{
    auto add = [&names](const QString &path, const QString &name) {
        auto it = names.find(path);
        if (it == names.end())
            names.insert(path, name);
        else if (name < it.value())
            it.value() = name;
    };

    names.clear();
    for (const QString &input : inputs) {
        const QFileInfo info(input);
        if (info.isFile()) {
            add(input, input);
            continue;
        }
        if (!info.isDir()) {
            *error = QStringLiteral("%1: %2").arg(
                shown(input), info.exists() ? QStringLiteral("not a regular file or folder")
                                            : QStringLiteral("no such file or folder"));
            return false;
        }
        const QDir folder(input);
        if (!folder.isReadable()) {
            *error = QStringLiteral("%1: folder cannot be read").arg(shown(input));
            return false;
        }
        for (const QString &entry : pngFilesIn(folder))
            add(folder.filePath(entry), entry);
        for (const QString &shownName : unnamablePngFilesIn(folder)) {
            const QString message =
                QStringLiteral("%1: the file name %2 is not valid in this system's encoding")
                    .arg(shown(input), shownName);
            if (!unnamable) {
                *error = message;
                return false;
            }
            unnamable->append(message);
        }
    }
    return true;
}

QStringList pngFilesIn(const QDir &folder)
{
    // Hidden files count too: the rule is the name's ending alone.
    QStringList entries = folder.entryList(QDir::Files | QDir::Hidden, QDir::NoSort);
    std::sort(entries.begin(), entries.end());
    QStringList result;
    for (const QString &entry : std::as_const(entries)) {
        if (entry.endsWith(QLatin1String(".png"), Qt::CaseInsensitive))
            result << entry;
    }
    return result;
}

QStringList unnamablePngFilesIn(const QDir &folder)
{
    QStringList result;
#ifdef Q_OS_UNIX
    // QDir decodes names and drops those that do not survive the round trip;
    // they are found here from the raw bytes, so none is left out silently.
    DIR *dir = ::opendir(QFile::encodeName(folder.path()).constData());
    if (!dir)
        return result;
    while (const dirent *entry = ::readdir(dir)) {
        const QByteArray raw(entry->d_name);
        if (!raw.toLower().endsWith(".png") || QFile::encodeName(QFile::decodeName(raw)) == raw)
            continue;
        QString readable;
        for (const char c : raw) {
            const uchar u = uchar(c);
            readable += u >= 0x20 && u < 0x7f
                            ? QString(QLatin1Char(c))
                            : QStringLiteral("\\x%1").arg(u, 2, 16, QLatin1Char('0'));
        }
        result << QLatin1Char('"') + readable + QLatin1Char('"');
    }
    ::closedir(dir);
    std::sort(result.begin(), result.end());
#else
    Q_UNUSED(folder);
#endif
    return result;
}
} // namespace Inputs
