#include "core/output/atomicfile.h"

#include "core/inputs.h"

#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSet>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <mutex>
#include <optional>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <xxhash.h>
#ifdef Q_OS_LINUX
#include <linux/capability.h>
#include <sys/syscall.h>
#include <sys/xattr.h>
#endif

namespace {

struct Fault
{
    WriteStep step;
    int index; // negative: every output
};
QVector<Fault> injectedFaults;
constexpr int NoFault = INT_MIN; // the journal's own steps: no test fails them
thread_local int writePauseMs = 0;

// True, with errno set, when a test asked this step to fail. A missing hard
// link or a refused mode looks like a file system without them (EPERM), a
// cleanup like a busy file (EBUSY); anything else like a failing disk (EIO).
bool injected(WriteStep step, int index)
{
    if (index == NoFault)
        return false;
    for (const Fault &f : injectedFaults) {
        // A negative index is every output's, the journal's only its own.
        const auto journal = [](int i) {
            return i == JournalFaultIndex || i == JournalEndFaultIndex;
        };
        const bool everyOutput = f.index < 0 && !journal(f.index) && !journal(index);
        if (f.step == step && (f.index == index || everyOutput)) {
            errno = step == WriteStep::Backup || step == WriteStep::KeepMode ||
                            step == WriteStep::KeepOwner || step == WriteStep::Sticky
                        ? EPERM
                    : step == WriteStep::Cleanup   ? EBUSY
                    : step == WriteStep::Reopen    ? EACCES
                    : step == WriteStep::WriteFull ? ENOSPC
                    : step == WriteStep::LockFull  ? ENOSPC
                                                   : EIO;
            return true;
        }
    }
    return false;
}

// rename(), unlink() and open() as a test may make them fail (see
// injected()): the call is then made with an empty name, so that it fails
// and changes nothing, and its result, with the step's errno, is what the
// caller checks.
int renameFaulted(WriteStep step, int index, const QByteArray &from, const QByteArray &to)
{
    const bool fault = injected(step, index);
    const int savedErrno = errno;
    const int result = ::rename(fault ? "" : from.constData(), to.constData());
    if (fault)
        errno = savedErrno;
    return result;
}

int unlinkFaulted(WriteStep step, int index, const QByteArray &path)
{
    const bool fault = injected(step, index);
    const int savedErrno = errno;
    const int result = ::unlink(fault ? "" : path.constData());
    if (fault)
        errno = savedErrno;
    return result;
}

int openFaulted(WriteStep step, int index, const QByteArray &path, int flags, mode_t mode = 0)
{
    const bool fault = injected(step, index);
    const int savedErrno = errno;
    const int result = ::open(fault ? "" : path.constData(), flags, mode);
    if (fault)
        errno = savedErrno;
    return result;
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

// The followed target with its folder made canonical; the path as given
// (cleaned) when the folder does not exist.
QByteArray identityOf(const QByteArray &path)
{
    QByteArray target;
    if (!followLinks(path, &target))
        target = path;
    const int slash = target.lastIndexOf('/');
    const QByteArray name = slash < 0 ? target : target.mid(slash + 1);
    char buffer[PATH_MAX];
    if (!name.isEmpty() && name != "." && name != ".." &&
        realpath(folderOf(target).constData(), buffer)) {
        const QByteArray folder(buffer);
        return (folder.endsWith('/') ? folder : folder + '/') + name;
    }
    return QFile::encodeName(
        QDir::cleanPath(QFileInfo(QFile::decodeName(target)).absoluteFilePath()));
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

// Whether this process may rename over, or remove, files of other users in
// a folder with the sticky bit: CAP_FOWNER, which root has.
bool mayReplaceOthersFiles(int index)
{
#ifdef Q_OS_LINUX
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
    return faultedForTesting(WriteStep::Sticky, index, syscall(SYS_capget, &header, data)) == 0 &&
           (data[CAP_TO_INDEX(CAP_FOWNER)].effective & CAP_TO_MASK(CAP_FOWNER)) != 0;
#else
    return faultedForTesting(WriteStep::Sticky, index, geteuid() == 0 ? 0 : -1) == 0;
#endif
}

// Whether `file`, owned by `owner`, is another user's in a folder with the
// sticky bit that is not this user's either: only its owner, or a process
// with CAP_FOWNER, may rename over it or remove it there.
bool keptFromReplacing(const QByteArray &file, uid_t owner, int index)
{
    struct stat folder;
    return owner != geteuid() && stat(folderOf(file).constData(), &folder) == 0 &&
           (folder.st_mode & S_ISVTX) && folder.st_uid != geteuid() &&
           !mayReplaceOthersFiles(index);
}

// The first link on the way to the file `path` names, in its folders or the
// name itself, that another user made in a folder everyone may write that
// has the sticky bit (as /tmp), the folder's owner excepted: anyone could
// have made it there to lead a write to this user's files. The kernel does
// not follow such a link either where Linux's fs.protected_symlinks is on.
// Empty when there is none.
QByteArray plantedLink(const QByteArray &path)
{
    QList<QByteArray> rest = path.split('/');
    QByteArray base = path.startsWith('/') ? QByteArray() : QByteArray(".");
    for (int hops = 0; !rest.isEmpty();) {
        const QByteArray name = rest.takeFirst();
        if (name.isEmpty() || name == ".")
            continue;
        const QByteArray current = base + '/' + name;
        struct stat link, folder;
        if (lstat(current.constData(), &link) != 0)
            return QByteArray(); // nothing further to follow
        if (!S_ISLNK(link.st_mode)) {
            base = current;
            continue;
        }
        const mode_t shared = S_ISVTX | S_IWOTH;
        if (link.st_uid != geteuid() &&
            stat(base.isEmpty() ? "/" : base.constData(), &folder) == 0 &&
            (folder.st_mode & shared) == shared && folder.st_uid != link.st_uid)
            return current.startsWith("./") && !path.startsWith("./") ? current.mid(2) : current;
        char buffer[PATH_MAX];
        const ssize_t n = readlink(current.constData(), buffer, sizeof buffer);
        if (n < 0 || ++hops > 40)
            return QByteArray();
        const QByteArray target(buffer, int(n));
        rest = target.split('/') + rest;
        if (target.startsWith('/'))
            base.clear();
    }
    return QByteArray();
}

// Checks `path` as an output without touching it; fills `target` (links
// followed) and `existing` (its mode, or 0 when there is no file yet).
bool inspect(const QString &path, QByteArray *target, mode_t *existing, QString *reason, int index)
{
    if (QFileInfo(path).fileName().isEmpty() || path.endsWith(QLatin1Char('/'))) {
        *reason = QStringLiteral("the path has no file name");
        return false;
    }
    const QByteArray planted = plantedLink(QFile::encodeName(path));
    if (!planted.isEmpty()) {
        *reason = QStringLiteral("%1 is a link of another user in a folder with the sticky bit "
                                 "(as /tmp has), which is not followed")
                      .arg(shown(QFile::decodeName(planted)));
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
    // In a folder with the sticky bit (/tmp), another user's file that this
    // user may write still cannot be renamed over, nor its backup removed
    // again: refused before anything is written.
    if (exists && keptFromReplacing(*target, st.st_uid, index)) {
        *reason = QStringLiteral("it belongs to another user, and its folder has the sticky bit "
                                 "(as /tmp does): only its owner may replace it");
        return false;
    }
    *existing = exists ? st.st_mode : 0;
    return true;
}

// Eight hex digits that stand for a file name where the name itself does
// not fit beside a suffix; the same in every run.
QByteArray nameTag(const QByteArray &name)
{
    return QCryptographicHash::hash(name, QCryptographicHash::Sha1).toHex().left(8);
}

// Temporary names are "NAME.korvane-TAG-PID-XXXXXX", or, where that would
// not fit in a file name, ".korvane-HASH-TAG-PID-XXXXXX" in the same folder,
// HASH being NAME's nameTag(), so that a backup can still be put back. The
// creator's process id tells a later run whether they are leftovers.
// Captures: NAME, HASH, TAG, PID. Earlier builds wrote the short form
// without HASH.
const QRegularExpression &leftoverPattern()
{
    static const QRegularExpression pattern(
        QStringLiteral(
            "^(.*)\\.korvane-(?:([0-9a-f]{8})-)?(new|old)-([1-9][0-9]{0,9})-[a-z0-9]{6}$"),
        QRegularExpression::DotMatchesEverythingOption);
    return pattern;
}

QByteArray randomLetters()
{
    static const char letters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    QByteArray result;
    for (int k = 0; k < 6; ++k)
        result += letters[QRandomGenerator::global()->bounded(int(sizeof letters - 1))];
    return result;
}

enum class Claim { Taken, Failed, OwnNameTaken };

// A name beside `target` that is not taken yet, for `create` to claim (it
// returns false with EEXIST when someone else took the name first). The
// first name tried ends in `own` where it is given and the name fits;
// OwnNameTaken says that name was taken, and puts it in `name`.
template <typename Create>
Claim claimName(const QByteArray &target, const char *tag, Create create, QByteArray *name,
                const QByteArray &own = QByteArray())
{
    const QByteArray suffix =
        QByteArray(".korvane-") + tag + '-' + QByteArray::number(getpid()) + '-';
    const int slash = target.lastIndexOf('/');
    const bool fits = target.size() - slash - 1 + suffix.size() + 6 <= NAME_MAX;
    const QByteArray stem = fits ? target
                                 : target.left(slash + 1) + ".korvane-" +
                                       nameTag(target.mid(slash + 1)) + '-' + tag + '-' +
                                       QByteArray::number(getpid()) + '-';
    for (int attempt = 0; attempt < 100; ++attempt) {
        const bool first = attempt == 0 && fits && !own.isEmpty();
        const QByteArray candidate =
            (fits ? stem + suffix : stem) + (first ? own : randomLetters());
        if (create(candidate)) {
            *name = candidate;
            return Claim::Taken;
        }
        if (errno != EEXIST)
            return Claim::Failed;
        if (first) {
            *name = candidate;
            return Claim::OwnNameTaken;
        }
    }
    return Claim::Failed;
}

// `path` and `suffix`, or ".korvane-HASH" and `suffix` in the same folder
// where that would be too long a file name.
QByteArray withSuffix(const QByteArray &path, const QByteArray &suffix)
{
    const int slash = path.lastIndexOf('/');
    if (path.size() - slash - 1 + suffix.size() <= NAME_MAX)
        return path + suffix;
    return path.left(slash + 1) + ".korvane-" + nameTag(path.mid(slash + 1)) + suffix;
}

QByteArray lockPathOf(const QByteArray &target)
{
    return withSuffix(target, ".lock");
}

// Lists, while a set is put in place, every rename the set makes, so that
// the next run under the same lock can undo a run that died halfway.
QByteArray journalPathOf(const QByteArray &target)
{
    return withSuffix(target, ".korvane-journal");
}

constexpr char JournalHeader[] = "korvane-journal 2";
// An earlier build's journal, without the staged files' hashes.
constexpr char JournalHeaderWithoutHashes[] = "korvane-journal 1";

bool isOwnName(const QByteArray &path)
{
    const QByteArray name = path.mid(path.lastIndexOf('/') + 1);
    return name.endsWith(".korvane-journal") ||
           leftoverPattern().match(QString::fromLatin1(name)).hasMatch();
}

// For the journal, which a run in another working folder reads.
QByteArray absolutePath(const QByteArray &path)
{
    if (path.startsWith('/'))
        return path;
    char buffer[PATH_MAX];
    return getcwd(buffer, sizeof buffer) ? QByteArray(buffer) + '/' + path : path;
}

// `path` as the journal names it: from the journal's folder (`from`, made
// canonical), so that a folder moved or renamed after a kill, together with
// its outputs, still leads to them; absolute where a folder does not resolve.
QByteArray journalName(const QByteArray &path, const QByteArray &from)
{
    char buffer[PATH_MAX];
    if (from.isEmpty() || !realpath(folderOf(path).constData(), buffer))
        return absolutePath(path);
    const QList<QByteArray> base = from.split('/');
    const QList<QByteArray> folder = QByteArray(buffer).split('/');
    int common = 0;
    while (common < base.size() && common < folder.size() && base[common] == folder[common])
        ++common;
    QByteArray name;
    for (int k = common; k < base.size(); ++k) {
        if (!base[k].isEmpty())
            name += "../";
    }
    for (int k = common; k < folder.size(); ++k) {
        if (!folder[k].isEmpty())
            name += folder[k] + '/';
    }
    return name + path.mid(path.lastIndexOf('/') + 1);
}

bool sameInode(const struct stat &a, const struct stat &b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// One line of a journal: a rename of the set, or a file it moves aside.
struct JournalEntry
{
    QByteArray target, backup, temp; // remove: target and its name aside
    quint64 inode = 0;               // of the staged file
    qint64 size = -1;                // -1: a file to remove
    std::optional<quint64> hash;     // XXH3-64 of the staged file's bytes
};

// Whether the file at `path` (a link is not followed) holds bytes whose
// XXH3-64 is `hash`.
bool holdsBytesHashed(const QByteArray &path, quint64 hash)
{
    const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0)
        return false;
    const std::unique_ptr<XXH3_state_t, XXH_errorcode (*)(XXH3_state_t *)> state(XXH3_createState(),
                                                                                 XXH3_freeState);
    bool read = state && XXH3_64bits_reset(state.get()) == XXH_OK;
    char buffer[64 * 1024];
    while (read) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            read = n == 0;
            break;
        }
        XXH3_64bits_update(state.get(), buffer, size_t(n));
    }
    ::close(fd);
    return read && XXH3_64bits_digest(state.get()) == hash;
}

// Whether `name` is one the writer gives a file beside `target`: in the
// same folder, a temporary or backup name ("new" or "old") of `target`'s
// own, in full or in the short form for a long name.
bool isNameBeside(const QByteArray &name, const QByteArray &target, const char *kind)
{
    const int slash = name.lastIndexOf('/');
    if (slash < 0 || name.left(slash) != folderOf(target))
        return false;
    const QRegularExpressionMatch match =
        leftoverPattern().match(QString::fromLatin1(name.mid(slash + 1)));
    const QByteArray own = target.mid(target.lastIndexOf('/') + 1);
    if (!match.hasMatch() || match.captured(3) != QLatin1String(kind) || own.isEmpty() ||
        own == "." || own == "..")
        return false;
    return match.captured(1).isEmpty()
               ? match.captured(2).toLatin1() == nameTag(own)
               : match.captured(2).isEmpty() && match.captured(1).toLatin1() == own;
}

// 0 when every line is one this version writes, else the first line that
// is not. Only the writer's own names count, so a journal cannot make a
// run move any other file. Names not starting with '/' are from `folder`,
// the journal's.
int parseJournal(const QByteArray &text, const QByteArray &folder, QVector<JournalEntry> *entries)
{
    QList<QByteArray> lines = text.split('\n');
    lines.removeLast(); // cut short, or empty after the last newline
    // A NUL would end the name the system calls see before the checked one.
    const auto path = [&](const QByteArray &field, bool *ok) {
        const QByteArray name = QByteArray::fromPercentEncoding(field);
        *ok = *ok && !name.isEmpty() && !name.contains('\0');
        return name.startsWith('/') ? name : folder + '/' + name;
    };
    const bool hashed = !lines.isEmpty() && lines[0] == JournalHeader;
    for (int k = 0; k < lines.size(); ++k) {
        const QList<QByteArray> f = lines[k].split(' ');
        bool ok = k > 0 || hashed || lines[k] == JournalHeaderWithoutHashes;
        if (k > 0 && f.size() == (hashed ? 7 : 6) && f[0] == "put") {
            bool named = true;
            JournalEntry e{path(f[1], &named), f[2] == "-" ? QByteArray() : path(f[2], &named),
                           path(f[3], &named), f[4].toULongLong(&ok),
                           f[5].toLongLong(),  std::nullopt};
            if (hashed) {
                bool hex = false;
                e.hash = f[6].toULongLong(&hex, 16);
                ok = ok && hex && f[6].size() <= 16;
            }
            ok = ok && named && e.size >= 0 &&
                 (e.backup.isEmpty() || isNameBeside(e.backup, e.target, "old")) &&
                 isNameBeside(e.temp, e.target, "new");
            entries->append(e);
        } else if (k > 0 && f.size() == 3 && f[0] == "remove") {
            bool named = true;
            const JournalEntry e{path(f[1], &named), path(f[2], &named), QByteArray(), 0, -1,
                                 std::nullopt};
            ok = named && isNameBeside(e.backup, e.target, "old");
            entries->append(e);
        } else if (k > 0) {
            ok = false;
        }
        if (!ok)
            return k + 1;
    }
    return 0;
}

// Reads the journal at `path`. False with `problem` empty when there is
// none, else with `problem` a message whose %1 is the journal's name. Only
// a journal of this user's, that no one else may write, counts: another's
// could name any file.
bool readJournal(const QByteArray &path, QByteArray *text, QString *problem)
{
    constexpr qint64 maxJournalSize = 64 << 20;
    const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0 && errno == ENOENT)
        return false;
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) {
        *problem = QStringLiteral("cannot read the journal %1: ") + qt_error_string(errno);
    } else if (!S_ISREG(st.st_mode)) {
        *problem = QStringLiteral("the journal %1 is ") + kindOf(st.st_mode) +
                   QStringLiteral(", not a regular file");
    } else if (st.st_uid != geteuid()) {
        *problem = QStringLiteral("the journal %1 belongs to another user; nothing was changed");
    } else if (st.st_mode & (S_IWGRP | S_IWOTH)) {
        *problem = QStringLiteral("the journal %1 may be written by others; nothing was changed");
    } else if (st.st_size > maxJournalSize) {
        *problem = QStringLiteral("the journal %1 is larger than a journal can be");
    } else {
        text->resize(int(st.st_size));
        qint64 got = 0;
        while (got < st.st_size) {
            const ssize_t n = ::read(fd, text->data() + got, size_t(st.st_size - got));
            if (n > 0)
                got += n;
            else if (n == 0)
                break;
            else if (errno != EINTR)
                break;
        }
        if (got < st.st_size)
            *problem = QStringLiteral("cannot read the journal %1: ") + qt_error_string(errno);
    }
    if (fd >= 0)
        ::close(fd);
    return problem->isEmpty();
}

// At most this much per write(): given one large write, the file system
// caches it in folios as large as 2 MiB, which on a virtual machine whose
// host has taken back the free memory cost 0.26 to 0.44 s for a 36 MiB sheet
// against 0.01 s in writes of 64 KiB to 1 MiB.
constexpr size_t WriteStepBytes = size_t(1) << 20;

bool writeAll(int fd, const QByteArray &data, int index)
{
    const char *p = data.constData();
    size_t left = size_t(data.size());
    while (left > 0) {
        const size_t step = std::min(left, WriteStepBytes);
        const ssize_t n =
            faultedForTesting(WriteStep::WriteFull, index,
                              faultedForTesting(WriteStep::Write, index, ::write(fd, p, step)));
        if (n < 0 && errno == EINTR)
            continue;
        if (n == 0)
            errno = ENOSPC; // nothing written, and no reason given
        if (n <= 0)
            return false;
        p += n;
        left -= size_t(n);
    }
    return true;
}

// A file system that cannot sync folders (some network ones) is not a
// failure: there is nothing more that can be done there.
bool syncFolder(const QByteArray &folder, int index)
{
    const int fd = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool synced = faultedForTesting(WriteStep::SyncFolder, index, fsync(fd)) == 0 ||
                        errno == EINVAL || errno == EOPNOTSUPP;
    const int savedErrno = errno;
    ::close(fd);
    errno = savedErrno;
    return synced;
}

// Ctrl+C, SIGTERM and SIGHUP wait while a set is put in place or rolled
// back: a run they would end there would leave old and new files mixed (and
// its lock file behind). Only signals left at their default action are
// held; a program that handles or ignores one keeps doing so. Writers on
// several threads share one hold, the last to finish ends it, and a signal
// that came meanwhile is raised again then.
class HeldSignals
{
public:
    HeldSignals()
    {
        const std::lock_guard<std::mutex> guard(mutex());
        if (s_holders++ > 0)
            return;
        for (int i = 0; i < Count; ++i) {
            struct sigaction action = {};
            action.sa_handler = remember;
            sigemptyset(&action.sa_mask);
            s_replaced[i] = sigaction(Signals[i], nullptr, &s_old[i]) == 0 &&
                            s_old[i].sa_handler == SIG_DFL &&
                            sigaction(Signals[i], &action, nullptr) == 0;
        }
    }
    ~HeldSignals()
    {
        const std::lock_guard<std::mutex> guard(mutex());
        if (--s_holders > 0)
            return;
        for (int i = 0; i < Count; ++i) {
            if (s_replaced[i])
                sigaction(Signals[i], &s_old[i], nullptr);
        }
        if (const int signal = s_pending.exchange(0))
            ::raise(signal);
    }
    HeldSignals(const HeldSignals &) = delete;
    HeldSignals &operator=(const HeldSignals &) = delete;

private:
    static constexpr int Count = 3;
    static constexpr int Signals[Count] = {SIGINT, SIGTERM, SIGHUP};
    static void remember(int signal) { s_pending = signal; }
    static std::mutex &mutex()
    {
        static std::mutex m;
        return m;
    }
    static inline int s_holders = 0;
    static inline bool s_replaced[Count] = {};
    static inline struct sigaction s_old[Count] = {};
    static inline std::atomic<int> s_pending{0};
};

// The kernel's lock on "<primary>.lock": it ends with the process that holds
// it, so a killed run never blocks the next one, and the file's contents
// mean nothing. The file is removed again only by the run that created it,
// while it still holds the lock; a file that was there before (left by a
// killed run, or the user's own) stays as it is.
class OutputLock
{
public:
    ~OutputLock() { release(); }

    enum Result { Taken, Busy, Cancelled, Failed };

    // Waits in short steps, so that a cancel ends the wait. Signals are
    // held from each attempt on, so that one cannot end the run between
    // making the lock file and holding it, which would leave the file
    // behind; once the lock is taken `hold` stays held, while the run
    // waits it is not.
    Result take(const QByteArray &path, int timeoutMs, const std::atomic<bool> *cancel,
                std::optional<HeldSignals> *hold)
    {
        QDeadlineTimer deadline(timeoutMs);
        for (;;) {
            if (cancel && *cancel)
                return Cancelled;
            hold->emplace();
            if (m_fd < 0 && !open(path))
                return Failed;
            if (flock(m_fd, LOCK_EX | LOCK_NB) == 0) {
                // Removed (and maybe made again) by its creator meanwhile:
                // the lock must be on the file that has the name now.
                struct stat held, named;
                if (fstat(m_fd, &held) == 0 && stat(path.constData(), &named) == 0 &&
                    held.st_dev == named.st_dev && held.st_ino == named.st_ino) {
                    m_path = path;
                    pauseForTesting();
                    return Taken;
                }
                closeFd();
                continue;
            }
            const int savedErrno = errno;
            hold->reset();
            errno = savedErrno;
            if (errno != EWOULDBLOCK && errno != EINTR) {
                m_failedTo = "lock";
                return Failed;
            }
            if (deadline.hasExpired())
                return Busy;
            QThread::msleep(quint64(qBound(qint64(1), deadline.remainingTime(), qint64(50))));
        }
    }

    // What Failed could not be done to the lock file: "create" it, "open"
    // one that is there (another user's, say) or "lock" it.
    const char *failedTo() const { return m_failedTo; }

private:
    bool open(const QByteArray &path)
    {
        const int flags = O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
        for (int attempt = 0; attempt < 100; ++attempt) {
            m_fd = openFaulted(WriteStep::LockFull, 0, path, flags | O_CREAT | O_EXCL, 0666);
            m_created = m_fd >= 0;
            const bool there = m_fd < 0 && errno == EEXIST;
            if (there)
                m_fd = ::open(path.constData(), flags);
            m_failedTo = there ? "open" : "create";
            if (m_fd >= 0 || errno != ENOENT)
                return m_fd >= 0;
        }
        m_failedTo = "create";
        return false;
    }
    void closeFd()
    {
        ::close(m_fd);
        m_fd = -1;
    }
    void release()
    {
        if (m_fd < 0)
            return;
        if (m_created && !m_path.isEmpty())
            ::unlink(m_path.constData());
        closeFd();
    }

    int m_fd = -1;
    bool m_created = false;
    const char *m_failedTo = "create";
    QByteArray m_path; // set while held
};

// The old file's access ACL (rights of named users and groups), or none
// where it has none: a folder's default ACL may have given the staged file
// one. A file system without ACLs has nothing to keep.
bool keepAcl(int fd, const QByteArray &old, int index)
{
#ifdef Q_OS_LINUX
    static const char name[] = "system.posix_acl_access";
    char acl[4096];
    const ssize_t size = getxattr(old.constData(), name, acl, sizeof acl);
    if (size >= 0)
        return faultedForTesting(WriteStep::KeepMode, index,
                                 fsetxattr(fd, name, acl, size_t(size), 0)) == 0;
    if (errno != ENODATA)
        return errno == ENOTSUP;
    // Only an ACL the staged file has is taken away: a file system that
    // keeps none may refuse the call in ways of its own.
    return fgetxattr(fd, name, nullptr, 0) < 0 || fremovexattr(fd, name) == 0;
#else
    Q_UNUSED(fd)
    Q_UNUSED(old)
    Q_UNUSED(index)
    return true;
#endif
}

// Gives the staged file `fd` the owner, group, ACL and mode of the old file
// at `path`, so that
// a new version is readable by no one its old one was not, and by everyone
// it was. Owner and group carry over where the system lets them (root may
// give a file to anyone, others only to a group they are in); a group that
// cannot be kept fails only where it has rights that others lack, as those
// would go to another group. Where the staged file has them already nothing
// is changed, so that a file system without permissions (FAT through FUSE,
// gvfs), which refuses every change, still takes a new version.
bool keepPermissions(int fd, const QByteArray &path, const struct stat &old, int index)
{
    struct stat staged;
    if (fstat(fd, &staged) != 0)
        return false;
    if (staged.st_uid != old.st_uid || staged.st_gid != old.st_gid) {
        const auto give = [&](uid_t owner) {
            return faultedForTesting(WriteStep::KeepOwner, index, fchown(fd, owner, old.st_gid)) ==
                   0;
        };
        const bool kept = give(old.st_uid) || give(uid_t(-1));
        if (!kept && ((old.st_mode >> 3) & 07) != (old.st_mode & 07))
            return false;
    }
    // A change of owner may have dropped the set-user-ID bit, and an ACL
    // sets the mode's group bits.
    if (!keepAcl(fd, path, index) || fstat(fd, &staged) != 0)
        return false;
    return (staged.st_mode & 07777) == (old.st_mode & 07777) ||
           faultedForTesting(WriteStep::KeepMode, index, fchmod(fd, old.st_mode & 07777)) == 0;
}

// For claimName(): a name nothing has yet.
bool isUnused(const QByteArray &name)
{
    struct stat taken;
    if (lstat(name.constData(), &taken) == 0) {
        errno = EEXIST;
        return false;
    }
    return errno == ENOENT;
}

bool processIsGone(qint64 pid)
{
    return pid > 0 && pid != getpid() && pid <= INT_MAX && ::kill(pid_t(pid), 0) != 0 &&
           errno == ESRCH;
}

// Stages: check every output, stage every temporary file, then under the
// lock remove what dead runs left, keep the old targets, put the new files
// in place and sync the folders. Any failure rolls back to the old set.
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
        bool ok = check() && stageInRoom() && commitLocked();
        // The commit point: once the journal is gone, a later run keeps
        // this set, and the backups may go.
        if (ok && !endJournal())
            ok = failErrno(m_files.size() - 1, QStringLiteral("cannot remove the journal %1")
                                                   .arg(shown(QFile::decodeName(journalPath()))));
        // Still under the lock: a run waiting for it must not put its set
        // in place before this one's rollback is over. An old file that
        // could not be put back keeps the journal, for the next run to try.
        if (!ok && rollback())
            endJournal();
        removeLeftovers(ok);
        m_lock.reset();
        m_held.reset();
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
        m_failedErrno = errno;
        return fail(i, QStringLiteral("%1: %2").arg(what, qt_error_string(errno)));
    }
    void warn(const QString &message)
    {
        if (m_options.warnings)
            m_options.warnings->append(message);
    }

    QByteArray lockPath() const
    {
        return m_options.lockFor.isEmpty() ? lockPathOf(m_out.last().target)
                                           : QFile::encodeName(lockFilePathFor(m_options.lockFor));
    }
    // Beside the lock file, named after the same file.
    QByteArray journalPath() const
    {
        if (m_options.lockFor.isEmpty())
            return journalPathOf(m_out.last().target);
        const QByteArray primary = QFile::encodeName(m_options.lockFor);
        QByteArray target;
        return journalPathOf(followLinks(primary, &target) ? target : primary);
    }

    bool check()
    {
        QVector<QByteArray> identities;
        for (int i = 0; i < m_files.size(); ++i) {
            mode_t mode = 0;
            QString reason;
            if (!inspect(m_files[i].path, &m_out[i].target, &mode, &reason, i))
                return fail(i, reason);
            identities.append(identityOf(m_out[i].target));
            for (int j = 0; j < i; ++j) {
                if (identities[j] == identities[i])
                    return fail(
                        i, QStringLiteral("it is the same file as %1").arg(shown(m_files[j].path)));
            }
        }
        // The lock file is not ours to replace or remove, nor the journal
        // ours to write as an output.
        const QByteArray lock = identityOf(lockPath());
        const QByteArray journal = identityOf(journalPath());
        for (int i = 0; i < m_files.size(); ++i) {
            if (identities[i] == lock)
                return fail(i, QStringLiteral("it is the lock file %1 of this set")
                                   .arg(shown(QFile::decodeName(lockPath()))));
            if (identities[i] == journal)
                return fail(i, QStringLiteral("it is the journal %1 of this set")
                                   .arg(shown(QFile::decodeName(journalPath()))));
            if (isOwnName(identities[i]))
                return fail(i, QStringLiteral("its name has the form of a journal, temporary "
                                              "file or backup Korvane keeps beside an output"));
        }
        return true;
    }

    // Every file of a batch is written, and its writeback started, before
    // any of them is synced: the disk then works on all of them at once
    // rather than one after the other.
    bool stage()
    {
        constexpr int Batch = 16; // temporary files open at once
        for (int first = 0; first < m_files.size(); first += Batch) {
            const int end = std::min(int(m_files.size()), first + Batch);
            int fds[Batch];
            int opened = 0;
            bool ok = true;
            for (int i = first; i < end && ok; ++i) {
                ok = writeOne(i, &fds[opened]);
                if (ok)
                    ++opened;
            }
            for (int k = 0; k < opened; ++k) {
                if (ok)
                    ok = syncOne(first + k, fds[k]);
                else
                    ::close(fds[k]); // the run has failed already
            }
            if (!ok)
                return false;
        }
        return true;
    }

    // A run killed while it staged (by a build's time-out, say) leaves its
    // temporary files, which are removed only under the lock, after
    // staging. On a disk without room for two sets they would fail every
    // later run before it gets there: out of room, the run takes the lock
    // early to remove what dead runs left, and stages once more.
    bool stageInRoom()
    {
        if (stage())
            return true;
        if (m_failedErrno != ENOSPC && m_failedErrno != EDQUOT)
            return false;
        const QString error = m_error ? *m_error : QString();
        for (Output &o : m_out) {
            if (!o.temp.isEmpty() && ::unlink(o.temp.constData()) != 0)
                return false; // left for removeLeftovers() to report
            o.temp.clear();
        }
        {
            std::optional<HeldSignals> held;
            OutputLock lock;
            if (takeLock(lock, &held) != OutputLock::Taken)
                return false;
            // A dead run's backups go only once its journal has put them back.
            if (!recoverInterrupted())
                return false;
            removeDeadRunsFiles();
        }
        if (m_error)
            *m_error = error;
        return stage();
    }

    // Out of inodes, not even the lock file can be made, and what dead runs
    // left is removed only under the lock: their staged files, which
    // nothing reads back, go first to make room for it.
    OutputLock::Result takeLock(OutputLock &lock, std::optional<HeldSignals> *held)
    {
        const auto take = [&] {
            return lock.take(lockPath(), m_options.lockTimeoutMs, m_options.cancel, held);
        };
        const OutputLock::Result taken = take();
        if (taken != OutputLock::Failed || strcmp(lock.failedTo(), "create") != 0 ||
            (errno != ENOSPC && errno != EDQUOT))
            return taken;
        removeDeadRunsFiles(true);
        return take();
    }

    // Creates output i's temporary file and writes it; it stays open in
    // `*fd` for syncOne().
    bool writeOne(int i, int *fd)
    {
        Output &o = m_out[i];
        // Created no wider than the old file: until keepPermissions() narrows
        // it, anyone the umask lets in could open it and read the new bytes
        // through that descriptor, those of a private (0600) file included.
        struct stat old;
        const mode_t mode = stat(o.target.constData(), &old) == 0 ? old.st_mode & 0666 : 0666;
        auto create = [&](const QByteArray &name) {
            *fd = ::open(name.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
            return *fd >= 0;
        };
        // Every output of the set tries its target with the same suffix
        // first. A file system can take names with other bytes for one file:
        // letters of another case on FAT, exFAT, macOS or case-folding
        // volumes, or a folder reached through a bind mount. Where it does,
        // the later output would replace the earlier, and no path tells; but
        // the later one's first name is then taken, by the earlier one's
        // staged file.
        Claim claim = claimName(o.target, "new", create, &o.temp, m_ownLetters);
        if (claim == Claim::OwnNameTaken) {
            // Only where the name is an earlier output's staged file: anyone
            // who may write the folder (another user in /tmp) can make a
            // file of that name once they see the first one.
            const QByteArray taken = std::exchange(o.temp, QByteArray());
            if (isStagedBefore(i, taken))
                return failSameFile(i);
            claim = claimName(o.target, "new", create, &o.temp);
        }
        if (claim != Claim::Taken)
            return failErrno(i, QStringLiteral("cannot create a temporary file"));
        QString what;
        struct stat st;
        if (stat(o.target.constData(), &st) == 0 && !keepPermissions(*fd, o.target, st, i))
            what = QStringLiteral("cannot keep the old file's permissions");
        else if (!writeAll(*fd, m_files[i].data, i))
            what = QStringLiteral("writing failed");
        if (what.isEmpty()) {
#ifdef Q_OS_LINUX
            // A hint only: what goes wrong on the way shows in the sync.
            ::sync_file_range(*fd, 0, 0, SYNC_FILE_RANGE_WRITE);
#endif
            return true;
        }
        const int savedErrno = errno;
        ::close(*fd);
        errno = savedErrno;
        return failErrno(i, what);
    }

    // Whether `name` is the staged file of an output before i, by its
    // number or, where the file system numbers each spelling apart (FAT
    // through FUSE), by asking it again.
    bool isStagedBefore(int i, const QByteArray &name) const
    {
        struct stat taken, staged;
        const bool exists = lstat(name.constData(), &taken) == 0;
        for (int k = 0; k < i; ++k) {
            if ((exists && !m_out[k].temp.isEmpty() &&
                 lstat(m_out[k].temp.constData(), &staged) == 0 && sameInode(taken, staged)) ||
                isOneName(m_files[i].path, m_files[k].path))
                return true;
        }
        return false;
    }

    // Output i's first staged name was taken by the staged file of an
    // earlier output that the file system takes for the same file; which
    // one is asked of the file system again.
    bool failSameFile(int i)
    {
        QString other = QStringLiteral("another output");
        for (int k = 0; k < i; ++k) {
            if (isOneName(m_files[i].path, m_files[k].path)) {
                other = shown(m_files[k].path);
                break;
            }
        }
        return fail(i, QStringLiteral("it is the same file as %1").arg(other));
    }

    // Syncs output i's temporary file to disk and closes it.
    bool syncOne(int i, int fd)
    {
        QString what;
        if (faultedForTesting(WriteStep::Sync, i, fsync(fd)) != 0)
            what = QStringLiteral("syncing to disk failed");
        const int savedErrno = errno;
        if (faultedForTesting(WriteStep::Close, i, ::close(fd)) != 0 && what.isEmpty())
            what = QStringLiteral("closing failed");
        else
            errno = savedErrno;
        return what.isEmpty() || failErrno(i, what);
    }

    bool commitLocked()
    {
        m_lock.emplace();
        const QByteArray path = lockPath();
        const int last = m_files.size() - 1;
        switch (takeLock(*m_lock, &m_held)) {
        case OutputLock::Taken:
            break;
        case OutputLock::Cancelled:
            return fail(last, QStringLiteral("cancelled while waiting for another run"));
        case OutputLock::Busy:
            return fail(last, QStringLiteral("another run is writing it (lock file %1)")
                                  .arg(shown(QFile::decodeName(path))));
        case OutputLock::Failed:
            return fail(last, QStringLiteral("cannot %1 the lock file %2: %3")
                                  .arg(QLatin1String(m_lock->failedTo()),
                                       shown(QFile::decodeName(path)), qt_error_string(errno)));
        }
        if (!recoverInterrupted())
            return false;
        removeDeadRunsFiles();
        m_remove = m_options.remove;
        if (m_options.removeUnderLock)
            m_remove += m_options.removeUnderLock();
        return keepOldTargets() && claimRemovals() && writeJournal() && putInPlace() &&
               removeFiles() && syncFolders();
    }

    // A journal found with the lock held is that of a run that died while
    // it put its set in place (killed, or the machine went down). Its old
    // set goes back whole before this run starts. The renames start only
    // once the journal is synced, so a line cut short was never acted on.
    // What cannot be put back fails this run and keeps the journal.
    bool recoverInterrupted()
    {
        const int last = m_files.size() - 1;
        const QByteArray path = journalPath();
        const QString journal = shown(QFile::decodeName(path));
        QByteArray text;
        QString problem;
        if (!readJournal(path, &text, &problem))
            return problem.isEmpty() || fail(last, problem.arg(journal));
        QVector<JournalEntry> entries;
        if (const int bad = parseJournal(text, folderOf(path), &entries)) {
            return fail(last, QStringLiteral("the journal %1 is not one this version "
                                             "writes (line %2); nothing was changed")
                                  .arg(journal, QString::number(bad)));
        }
        const QStringList unrestored = undoJournal(entries, folderOf(path));
        if (!unrestored.isEmpty())
            return fail(last, QStringLiteral("a run that ended early left its set half in place "
                                             "(journal %1), and it could not be put back: "
                                             "could not restore %2")
                                  .arg(journal, unrestored.join(QStringLiteral("; "))));
        if ((unlinkFaulted(WriteStep::Cleanup, JournalFaultIndex, path) != 0 && errno != ENOENT) ||
            !syncFolder(folderOf(path), JournalEndFaultIndex))
            return failErrno(last, QStringLiteral("cannot remove the journal %1").arg(journal));
        return true;
    }

    // Undoes a dead run's renames, last first: every target it replaced
    // from its backup, a target that did not exist before removed while it
    // is still the file that run staged, every file moved aside back. A
    // target that is neither the staged file nor the old one was written
    // since by someone else, and stays. Returns what could not be restored.
    QStringList undoJournal(const QVector<JournalEntry> &entries, const QByteArray &journalFolder)
    {
        QStringList unrestored;
        QSet<QByteArray> touched{journalFolder};
        const auto gone = [&](const QByteArray &file) {
            if (::unlink(file.constData()) != 0 && errno != ENOENT)
                warn(QStringLiteral("cannot remove %1, left by a run that ended early: %2")
                         .arg(shown(QFile::decodeName(file)), qt_error_string(errno)));
        };
        for (int k = entries.size() - 1; k >= 0; --k) {
            const JournalEntry &e = entries[k];
            const QString target = shown(QFile::decodeName(e.target));
            const QString aside = shown(QFile::decodeName(e.backup));
            struct stat now, old;
            const bool exists = lstat(e.target.constData(), &now) == 0;
            const bool kept = !e.backup.isEmpty() && lstat(e.backup.constData(), &old) == 0;
            // Known by its number, or, where that changed (FAT numbers its
            // files anew on every mount, as after the machine went down), by
            // its bytes.
            const bool staged =
                exists && S_ISREG(now.st_mode) && qint64(now.st_size) == e.size &&
                (quint64(now.st_ino) == e.inode || (e.hash && holdsBytesHashed(e.target, *e.hash)));
            touched.insert(folderOf(e.target));
            if (e.size < 0 && kept && exists) {
                warn(QStringLiteral("cannot put %1 back, a file of that name is there again; "
                                    "the old one is kept as %2")
                         .arg(target, aside));
            } else if (kept && exists && sameInode(now, old)) {
                gone(e.backup); // never replaced
            } else if (kept && exists && e.size >= 0 && !staged) {
                // Written since by another program: the newer file stays.
            } else if (kept && ::rename(e.backup.constData(), e.target.constData()) != 0) {
                unrestored << QStringLiteral("%1 (kept as %2): %3")
                                  .arg(target, aside, qt_error_string(errno));
            } else if (e.backup.isEmpty() && staged && ::unlink(e.target.constData()) != 0) {
                unrestored << QStringLiteral("%1: %2").arg(target, qt_error_string(errno));
            }
            if (!e.temp.isEmpty())
                gone(e.temp);
        }
        for (const QByteArray &folder : std::as_const(touched))
            syncFolder(folder, NoFault);
        return unrestored;
    }

    // Temporary files and backups of these outputs whose run is gone. Live
    // runs' files stay: one waiting for the lock has staged its files already.
    // Only their staged files with `stagedOnly`, as may go without the lock.
    void removeDeadRunsFiles(bool stagedOnly = false)
    {
        QMap<QByteArray, QSet<QByteArray>> namesByFolder;
        for (const Output &o : std::as_const(m_out)) {
            const int slash = o.target.lastIndexOf('/');
            namesByFolder[folderOf(o.target)].insert(o.target.mid(slash + 1));
        }
        for (auto it = namesByFolder.cbegin(); it != namesByFolder.cend(); ++it) {
            DIR *dir = ::opendir(it.key().constData());
            if (!dir)
                continue;
            // Only names with the leftovers' tag can be one (not even the
            // manifests beside the sheets): a folder of thousands of files,
            // written to once per sheet, is read fast.
            QVector<QByteArray> names;
            while (const dirent *entry = ::readdir(dir)) {
                const char *name = entry->d_name;
                if (std::strstr(name, ".korvane-") &&
                    (std::strstr(name, "-new-") || std::strstr(name, "-old-")))
                    names.append(QByteArray(name));
            }
            ::closedir(dir);
            for (const QByteArray &name : std::as_const(names))
                removeIfDeadRunsFile(it.key(), name, it.value(), stagedOnly);
        }
    }

    void removeIfDeadRunsFile(const QByteArray &folder, const QByteArray &name,
                              const QSet<QByteArray> &outputs, bool stagedOnly)
    {
        const QRegularExpressionMatch match = leftoverPattern().match(QString::fromLatin1(name));
        if (!match.hasMatch() || !processIsGone(match.captured(4).toLongLong()))
            return;
        const bool backup = match.captured(3) == QLatin1String("old");
        if (backup && stagedOnly)
            return;
        QByteArray owner = match.captured(1).toLatin1();
        if (owner.isEmpty()) {
            // A short name: its HASH tells whose it is. One without (an
            // earlier build's) names no file to put a backup back as, and
            // may be the only copy of one: it stays.
            const QByteArray hash = match.captured(2).toLatin1();
            for (const QByteArray &output : outputs) {
                if (!hash.isEmpty() && nameTag(output) == hash)
                    owner = output;
            }
            if (owner.isEmpty() && (backup || !hash.isEmpty()))
                return;
        } else if (!outputs.contains(owner)) {
            return;
        }
        const QByteArray path = folder + '/' + name;
        struct stat st;
        if (lstat(path.constData(), &st) != 0 || !S_ISREG(st.st_mode))
            return;
        // A backup whose target is missing is the only copy of the old file
        // (the run died after moving it aside): it goes back.
        const QByteArray target = folder + '/' + owner;
        if (!owner.isEmpty() && backup && lstat(target.constData(), &st) != 0 && errno == ENOENT &&
            ::rename(path.constData(), target.constData()) == 0)
            return;
        // Without the lock (`stagedOnly`), another run may have removed it first.
        if (faultedForTesting(WriteStep::Cleanup, -1, ::unlink(path.constData())) != 0 &&
            errno != ENOENT)
            warn(QStringLiteral("cannot remove %1, left by a run that ended early: %2")
                     .arg(shown(QFile::decodeName(path)), qt_error_string(errno)));
    }

    // The old file's permissions once more, now that no other run can
    // change it: a dead run's backup may have been put back since output i
    // was staged, or its owner may have changed them.
    bool keepModeLocked(int i)
    {
        const Output &o = m_out[i];
        struct stat target;
        struct stat temp;
        if (stat(o.target.constData(), &target) != 0 || stat(o.temp.constData(), &temp) != 0 ||
            ((target.st_mode & 07777) == (temp.st_mode & 07777) && target.st_uid == temp.st_uid &&
             target.st_gid == temp.st_gid))
            return true;
        // The staged file has the mode the old file had then, which may
        // give its owner no read permission (0200): it is opened for writing
        // instead, which changes none of its bytes.
        int fd = openFaulted(WriteStep::Reopen, i, o.temp, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
        if (fd < 0 && errno == EACCES)
            fd = ::open(o.temp.constData(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY);
        const bool kept = fd >= 0 && keepPermissions(fd, o.target, target, i);
        const int savedErrno = errno;
        if (fd >= 0)
            ::close(fd);
        errno = savedErrno;
        return kept || failErrno(i, QStringLiteral("cannot keep the old file's permissions"));
    }

    // Hard links to the old targets, made before the first rename so that
    // nothing slow comes between the renames.
    bool keepOldTargets()
    {
        for (int i = 0; i < m_files.size(); ++i) {
            Output &o = m_out[i];
            // Checked again now that no run of ours can change it: something
            // else may have taken the name while this run waited for the lock.
            struct stat now;
            if (lstat(o.target.constData(), &now) == 0 && !S_ISREG(now.st_mode))
                return fail(
                    i, QStringLiteral("it is %1, not a regular file").arg(kindOf(now.st_mode)));
            if (!keepModeLocked(i))
                return false;
            auto link = [&](const QByteArray &name) {
                return !injected(WriteStep::Backup, i) && !injected(WriteStep::LinkError, i) &&
                       ::link(o.target.constData(), name.constData()) == 0;
            };
            if (claimName(o.target, "old", link, &o.backup) == Claim::Taken) {
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
            if (claimName(o.target, "old", isUnused, &o.backup) != Claim::Taken)
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
            if (i > 0)
                pauseForTesting();
            if (o.moveAside) {
                if (renameFaulted(WriteStep::MoveAside, i, o.target, o.backup) != 0)
                    return failErrno(i, QStringLiteral("cannot move the old file aside"));
                o.state = State::MovedAside;
            }
            if (renameFaulted(WriteStep::Rename, i, o.temp, o.target) != 0) {
                return failErrno(i, QStringLiteral("cannot put the new file in place"));
            }
            o.temp.clear();
            o.state = State::Placed;
        }
        return true;
    }

    bool failRemove(int k)
    {
        if (m_error) {
            *m_error = QStringLiteral("Cannot remove %1: %2")
                           .arg(shown(m_remove[k]), qt_error_string(errno));
        }
        return false;
    }

    // Each file to remove gets its name aside before anything moves, so
    // that the journal lists it.
    bool claimRemovals()
    {
        for (int k = 0; k < m_remove.size(); ++k) {
            const QByteArray target = QFile::encodeName(m_remove[k]);
            QByteArray aside;
            if (claimName(target, "old", isUnused, &aside) != Claim::Taken)
                return failRemove(k);
            m_aside.append(aside);
        }
        return true;
    }

    // The set's renames, listed and synced before the first of them, so
    // that the next run under the lock can undo them should this one die
    // halfway. A single rename needs none.
    bool writeJournal()
    {
        const int last = m_files.size() - 1;
        if (m_files.size() + m_remove.size() < 2)
            return true;
        const QByteArray path = journalPath();
        char buffer[PATH_MAX];
        const QByteArray from = realpath(folderOf(path).constData(), buffer) ? buffer : "";
        const auto field = [&](const QByteArray &name) {
            return journalName(name, from).toPercentEncoding();
        };
        QByteArray text = QByteArray(JournalHeader) + '\n';
        for (int i = 0; i < m_files.size(); ++i) {
            const Output &o = m_out[i];
            struct stat st;
            if (stat(o.temp.constData(), &st) != 0)
                return failErrno(i, QStringLiteral("the temporary file is gone"));
            text += "put " + field(o.target) + ' ' +
                    (o.existed ? field(o.backup) : QByteArray("-")) + ' ' + field(o.temp) + ' ' +
                    QByteArray::number(quint64(st.st_ino)) + ' ' +
                    QByteArray::number(qint64(st.st_size)) + ' ' +
                    QByteArray::number(quint64(XXH3_64bits(m_files[i].data.constData(),
                                                           size_t(m_files[i].data.size()))),
                                       16)
                        .rightJustified(16, '0') +
                    '\n';
        }
        for (int k = 0; k < m_remove.size(); ++k)
            text +=
                "remove " + field(QFile::encodeName(m_remove[k])) + ' ' + field(m_aside[k]) + '\n';
        // Whatever the umask: a journal others could rewrite after a kill is
        // refused (readJournal()).
        const int fd =
            ::open(path.constData(),
                   O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY, 0600);
        if (fd >= 0)
            m_journal = path;
        bool ok = fd >= 0 && writeAll(fd, text, JournalFaultIndex) &&
                  faultedForTesting(WriteStep::Sync, JournalFaultIndex, fsync(fd)) == 0;
        const int savedErrno = errno;
        if (fd >= 0 && faultedForTesting(WriteStep::Close, JournalFaultIndex, ::close(fd)) != 0 &&
            ok)
            ok = false;
        else
            errno = savedErrno;
        if (ok && syncFolder(folderOf(path), JournalFaultIndex))
            return true;
        return failErrno(
            last,
            QStringLiteral("cannot write the journal %1").arg(shown(QFile::decodeName(path))));
    }

    // Removes this run's journal, and makes that last.
    bool endJournal()
    {
        if (m_journal.isEmpty())
            return true;
        if (unlinkFaulted(WriteStep::Cleanup, JournalFaultIndex, m_journal) != 0 && errno != ENOENT)
            return false;
        const QByteArray folder = folderOf(m_journal);
        m_journal.clear();
        return syncFolder(folder, JournalEndFaultIndex);
    }

    // Each file to remove is renamed aside, so that a rollback can bring it
    // back; the names aside go with the backups.
    bool removeFiles()
    {
        for (int k = 0; k < m_remove.size(); ++k) {
            pauseForTesting();
            const QByteArray target = QFile::encodeName(m_remove[k]);
            if (renameFaulted(WriteStep::MoveAside, -1, target, m_aside[k]) == 0)
                m_removed.append({target, m_aside[k]});
            else if (errno != ENOENT)
                return failRemove(k);
        }
        return true;
    }

    bool syncFolders()
    {
        for (const QPair<QByteArray, QByteArray> &removed : std::as_const(m_removed)) {
            if (!syncFolder(folderOf(removed.first), int(m_files.size()) - 1))
                return failErrno(m_files.size() - 1, QStringLiteral("syncing the folder failed"));
        }
        QSet<QByteArray> synced;
        for (int i = 0; i < m_files.size(); ++i) {
            const QByteArray folder = folderOf(m_out[i].target);
            if (synced.contains(folder))
                continue;
            if (!syncFolder(folder, i))
                return failErrno(i, QStringLiteral("syncing the folder failed"));
            synced.insert(folder);
        }
        return true;
    }

    // Whether every old file is back.
    bool rollback()
    {
        QStringList unrestored;
        QSet<QByteArray> touched;
        // An old file that cannot be put back is named with the name it is
        // kept under, so that nothing is lost without a word.
        const auto keptAs = [](const QByteArray &path, const QByteArray &aside) {
            return QStringLiteral("%1 (kept as %2)")
                .arg(shown(QFile::decodeName(path)), shown(QFile::decodeName(aside)));
        };
        for (const QPair<QByteArray, QByteArray> &removed : std::as_const(m_removed)) {
            touched.insert(folderOf(removed.first));
            if (renameFaulted(WriteStep::Restore, -1, removed.second, removed.first) != 0)
                unrestored << QStringLiteral("%1: %2").arg(keptAs(removed.first, removed.second),
                                                           qt_error_string(errno));
        }
        m_removed.clear();
        for (int i = m_files.size() - 1; i >= 0; --i) {
            Output &o = m_out[i];
            if (o.state == State::Staged)
                continue;
            if (!touched.isEmpty())
                pauseForTesting();
            touched.insert(folderOf(o.target));
            const bool restored =
                (o.existed ? renameFaulted(WriteStep::Restore, i, o.backup, o.target)
                           : unlinkFaulted(WriteStep::Restore, i, o.target)) == 0;
            if (restored) {
                o.backup.clear();
            } else {
                unrestored << QStringLiteral("%1: %2").arg(o.existed ? keptAs(o.target, o.backup)
                                                                     : shown(m_files[i].path),
                                                           qt_error_string(errno));
            }
        }
        for (const QByteArray &folder : touched)
            syncFolder(folder, -2);
        if (m_error && !unrestored.isEmpty()) {
            *m_error += QStringLiteral(" (could not restore %1)")
                            .arg(unrestored.join(QStringLiteral("; ")));
        }
        return unrestored.isEmpty();
    }

    // After success the backups go; after a failure the temporary files and
    // the hard links of targets that were never replaced. What cannot be
    // removed is said, not hidden.
    void removeLeftovers(bool succeeded)
    {
        const auto remove = [this](const QByteArray &path) {
            if (faultedForTesting(WriteStep::Cleanup, -1, ::unlink(path.constData())) != 0)
                warn(QStringLiteral("cannot remove the temporary file %1: %2")
                         .arg(shown(QFile::decodeName(path)), qt_error_string(errno)));
        };
        for (const QPair<QByteArray, QByteArray> &removed : std::as_const(m_removed))
            remove(removed.second);
        for (Output &o : m_out) {
            if (!o.temp.isEmpty())
                remove(o.temp);
            if (!o.backup.isEmpty() && (succeeded || (o.state == State::Staged && !o.moveAside)))
                remove(o.backup);
        }
    }

    const QVector<FileContent> &m_files;
    const WriteOptions &m_options;
    QString *m_error;
    QVector<Output> m_out;
    QStringList m_remove;        // the files to remove, known once the lock is held
    QVector<QByteArray> m_aside; // each file to remove's name aside
    QVector<QPair<QByteArray, QByteArray>> m_removed; // the file, and its name aside
    QByteArray m_journal;                             // this run's, while it is there
    int m_failedErrno = 0;                            // the reason of the last failErrno()
    const QByteArray m_ownLetters = randomLetters();  // the set's staged names end in them
    std::optional<OutputLock> m_lock;
    std::optional<HeldSignals> m_held; // from the lock file made to the end
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

bool isKeptFromReplacing(const QString &path)
{
    const QByteArray name = QFile::encodeName(path);
    struct stat st;
    return stat(name.constData(), &st) == 0 && keptFromReplacing(name, st.st_uid, 0);
}

bool isUsableOutputPath(const QString &path, QString *reason)
{
    QByteArray target;
    mode_t mode = 0;
    QString why;
    const bool usable = inspect(path, &target, &mode, &why, -1);
    if (reason)
        *reason = why;
    return usable;
}

QString outputIdentity(const QString &path)
{
    return QFile::decodeName(identityOf(QFile::encodeName(path)));
}

bool isSameFile(const QString &a, const QString &b)
{
    if (outputIdentity(a) == outputIdentity(b))
        return true;
    QByteArray first;
    QByteArray second;
    struct stat one;
    struct stat other;
    if (!followLinks(QFile::encodeName(a), &first) || !followLinks(QFile::encodeName(b), &second) ||
        stat(first.constData(), &one) != 0 || stat(second.constData(), &other) != 0 ||
        one.st_dev != other.st_dev)
        return false;
    if (one.st_ino == other.st_ino)
        return one.st_nlink == 1;
    // FUSE file systems may number each spelling of a name apart; such a
    // pair is alike but for that number.
    return one.st_size == other.st_size && one.st_mtim.tv_sec == other.st_mtim.tv_sec &&
           one.st_mtim.tv_nsec == other.st_mtim.tv_nsec && isOneName(a, b);
}

bool isOneName(const QString &a, const QString &b)
{
    QByteArray first;
    if (!followLinks(QFile::encodeName(a), &first))
        return false;
    auto create = [](const QByteArray &name) {
        const int fd = ::open(name.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        return fd >= 0 && ::close(fd) == 0;
    };
    QByteArray probe;
    if (claimName(first, "new", create, &probe) != Claim::Taken)
        return false;
    QByteArray second;
    struct stat st;
    const bool same = probe.startsWith(first) && followLinks(QFile::encodeName(b), &second) &&
                      lstat((second + probe.mid(first.size())).constData(), &st) == 0;
    ::unlink(probe.constData());
    return same;
}

QString pathWithSuffix(const QString &path, const QString &suffix)
{
    // Not QFile::decodeName(), which drops a leading byte-order mark: that
    // would name another file ("\uFEFFs.png" the manifest of "s.png").
    return Inputs::decodeFileName(withSuffix(QFile::encodeName(path), QFile::encodeName(suffix)));
}

bool hasInterruptedWrite(const QString &primary)
{
    QByteArray target;
    if (!followLinks(QFile::encodeName(primary), &target))
        target = QFile::encodeName(primary);
    struct stat st;
    return lstat(journalPathOf(target).constData(), &st) == 0;
}

bool isWritersOwnName(const QString &path)
{
    return isOwnName(identityOf(QFile::encodeName(path)));
}

QString lockFilePathFor(const QString &primary)
{
    QByteArray target;
    if (!followLinks(QFile::encodeName(primary), &target))
        target = QFile::encodeName(primary);
    return Inputs::decodeFileName(lockPathOf(target));
}

void setWriteFaultForTesting(WriteStep step, int index)
{
    if (step == WriteStep::None)
        injectedFaults.clear();
    else
        injectedFaults.append({step, index});
}

long faultedForTesting(WriteStep step, int index, long result)
{
    const int savedErrno = errno;
    if (injected(step, index))
        return -1;
    errno = savedErrno;
    return result;
}

void setWritePauseForTesting(int milliseconds)
{
    writePauseMs = milliseconds;
}

void pauseForTesting()
{
    if (writePauseMs > 0)
        QThread::msleep(quint64(writePauseMs));
}
