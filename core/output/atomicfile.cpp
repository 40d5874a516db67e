#include "core/output/atomicfile.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QRandomGenerator>
#include <QSet>

#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct Fault
{
    WriteStep step;
    int index; // negative: every output
};
QVector<Fault> injectedFaults;

// True, with errno set, when a test asked this step to fail. A missing hard
// link looks like a file system without them (EPERM); anything else like a
// failing disk (EIO).
bool injected(WriteStep step, int index)
{
    for (const Fault &f : injectedFaults) {
        if (f.step == step && (f.index < 0 || f.index == index)) {
            errno = step == WriteStep::Backup ? EPERM : EIO;
            return true;
        }
    }
    return false;
}

QString shown(const QString &path)
{
    return QDir::toNativeSeparators(path);
}

QByteArray folderOf(const QByteArray &path)
{
    const int slash = path.lastIndexOf('/');
    return slash < 0 ? QByteArray(".") : slash == 0 ? QByteArray("/") : path.left(slash);
}

// The file a write to `path` lands in: symbolic links are followed, so that
// the file a link points to is replaced and the link itself stays.
bool followLinks(const QByteArray &path, QByteArray *target)
{
    QByteArray current = path;
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st;
        if (lstat(current.constData(), &st) != 0 || !S_ISLNK(st.st_mode)) {
            *target = current;
            return true;
        }
        char buffer[PATH_MAX];
        const ssize_t n = readlink(current.constData(), buffer, sizeof buffer);
        if (n < 0)
            return false;
        const QByteArray link(buffer, int(n));
        current = link.startsWith('/') ? link : folderOf(current) + '/' + link;
    }
    errno = ELOOP;
    return false;
}

QString kindOf(mode_t mode)
{
    if (S_ISDIR(mode))
        return QStringLiteral("a folder");
    if (S_ISCHR(mode) || S_ISBLK(mode))
        return QStringLiteral("a device");
    if (S_ISFIFO(mode))
        return QStringLiteral("a FIFO");
    if (S_ISSOCK(mode))
        return QStringLiteral("a socket");
    return QStringLiteral("not a plain file");
}

// Checks `path` as an output without touching it; fills `target` (links
// followed) and `existing` (its mode, or 0 when there is no file yet).
bool inspect(const QString &path, QByteArray *target, mode_t *existing, QString *reason)
{
    if (QFileInfo(path).fileName().isEmpty() || path.endsWith(QLatin1Char('/'))) {
        *reason = QStringLiteral("the path has no file name");
        return false;
    }
    // stat() follows links the way the kernel does, including those it
    // resolves itself (/dev/stdout, /proc/self/fd/N) that may name a pipe or
    // terminal readlink() cannot show as a path.
    struct stat st;
    const bool exists = stat(QFile::encodeName(path).constData(), &st) == 0;
    if (!exists && errno != ENOENT) {
        *reason = qt_error_string(errno);
        return false;
    }
    if (exists && !S_ISREG(st.st_mode)) {
        *reason = QStringLiteral("it is %1, not a regular file").arg(kindOf(st.st_mode));
        return false;
    }
    if (!followLinks(QFile::encodeName(path), target)) {
        *reason = qt_error_string(errno);
        return false;
    }
    // A file its owner made read-only is not replaced behind their back.
    if (exists && access(target->constData(), W_OK) != 0) {
        *reason = qt_error_string(errno);
        return false;
    }
    *existing = exists ? st.st_mode : 0;
    return true;
}

// A name beside `target` that is not taken yet, for `create` to claim (it
// returns false with EEXIST when someone else took the name first).
template <typename Create>
bool claimName(const QByteArray &target, const char *tag, Create create, QByteArray *name)
{
    static const char letters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    for (int attempt = 0; attempt < 100; ++attempt) {
        QByteArray candidate = target + ".korvane-" + tag + '-';
        for (int k = 0; k < 6; ++k)
            candidate += letters[QRandomGenerator::global()->bounded(int(sizeof letters - 1))];
        if (create(candidate)) {
            *name = candidate;
            return true;
        }
        if (errno != EEXIST)
            return false;
    }
    return false;
}

bool writeAll(int fd, const QByteArray &data)
{
    const char *p = data.constData();
    size_t left = size_t(data.size());
    while (left > 0) {
        const ssize_t n = ::write(fd, p, left);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        left -= size_t(n);
    }
    return true;
}

// A file system that cannot sync folders (some network ones) is not a
// failure: there is nothing more that can be done there.
bool syncFolder(const QByteArray &folder)
{
    const int fd = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool synced = fsync(fd) == 0 || errno == EINVAL || errno == EOPNOTSUPP;
    const int savedErrno = errno;
    ::close(fd);
    errno = savedErrno;
    return synced;
}

// Stages: check every output, stage every temporary file, then under the
// lock keep the old targets, put the new files in place and sync the
// folders. Any failure rolls back to the old set.
class Writer
{
public:
    Writer(const QVector<FileContent> &files, const WriteOptions &options, QString *error)
        : m_files(files), m_options(options), m_error(error), m_out(files.size())
    {
    }

    bool run()
    {
        if (m_files.isEmpty())
            return true;
        const bool ok = check() && stage() && commitLocked();
        if (!ok)
            rollback();
        removeLeftovers(ok);
        return ok;
    }

private:
    enum class State { Staged, MovedAside, Placed };
    struct Output
    {
        QByteArray target; // links followed
        QByteArray temp;   // the staged file, until it is put in place
        QByteArray backup; // the old target beside it, until the end
        bool existed = false;
        bool moveAside = false; // no hard link: the old target is renamed away
        State state = State::Staged;
    };

    bool fail(int i, const QString &reason)
    {
        if (m_error)
            *m_error = QStringLiteral("Cannot write %1: %2").arg(shown(m_files[i].path), reason);
        return false;
    }
    bool failErrno(int i, const QString &what)
    {
        return fail(i, QStringLiteral("%1: %2").arg(what, qt_error_string(errno)));
    }

    bool check()
    {
        for (int i = 0; i < m_files.size(); ++i) {
            mode_t mode = 0;
            QString reason;
            if (!inspect(m_files[i].path, &m_out[i].target, &mode, &reason))
                return fail(i, reason);
            for (int j = 0; j < i; ++j) {
                if (m_out[j].target == m_out[i].target)
                    return fail(
                        i, QStringLiteral("it is the same file as %1").arg(shown(m_files[j].path)));
            }
        }
        return true;
    }

    bool stage()
    {
        for (int i = 0; i < m_files.size(); ++i) {
            Output &o = m_out[i];
            int fd = -1;
            auto create = [&](const QByteArray &name) {
                fd = ::open(name.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
                return fd >= 0;
            };
            if (!claimName(o.target, "new", create, &o.temp))
                return failErrno(i, QStringLiteral("cannot create a temporary file"));
            struct stat st;
            if (stat(o.target.constData(), &st) == 0)
                fchmod(fd, st.st_mode & 07777); // keep the old file's permissions
            bool ok = true;
            QString what;
            if (injected(WriteStep::Write, i) || !writeAll(fd, m_files[i].data)) {
                what = QStringLiteral("writing failed");
                ok = false;
            } else if (injected(WriteStep::Sync, i) || fsync(fd) != 0) {
                what = QStringLiteral("syncing to disk failed");
                ok = false;
            }
            const int savedErrno = errno;
            if (::close(fd) != 0 && ok) {
                what = QStringLiteral("closing failed");
                ok = false;
            } else {
                errno = savedErrno;
            }
            if (!ok)
                return failErrno(i, what);
        }
        return true;
    }

    bool commitLocked()
    {
        const QString primary = m_options.lockFor.isEmpty() ? QFile::decodeName(m_out.last().target)
                                                            : m_options.lockFor;
        QLockFile lock(primary + QStringLiteral(".lock"));
        if (!takeLock(lock)) {
            const QString lockPath = shown(primary + QStringLiteral(".lock"));
            const int last = m_files.size() - 1;
            if (m_options.cancel && *m_options.cancel)
                return fail(last, QStringLiteral("cancelled while waiting for another run"));
            if (lock.error() == QLockFile::LockFailedError) {
                return fail(
                    last, QStringLiteral("another run is writing it (lock file %1)").arg(lockPath));
            }
            return fail(last, QStringLiteral("cannot create the lock file %1%2")
                                  .arg(lockPath, lock.error() == QLockFile::PermissionError
                                                     ? QStringLiteral(": permission denied")
                                                     : QString()));
        }
        return keepOldTargets() && putInPlace() && removeFiles() && syncFolders();
    }

    // Waits in short steps, so that a cancel ends the wait.
    bool takeLock(QLockFile &lock)
    {
        QDeadlineTimer deadline(m_options.lockTimeoutMs);
        for (;;) {
            if (m_options.cancel && *m_options.cancel)
                return false;
            const qint64 left = deadline.remainingTime();
            if (lock.tryLock(int(qMin<qint64>(left, 100))))
                return true;
            if (lock.error() != QLockFile::LockFailedError || deadline.hasExpired())
                return false;
        }
    }

    // Hard links to the old targets, made before the first rename so that
    // nothing slow comes between the renames.
    bool keepOldTargets()
    {
        for (int i = 0; i < m_files.size(); ++i) {
            Output &o = m_out[i];
            auto link = [&](const QByteArray &name) {
                return !injected(WriteStep::Backup, i) &&
                       ::link(o.target.constData(), name.constData()) == 0;
            };
            if (claimName(o.target, "old", link, &o.backup)) {
                o.existed = true;
                continue;
            }
            if (errno == ENOENT)
                continue;
            if (errno != EPERM && errno != EOPNOTSUPP && errno != ENOSYS && errno != EMLINK)
                return failErrno(i, QStringLiteral("cannot keep the old file"));
            // No hard links here: the old file is renamed aside just before
            // the new one takes its name.
            struct stat st;
            if (lstat(o.target.constData(), &st) != 0)
                continue;
            auto unused = [](const QByteArray &name) {
                struct stat taken;
                if (lstat(name.constData(), &taken) == 0) {
                    errno = EEXIST;
                    return false;
                }
                return errno == ENOENT;
            };
            if (!claimName(o.target, "old", unused, &o.backup))
                return failErrno(i, QStringLiteral("cannot keep the old file"));
            o.existed = true;
            o.moveAside = true;
        }
        return true;
    }

    bool putInPlace()
    {
        for (int i = 0; i < m_files.size(); ++i) {
            Output &o = m_out[i];
            if (o.moveAside) {
                if (::rename(o.target.constData(), o.backup.constData()) != 0)
                    return failErrno(i, QStringLiteral("cannot move the old file aside"));
                o.state = State::MovedAside;
            }
            if (injected(WriteStep::Rename, i) ||
                ::rename(o.temp.constData(), o.target.constData()) != 0) {
                return failErrno(i, QStringLiteral("cannot put the new file in place"));
            }
            o.temp.clear();
            o.state = State::Placed;
        }
        return true;
    }

    // Each file to remove is renamed aside, so that a rollback can bring it
    // back; the names aside go with the backups.
    bool removeFiles()
    {
        for (const QString &path : m_options.remove) {
            const QByteArray target = QFile::encodeName(path);
            auto moveAside = [&](const QByteArray &name) {
                struct stat taken;
                if (lstat(name.constData(), &taken) == 0) {
                    errno = EEXIST;
                    return false;
                }
                return ::rename(target.constData(), name.constData()) == 0;
            };
            QByteArray aside;
            if (claimName(target, "old", moveAside, &aside)) {
                m_removed.append({target, aside});
                continue;
            }
            if (errno == ENOENT)
                continue;
            if (m_error) {
                *m_error =
                    QStringLiteral("Cannot remove %1: %2").arg(shown(path), qt_error_string(errno));
            }
            return false;
        }
        return true;
    }

    bool syncFolders()
    {
        for (const QPair<QByteArray, QByteArray> &removed : std::as_const(m_removed)) {
            if (!syncFolder(folderOf(removed.first)))
                return failErrno(m_files.size() - 1, QStringLiteral("syncing the folder failed"));
        }
        QSet<QByteArray> synced;
        for (int i = 0; i < m_files.size(); ++i) {
            const QByteArray folder = folderOf(m_out[i].target);
            if (synced.contains(folder))
                continue;
            if (injected(WriteStep::SyncFolder, i) || !syncFolder(folder))
                return failErrno(i, QStringLiteral("syncing the folder failed"));
            synced.insert(folder);
        }
        return true;
    }

    void rollback()
    {
        QStringList unrestored;
        QSet<QByteArray> touched;
        for (const QPair<QByteArray, QByteArray> &removed : std::as_const(m_removed)) {
            touched.insert(folderOf(removed.first));
            if (::rename(removed.second.constData(), removed.first.constData()) != 0)
                unrestored << QStringLiteral("%1: %2").arg(shown(QFile::decodeName(removed.first)),
                                                           qt_error_string(errno));
        }
        m_removed.clear();
        for (int i = m_files.size() - 1; i >= 0; --i) {
            Output &o = m_out[i];
            if (o.state == State::Staged)
                continue;
            touched.insert(folderOf(o.target));
            const bool restored = o.existed
                                      ? ::rename(o.backup.constData(), o.target.constData()) == 0
                                      : ::unlink(o.target.constData()) == 0;
            if (restored) {
                o.backup.clear();
            } else {
                unrestored << QStringLiteral("%1: %2").arg(shown(m_files[i].path),
                                                           qt_error_string(errno));
            }
        }
        for (const QByteArray &folder : touched)
            syncFolder(folder);
        if (m_error && !unrestored.isEmpty()) {
            *m_error += QStringLiteral(" (could not restore %1)")
                            .arg(unrestored.join(QStringLiteral("; ")));
        }
    }

    // After success the backups go; after a failure the temporary files and
    // the hard links of targets that were never replaced.
    void removeLeftovers(bool succeeded)
    {
        for (const QPair<QByteArray, QByteArray> &removed : std::as_const(m_removed))
            ::unlink(removed.second.constData());
        for (Output &o : m_out) {
            if (!o.temp.isEmpty())
                ::unlink(o.temp.constData());
            if (!o.backup.isEmpty() && (succeeded || (o.state == State::Staged && !o.moveAside)))
                ::unlink(o.backup.constData());
        }
    }

    const QVector<FileContent> &m_files;
    const WriteOptions &m_options;
    QString *m_error;
    QVector<Output> m_out;
    QVector<QPair<QByteArray, QByteArray>> m_removed; // the file, and its name aside
};

} // namespace

bool writeFilesAtomically(const QVector<FileContent> &files, const WriteOptions &options,
                          QString *error)
{
    return Writer(files, options, error).run();
}

bool writeFilesAtomically(const QVector<FileContent> &files, QString *error)
{
    return writeFilesAtomically(files, WriteOptions(), error);
}

bool writeFileAtomically(const QString &path, const QByteArray &data, QString *error)
{
    return writeFilesAtomically({FileContent{path, data}}, error);
}

bool isUsableOutputPath(const QString &path, QString *reason)
{
    QByteArray target;
    mode_t mode = 0;
    QString why;
    const bool usable = inspect(path, &target, &mode, &why);
    if (reason)
        *reason = why;
    return usable;
}

void setWriteFaultForTesting(WriteStep step, int index)
{
    if (step == WriteStep::None)
        injectedFaults.clear();
    else
        injectedFaults.append({step, index});
}
