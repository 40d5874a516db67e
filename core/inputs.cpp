#include "core/inputs.h"

#include "core/output/atomicfile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <cstring>

#ifdef Q_OS_UNIX
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#endif

namespace Inputs {

namespace {

std::function<void(int)> &listingHook()
{
    static std::function<void(int)> hook;
    return hook;
}

// The path of a folder's entry. QDir::filePath() returns a name that starts
// with ':' as it is, a path into Qt's resources rather than the folder.
QString entryPath(const QDir &folder, const QString &entry)
{
    if (!entry.startsWith(QLatin1Char(':')))
        return folder.filePath(entry);
    const QString path = folder.path();
    return path.endsWith(QLatin1Char('/')) ? path + entry : path + QLatin1Char('/') + entry;
}

QString systemError(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

// Why `path`, neither a file nor a folder, is no INPUT. A folder on its way
// that may not be searched hides whether it exists at all: that is said,
// not "no such file".
QString whyNotAnInput(const QString &path)
{
#ifdef Q_OS_UNIX
    struct stat info;
    if (::stat(QFile::encodeName(path).constData(), &info) != 0 && errno != ENOENT)
        return systemError(errno);
#endif
    return QFileInfo::exists(path) ? QStringLiteral("not a regular file or folder")
                                   : QStringLiteral("no such file or folder");
}

#ifdef Q_OS_UNIX
// A folder, or a link to one, is never an image; anything else that ends in
// ".png" is listed, so that the probe reports what it is.
bool isFolderEntry(int folder, const dirent *entry)
{
    if (entry->d_type != DT_DIR && entry->d_type != DT_LNK && entry->d_type != DT_UNKNOWN)
        return false;
    struct stat info;
    return ::fstatat(folder, entry->d_name, &info, 0) == 0 && S_ISDIR(info.st_mode);
}
#endif

} // namespace

void setListingHook(std::function<void(int descriptor)> hook)
{
    listingHook() = std::move(hook);
}

QString decodeFileName(const QByteArray &raw, bool *exact)
{
    static const QByteArray bom("\xef\xbb\xbf");
    QString name = raw.startsWith(bom) ? QChar(0xfeff) + QFile::decodeName(raw.mid(bom.size()))
                                       : QFile::decodeName(raw);
    if (exact)
        *exact = QFile::encodeName(name) == raw;
    return name;
}

QString shownPath(const QString &path)
{
    return escapeControls(QDir::toNativeSeparators(path));
}

QString escapeControls(const QString &text)
{
    QString shown = text;
    for (int i = shown.size() - 1; i >= 0; --i) {
        const ushort c = shown.at(i).unicode();
        if (c < 0x20 || (c >= 0x7f && c < 0xa0))
            shown.replace(i, 1, QStringLiteral("\\x%1").arg(c, 2, 16, QLatin1Char('0')));
    }
    return shown;
}

QString shownBytes(const QByteArray &raw)
{
    QString readable;
    for (const char c : raw) {
        const uchar u = uchar(c);
        readable += u >= 0x20 && u < 0x7f ? QString(QLatin1Char(c))
                                          : QStringLiteral("\\x%1").arg(u, 2, 16, QLatin1Char('0'));
    }
    return readable;
}

QString onDisk(const QString &path)
{
    return path.startsWith(QLatin1Char(':')) ? QLatin1String("./") + path : path;
}

QString systemAbsolutePath(const QString &path, QStringList *links)
{
    const QString absolute =
        path.startsWith(QLatin1Char('/')) ? path : QDir::currentPath() + QLatin1Char('/') + path;
    QStringList kept;
    for (const QString &part : absolute.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        if (part == QLatin1String("."))
            continue;
        if (part != QLatin1String("..")) {
            kept << part;
            continue;
        }
        const QString below = QLatin1Char('/') + kept.join(QLatin1Char('/'));
        if (QFileInfo(below).isSymLink()) {
            if (links)
                *links << below;
            const QString target = QFileInfo(below).canonicalFilePath();
            if (!target.isEmpty())
                kept = target.split(QLatin1Char('/'), Qt::SkipEmptyParts);
        }
        if (!kept.isEmpty())
            kept.removeLast();
    }
    return QLatin1Char('/') + kept.join(QLatin1Char('/'));
}

QString fileIdentity(const QString &path)
{
    // The writer's own notion, so that what the command line accepts the
    // writer never finds to be one file.
    return outputIdentity(path);
}

bool listPngEntries(const QString &folder, QStringList *names, QStringList *unnamable,
                    QString *error)
{
#ifdef Q_OS_UNIX
    // readdir() rather than QDir: QDir hides a read error as the end of the
    // folder, and drops names that do not decode.
    DIR *dir = ::opendir(QFile::encodeName(folder).constData());
    if (!dir) {
        *error = QStringLiteral("%1: folder cannot be read (%2)")
                     .arg(shownPath(folder), systemError(errno));
        return false;
    }
    if (listingHook())
        listingHook()(::dirfd(dir));
    for (;;) {
        errno = 0;
        const dirent *entry = ::readdir(dir);
        if (!entry)
            break;
        const QByteArray raw(entry->d_name);
        if (!raw.toLower().endsWith(".png") || isFolderEntry(::dirfd(dir), entry))
            continue;
        bool exact = false;
        const QString name = decodeFileName(raw, &exact);
        if (exact)
            *names << name;
        else
            *unnamable << QLatin1Char('"') + shownBytes(raw) + QLatin1Char('"');
    }
    const int readError = errno;
    ::closedir(dir);
    if (readError != 0) {
        *error = QStringLiteral("%1: folder cannot be listed completely (%2)")
                     .arg(shownPath(folder), systemError(readError));
        return false;
    }
#else
    const QDir dir(folder);
    if (!dir.isReadable()) {
        *error = QStringLiteral("%1: folder cannot be read").arg(shownPath(folder));
        return false;
    }
    for (const QString &entry : dir.entryList(QDir::Files | QDir::Hidden | QDir::System)) {
        if (entry.endsWith(QLatin1String(".png"), Qt::CaseInsensitive))
            *names << entry;
    }
    Q_UNUSED(unnamable);
#endif
    std::sort(names->begin(), names->end());
    std::sort(unnamable->begin(), unnamable->end());
    return true;
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
        const QString path = onDisk(input);
        const QFileInfo info(path);
        if (info.isFile()) {
            add(path, input);
            continue;
        }
        if (!info.isDir()) {
            *error = QStringLiteral("%1: %2").arg(shownPath(input), whyNotAnInput(path));
            return false;
        }
        QStringList entries;
        QStringList undecodable;
        if (!listPngEntries(input, &entries, &undecodable, error))
            return false;
        const QDir folder(path);
        for (const QString &entry : std::as_const(entries))
            add(entryPath(folder, entry), entry);
        for (const QString &shownName : std::as_const(undecodable)) {
            const QString message =
                QStringLiteral("%1: the file name %2 is not valid in this system's encoding")
                    .arg(shownPath(input), shownName);
            if (!unnamable) {
                *error = message;
                return false;
            }
            unnamable->append(message);
        }
    }
    return true;
}

} // namespace Inputs
