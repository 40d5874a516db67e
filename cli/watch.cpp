#include "cli/watch.h"

#include "cli/console.h"
#include "cli/manifest.h"
#include "core/inputs.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QHash>
#include <QLocale>
#include <QSet>
#include <QSocketNotifier>
#include <QTextStream>
#include <QTimer>

#include <algorithm>
#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace PackCommand {

namespace {

// The size of one path's digest in watchEntries().
constexpr int EntryBytes = 20;

// The self-pipe: the handler only writes a byte, and the event loop reads it.
int signalPipe[2] = {-1, -1};

void onSignal(int)
{
    const char byte = 1;
    const ssize_t ignored = ::write(signalPipe[1], &byte, 1);
    (void)ignored;
}

// SIGINT and SIGTERM go to the pipe while it lives; the old handlers come
// back afterwards.
class SignalCatcher
{
public:
    bool install()
    {
        if (pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
            return false;
        struct sigaction action = {};
        action.sa_handler = onSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        sigaction(SIGINT, &action, &m_oldInt);
        sigaction(SIGTERM, &action, &m_oldTerm);
        return true;
    }
    ~SignalCatcher()
    {
        if (signalPipe[0] < 0)
            return;
        sigaction(SIGINT, &m_oldInt, nullptr);
        sigaction(SIGTERM, &m_oldTerm, nullptr);
        ::close(signalPipe[0]);
        ::close(signalPipe[1]);
        signalPipe[0] = signalPipe[1] = -1;
    }

private:
    struct sigaction m_oldInt = {};
    struct sigaction m_oldTerm = {};
};

// A file's or folder's identity as a watch follows it: the one a path names
// now, through links. Empty when there is none.
QByteArray identityOf(const QString &path)
{
    struct stat st;
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return QByteArray();
    return QByteArray::number(quint64(st.st_dev)) + ':' + QByteArray::number(quint64(st.st_ino));
}

// Where the link `link` leads, one step, as the system takes it: a relative
// target from the folder the link really is in. Empty when it is no link.
QString linkTarget(const QString &link)
{
    QByteArray target(4096, Qt::Uninitialized);
    const ssize_t size =
        ::readlink(QFile::encodeName(link).constData(), target.data(), size_t(target.size()));
    if (size <= 0 || size >= target.size())
        return QString();
    target.truncate(int(size));
    QString path = QFile::decodeName(target);
    if (!path.startsWith(QLatin1Char('/'))) {
        const QString folder = QFileInfo(QFileInfo(link).absolutePath()).canonicalFilePath();
        if (folder.isEmpty())
            return QString();
        path = folder + QLatin1Char('/') + path;
    }
    return path;
}

// Watches each path, or, for one that is missing, the folder it would
// appear in, and every folder on its way: a link pointed elsewhere, or a
// folder renamed away however far up, changes only in the folder holding
// it (a folder's own watch sees no rename of it). The same goes for where
// a link on the way, or the path itself, leads: a link there pointed
// elsewhere, or a missing target made, is seen too. Called again after every
// pack. A watch follows the file or folder it was added on, so a path that
// names another one now (a file renamed over it while the old one lives on
// under another name, a folder made again where one was renamed away) is
// watched again; other paths still watched are kept as they are, since a
// watch removed and added again at once can lose its events. `identities`
// remembers what each watch was added on.
void watchPaths(QFileSystemWatcher &watcher, const QStringList &paths,
                QHash<QString, QByteArray> &identities)
{
    QStringList wanted;
    QSet<QString> seen;
    const auto want = [&](const QString &path) {
        if (!seen.contains(path)) {
            seen.insert(path);
            wanted << path;
        }
    };
    QStringList pending;
    for (const QString &path : paths)
        pending << Inputs::onDisk(path);
    // Each link once: a loop of links ends.
    QSet<QString> followed;
    const auto follow = [&](const QString &path) {
        if (!followed.contains(path) && QFileInfo(path).isSymLink()) {
            followed.insert(path);
            const QString target = linkTarget(path);
            if (!target.isEmpty())
                pending << target;
        }
    };
    while (!pending.isEmpty()) {
        // A missing path's nearest folder that is there: the folders below
        // it are watched in turn as they appear. A dangling link on the way
        // waits for its target.
        QString watched = Inputs::systemAbsolutePath(pending.takeFirst(), &pending);
        follow(watched);
        while (!QFileInfo::exists(watched) && watched != QFileInfo(watched).absolutePath()) {
            watched = QFileInfo(watched).absolutePath();
            follow(watched);
        }
        if (!QFileInfo::exists(watched))
            continue;
        want(watched);
        for (QString folder = QFileInfo(watched).absolutePath(); !seen.contains(folder);
             folder = QFileInfo(folder).absolutePath()) {
            want(folder);
            follow(folder);
        }
    }
    const QStringList current = watcher.files() + watcher.directories();
    QStringList gone;
    QSet<QString> kept;
    for (const QString &path : current) {
        if (!seen.contains(path) || identityOf(path) != identities.value(path))
            gone << path;
        else
            kept.insert(path);
    }
    if (!gone.isEmpty())
        watcher.removePaths(gone);
    // A watch needs read access; Qt would print a warning of its own for
    // every path it cannot watch, after every pack. The folder above an
    // unreadable path sees it made readable, and it is watched then.
    QStringList added;
    for (const QString &path : std::as_const(wanted)) {
        if (!kept.contains(path) && ::access(QFile::encodeName(path).constData(), R_OK) == 0)
            added << path;
    }
    if (!added.isEmpty())
        watcher.addPaths(added);
    for (const QString &path : std::as_const(gone))
        identities.remove(path);
    for (const QString &path : std::as_const(added))
        identities.insert(path, identityOf(path));
}

} // namespace

// A folder's entries other than images (and, in a folder a pattern searched,
// than the files it matches), such as the run's own data files and the
// temporary files beside them, change with every pack and must not start
// the next one. Nor must a file the pack wrote that another sheet
// reads: the writer puts a new file in place every time, so such a file
// counts by its bytes.
QByteArray watchEntries(const QStringList &paths, const QSet<QString> &written,
                        const PackFile::Searched &searched)
{
    QByteArray entries;
    for (const QString &path : paths) {
        QCryptographicHash hash(QCryptographicHash::Sha1);
        const QString onDisk = Inputs::onDisk(path);
        const QFileInfo info(onDisk);
        hash.addData(path.toUtf8());
        QFile file(onDisk);
        if (!written.isEmpty() && written.contains(Inputs::fileIdentity(path)) && info.isFile() &&
            file.open(QIODevice::ReadOnly)) {
            hash.addData(QByteArrayLiteral(" written "));
            hash.addData(&file);
        } else if (info.isDir()) {
            hash.addData(QByteArrayLiteral(" folder"));
            const QStringList images =
                QDir(onDisk).entryList({QStringLiteral("*.png")},
                                       QDir::AllEntries | QDir::Hidden | QDir::System, QDir::Name);
            for (const QString &name : images)
                hash.addData(QByteArray("/") + name.toUtf8());
            // A pattern's match need not end in ".png": its walk decides.
            // Only files count, links to them included, as in the walk.
            const auto patterns = searched.names.constFind(path);
            if (patterns != searched.names.constEnd()) {
                hash.addData(QByteArrayLiteral(" matches"));
                const QStringList files =
                    QDir(onDisk).entryList(QDir::Files | QDir::Hidden, QDir::Name);
                for (const QString &name : files) {
                    if (std::any_of(patterns->cbegin(), patterns->cend(),
                                    [&](const PackFile::NameMatch &m) { return m.matches(name); }))
                        hash.addData(QByteArray("/") + name.toUtf8());
                }
            }
            // A pattern's match can appear in a folder made here. Links
            // are not searched.
            if (searched.deeper.contains(path)) {
                hash.addData(QByteArrayLiteral(" folders"));
                const QStringList folders =
                    QDir(onDisk).entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::NoSymLinks |
                                               QDir::Hidden | QDir::System,
                                           QDir::Name);
                for (const QString &name : folders)
                    hash.addData(QByteArray("/") + name.toUtf8());
            }
        } else if (struct stat st; ::stat(QFile::encodeName(path).constData(), &st) == 0) {
            const qint64 state[] = {qint64(st.st_dev),          qint64(st.st_ino),
                                    qint64(st.st_size),         qint64(st.st_mtim.tv_sec),
                                    qint64(st.st_mtim.tv_nsec), qint64(st.st_ctim.tv_sec),
                                    qint64(st.st_ctim.tv_nsec)};
            hash.addData(
                QByteArray::fromRawData(reinterpret_cast<const char *>(state), int(sizeof state)));
            // Times in whole seconds come from a file system that keeps no
            // finer ones (FAT keeps two seconds, FAT through FUSE may keep
            // none): a file rewritten in place at its size can look
            // untouched, so its bytes count too.
            if (S_ISREG(st.st_mode) && st.st_mtim.tv_nsec == 0 && st.st_ctim.tv_nsec == 0)
                hash.addData(hashFile(path));
        }
        entries += hash.result();
    }
    return entries;
}

QByteArray fingerprintOf(const QByteArray &entries)
{
    return QCryptographicHash::hash(entries, QCryptographicHash::Sha1);
}

QByteArray watchFingerprint(const QStringList &paths, const QSet<QString> &written,
                            const PackFile::Searched &searched)
{
    return fingerprintOf(watchEntries(paths, written, searched));
}

int watchAndPack(const std::function<WatchedPack(const QSet<QString> &written)> &pack,
                 Console &console)
{
    SignalCatcher catcher;
    if (!catcher.install())
        return console.failure(
            QStringLiteral("cannot watch for Ctrl+C: %1").arg(qt_error_string(errno)));
    QEventLoop loop;
    QSocketNotifier interrupted(signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&interrupted, &QSocketNotifier::activated, &loop, &QEventLoop::quit);
    QFileSystemWatcher watcher;
    QTimer settle;
    settle.setSingleShot(true);
    settle.setInterval(200);
    // Each change puts the pack off, so that a burst packs once, but by no
    // more than two seconds in all: folders up to the root are watched, and
    // a busy one must not hold the pack off for good.
    QElapsedTimer putOff;
    const auto changed = [&settle, &putOff] {
        if (!settle.isActive())
            putOff.start();
        if (putOff.elapsed() < 2000)
            settle.start();
    };
    QObject::connect(&watcher, &QFileSystemWatcher::fileChanged, &settle, changed);
    QObject::connect(&watcher, &QFileSystemWatcher::directoryChanged, &settle, changed);

    QStringList watched;
    QSet<QString> written;              // what the last pack wrote
    PackFile::Searched searched;        // how its patterns searched folders
    QHash<QString, QByteArray> watches; // what each watch was added on
    QByteArray packed;                  // what the last pack read of `watched`
    const auto packOnce = [&]() {
        const QByteArray beforeEntries = watchEntries(watched, written, searched);
        const QByteArray before = fingerprintOf(beforeEntries);
        if (!watched.isEmpty() && before == packed) {
            // Only the packs' own files came and went, or a folder on the way
            // to a missing input appeared: watch on from there.
            watchPaths(watcher, watched, watches);
            return;
        }
        const WatchedPack result = pack(written);
        // Watched before `after` is taken, and so before the line goes out:
        // a change to a path new to the watch raises an event from then on,
        // and one made earlier shows in `after`. A change made while this
        // pack ran, to what it read or to what the pack before watched, calls
        // for another; so does a file this pack wrote that it had read before
        // (one sheet's output is another's input), until what is read is what
        // was written. A file this pack wrote itself changed as it should: if
        // a sheet read it before it was written, `after` tells.
        watchPaths(watcher, result.watched, watches);
        const QByteArray after = watchFingerprint(result.watched, result.written, result.searched);
        const QByteArray nowEntries = watchEntries(watched, written, searched);
        bool changedMeanwhile = after != result.before;
        for (int i = 0; !changedMeanwhile && i < watched.size(); ++i) {
            const QByteArray was = beforeEntries.mid(i * EntryBytes, EntryBytes);
            changedMeanwhile = was != nowEntries.mid(i * EntryBytes, EntryBytes) &&
                               !result.written.contains(Inputs::fileIdentity(watched[i]));
        }
        watched = result.watched;
        written = result.written;
        searched = result.searched;
        packed = changedMeanwhile ? QByteArray() : after;
        if (changedMeanwhile)
            changed();
        // ASCII digits whatever the locale: Qt 5 would take the system's
        // (Arabic-Indic ones under ar_EG), which scripts reading the line
        // do not expect, and Qt 6 does not.
        const QString time =
            QLocale::c().toString(QTime::currentTime(), QStringLiteral("HH:mm:ss"));
        if (result.status == 0)
            console.out << time << " packed\n";
        else
            console.out << time << " pack failed (status " << result.status
                        << "); watching for changes\n";
        console.out.flush();
        // Nobody reads the lines any more: stop, as the pack is done.
        if (console.out.status() != QTextStream::Ok)
            loop.exit(1);
    };
    QObject::connect(&settle, &QTimer::timeout, &loop, packOnce);
    QTimer::singleShot(0, &loop, packOnce);
    const int status = loop.exec();
    console.out << "stopped watching\n";
    console.out.flush();
    return status;
}

} // namespace PackCommand
