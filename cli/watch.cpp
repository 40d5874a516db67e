#include "cli/watch.h"

#include "cli/console.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QSocketNotifier>
#include <QTextStream>
#include <QTimer>

#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace PackCommand {

namespace {

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

// Watches each path, or, for one that is missing, the folder it would
// appear in. Called again after every pack: a file replaced by renaming a
// new one over it has lost its watch. Paths still watched are kept as they
// are, since a watch removed and added again at once can lose its events.
void watchPaths(QFileSystemWatcher &watcher, const QStringList &paths)
{
    QStringList wanted;
    for (const QString &path : paths) {
        // A missing path's nearest folder that is there: the folders below
        // it are watched in turn as they appear.
        QString watched = QFileInfo(path).absoluteFilePath();
        while (!QFileInfo::exists(watched) && watched != QFileInfo(watched).absolutePath())
            watched = QFileInfo(watched).absolutePath();
        if (QFileInfo::exists(watched) && !wanted.contains(watched))
            wanted << watched;
    }
    const QStringList current = watcher.files() + watcher.directories();
    QStringList gone;
    for (const QString &path : current) {
        if (!wanted.contains(path))
            gone << path;
    }
    if (!gone.isEmpty())
        watcher.removePaths(gone);
    QStringList added;
    for (const QString &path : std::as_const(wanted)) {
        if (!current.contains(path))
            added << path;
    }
    if (!added.isEmpty())
        watcher.addPaths(added);
}

} // namespace

// A folder's entries other than images, such as the run's own data files and
// the temporary files beside them, change with every pack and must not
// start the next one.
QByteArray watchFingerprint(const QStringList &paths)
{
    QCryptographicHash hash(QCryptographicHash::Sha1);
    for (const QString &path : paths) {
        const QFileInfo info(path);
        hash.addData(path.toUtf8());
        if (info.isDir()) {
            hash.addData(QByteArrayLiteral(" folder"));
            const QStringList images =
                QDir(path).entryList({QStringLiteral("*.png")},
                                     QDir::AllEntries | QDir::Hidden | QDir::System, QDir::Name);
            for (const QString &name : images)
                hash.addData(QByteArray("/") + name.toUtf8());
        } else if (struct stat st; ::stat(QFile::encodeName(path).constData(), &st) == 0) {
            const qint64 state[] = {qint64(st.st_dev),          qint64(st.st_ino),
                                    qint64(st.st_size),         qint64(st.st_mtim.tv_sec),
                                    qint64(st.st_mtim.tv_nsec), qint64(st.st_ctim.tv_sec),
                                    qint64(st.st_ctim.tv_nsec)};
            hash.addData(
                QByteArray::fromRawData(reinterpret_cast<const char *>(state), int(sizeof state)));
        }
        hash.addData(QByteArrayLiteral("\n"));
    }
    return hash.result();
}

int watchAndPack(const std::function<WatchedPack()> &pack, Console &console)
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
    QObject::connect(&watcher, &QFileSystemWatcher::fileChanged, &settle,
                     qOverload<>(&QTimer::start));
    QObject::connect(&watcher, &QFileSystemWatcher::directoryChanged, &settle,
                     qOverload<>(&QTimer::start));

    QStringList watched;
    QByteArray packed; // what the last pack read of `watched`
    const auto packOnce = [&]() {
        const QByteArray before = watchFingerprint(watched);
        if (!watched.isEmpty() && before == packed) {
            // Only the packs' own files came and went, or a folder on the way
            // to a missing input appeared: watch on from there.
            watchPaths(watcher, watched);
            return;
        }
        const WatchedPack result = pack();
        // Watched before the line goes out, so that a change made by whoever
        // reads the line is seen. A change made while this pack ran, to what
        // it read or to what the pack before watched, calls for another.
        const QByteArray after = watchFingerprint(result.watched);
        const bool changedMeanwhile =
            watchFingerprint(watched) != before || after != result.before;
        watched = result.watched;
        watchPaths(watcher, watched);
        packed = changedMeanwhile ? QByteArray() : after;
        if (changedMeanwhile)
            settle.start();
        const QString time = QTime::currentTime().toString(QStringLiteral("HH:mm:ss"));
        if (result.status == 0)
            console.out << time << " packed\n";
        else
            console.out << time << " pack failed (status " << result.status
                        << "); watching for changes\n";
        console.out.flush();
    };
    QObject::connect(&settle, &QTimer::timeout, &loop, packOnce);
    QTimer::singleShot(0, &loop, packOnce);
    loop.exec();
    console.out << "stopped watching\n";
    console.out.flush();
    return 0;
}

} // namespace PackCommand
