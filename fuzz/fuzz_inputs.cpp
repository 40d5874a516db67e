// The command line's input expansion over a folder tree built from the input:
// folders, files, symbolic links (dangling ones too) and FIFOs, with names of
// any bytes. Every path returned exists, named as documented (by the path
// as given, or by its file name in a given folder, the smaller when both);
// no .png file of a given folder is left out silently; a missing INPUT fails.

#include "core/inputs.h"
#include "fuzzinput.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <filesystem>
#include <system_error>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Creates up to 24 entries; returns every path made, the root first.
QVector<QByteArray> buildTree(FuzzInput &input, const QByteArray &root)
{
    QVector<QByteArray> folders{root};
    QVector<QByteArray> entries{root};
    for (int i = 0; i < 24 && !input.atEnd(); ++i) {
        const unsigned op = input.take8();
        const QByteArray parent = folders[int(input.take8() % unsigned(folders.size()))];
        QByteArray name = input.takeBytes(input.take8() % 12).replace('/', '_').replace('\0', '_');
        if (op & 0x10)
            name += op & 0x20 ? ".PNG" : ".png";
        if (name.isEmpty() || name == "." || name == "..")
            continue;
        const QByteArray path = parent + '/' + name;
        bool made = false;
        switch (op & 3) {
        case 0:
            made = ::mkdir(path.constData(), 0755) == 0;
            if (made)
                folders << path;
            break;
        case 1: {
            const int fd = ::open(path.constData(), O_CREAT | O_EXCL | O_WRONLY, 0644);
            made = fd >= 0 && ::close(fd) == 0;
            break;
        }
        case 2: {
            const unsigned pick = input.take8();
            const QByteArray target = pick == 0xff ? QByteArray("missing.png")
                                                   : entries[int(pick % unsigned(entries.size()))];
            made = ::symlink(target.constData(), path.constData()) == 0;
            break;
        }
        default:
            made = ::mkfifo(path.constData(), 0644) == 0;
        }
        if (made)
            entries << path;
    }
    return entries;
}

// A folder's entry as a path: the folder as QDir spells it, "/" and the name
// (QDir::filePath() would take a name starting with ':' for a resource).
QString inFolder(const QString &folder, const QString &name)
{
    const QString path = QDir(folder).path();
    return path.endsWith(QLatin1Char('/')) ? path + name : path + QLatin1Char('/') + name;
}

bool isPngName(const QString &name)
{
    return name.endsWith(QLatin1String(".png"), Qt::CaseInsensitive);
}

// The name the documentation gives `path`; empty when no INPUT reaches it.
QString documentedName(const QString &path, const QStringList &args)
{
    QStringList candidates;
    const QString fileName = QFileInfo(path).fileName();
    for (const QString &arg : args) {
        if (arg == path && QFileInfo(arg).isFile())
            candidates << path;
        if (QFileInfo(arg).isDir() && isPngName(fileName) && inFolder(arg, fileName) == path)
            candidates << fileName;
    }
    std::sort(candidates.begin(), candidates.end());
    return candidates.value(0);
}

// The .png entries of a given folder that are files: decodable ones must be
// in `names`; returns how many cannot be decoded.
int checkFolder(const QString &arg, const QMap<QString, QString> &names)
{
    int undecodable = 0;
    DIR *dir = ::opendir(QFile::encodeName(arg).constData());
    if (!dir)
        return 0;
    while (const dirent *entry = ::readdir(dir)) {
        const QByteArray raw(entry->d_name);
        if (!raw.toLower().endsWith(".png"))
            continue;
        // A folder (or a link to one) is never an image, whatever its name.
        struct stat info;
        if (::fstatat(::dirfd(dir), entry->d_name, &info, 0) == 0 && S_ISDIR(info.st_mode))
            continue;
        bool exact = false;
        const QString name = Inputs::decodeFileName(raw, &exact);
        if (!exact) {
            ++undecodable;
            continue;
        }
        const QString path = inFolder(arg, name);
        if (QFileInfo(path).isFile() && !names.contains(path))
            fuzzFail("a .png file of a folder is left out", QFile::encodeName(path));
    }
    ::closedir(dir);
    return undecodable;
}

} // namespace

// Removes the tree by its bytes: QDir cannot remove names it cannot decode.
class TreeRemover
{
public:
    explicit TreeRemover(const QString &root) : m_root(QFile::encodeName(root).toStdString()) {}
    ~TreeRemover()
    {
        std::error_code error;
        std::filesystem::remove_all(m_root, error);
    }

private:
    std::string m_root;
};

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    QTemporaryDir tree;
    if (!tree.isValid())
        fuzzFail("no temporary folder");
    const TreeRemover remover(tree.path());
    FuzzInput input(data, size);
    const QVector<QByteArray> entries = buildTree(input, QFile::encodeName(tree.path()));
    QStringList args;
    bool missing = false;
    for (unsigned i = 0, count = input.take8() % 4 + 1; i < count; ++i) {
        const unsigned pick = input.take8();
        QByteArray raw = pick == 0xff ? QFile::encodeName(tree.filePath(QStringLiteral("none")))
                                      : entries[int(pick % unsigned(entries.size()))];
        if (pick & 0x80)
            raw += '/';
        args << QFile::decodeName(raw);
        struct stat st;
        missing = missing || ::lstat(QFile::encodeName(args.last()).constData(), &st) != 0;
    }

    QMap<QString, QString> names;
    QString error;
    QStringList unnamable;
    const bool expanded = Inputs::expandInputs(args, names, &error, &unnamable);
    if (!expanded) {
        if (error.isEmpty())
            fuzzFail("failed without a message");
        return 0;
    }
    if (missing)
        fuzzFail("a missing INPUT is accepted");
    for (auto it = names.constBegin(); it != names.constEnd(); ++it) {
        // Whether it is a regular file is the run's to check as it opens it;
        // a dangling link is listed too, to fail there.
        struct stat info;
        if (::lstat(QFile::encodeName(it.key()).constData(), &info) != 0)
            fuzzFail("a path that does not exist", QFile::encodeName(it.key()));
        if (it.value() != documentedName(it.key(), args))
            fuzzFail("a path named otherwise than documented", QFile::encodeName(it.key()));
    }
    int undecodable = 0;
    for (const QString &arg : args) {
        if (QFileInfo(arg).isDir())
            undecodable += checkFolder(arg, names);
    }
    if (unnamable.size() != undecodable)
        fuzzFail("a .png name that cannot be decoded is left out silently");
    QMap<QString, QString> strict;
    if (undecodable > 0 && Inputs::expandInputs(args, strict, &error))
        fuzzFail("an undecodable .png name is accepted without the list for it");
    return 0;
}
