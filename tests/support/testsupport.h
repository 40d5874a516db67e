#pragma once

#include <QByteArray>
#include <QFile>
#include <QImage>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>

#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

// A private application folder for one test: config/config.xml inside a
// temporary folder, with the program's settings path pointed at it for the
// fixture's lifetime.
class SettingsFixture
{
public:
    explicit SettingsFixture(const QByteArray &configXml = defaultConfig());
    ~SettingsFixture();

    static QByteArray config(const QString &selectPath, const QString &savePath,
                             const QString &margin, const QString &orientation);
    static QByteArray defaultConfig()
    {
        return config({}, {}, QStringLiteral("2"), QStringLiteral("0"));
    }

    bool isValid() const { return m_dir.isValid(); }
    QString dir() const { return m_dir.path(); }
    QString configPath() const;
    void writeConfig(const QByteArray &content) const;
    QByteArray readConfig() const;
    QString filePath(const QString &name) const { return m_dir.filePath(name); }

private:
    QTemporaryDir m_dir;
};

// What a label or tooltip shows of `text`: read as markup where the toolkit
// takes it for markup (Qt::AutoText: a tag on its first line).
QString shownText(const QString &text, Qt::TextFormat format = Qt::AutoText);

// An image with a different colour per pixel, so that misplaced or shifted
// pixels show up in comparisons.
QImage patternImage(int width, int height, int seed);

// The file's bytes, or "<unreadable>", so that a missing file never compares
// equal to an empty one.
QByteArray readFileBytes(const QString &path);

// Every name in `dir` (hidden files, links, FIFOs too), sorted, so that a
// stray temporary or backup file shows up in a comparison.
QStringList entriesIn(const QString &dir);

// Replaces the file's content; false when it cannot be written completely.
bool writeFileBytes(const QString &path, const QByteArray &data);

// Saves `image` as PNG at `path`; fails the calling test if it cannot.
bool savePng(const QImage &image, const QString &path);

// Makes writes beyond `limit` bytes fail (EFBIG) for as long as it lives.
class FileSizeLimit
{
public:
    explicit FileSizeLimit(rlim_t limit)
    {
        getrlimit(RLIMIT_FSIZE, &m_saved);
        m_savedHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit lowered = m_saved;
        lowered.rlim_cur = limit;
        m_active = setrlimit(RLIMIT_FSIZE, &lowered) == 0;
    }
    ~FileSizeLimit()
    {
        setrlimit(RLIMIT_FSIZE, &m_saved);
        std::signal(SIGXFSZ, m_savedHandler);
    }
    bool isActive() const { return m_active; }

private:
    rlimit m_saved{};
    void (*m_savedHandler)(int) = nullptr;
    bool m_active = false;
};

// Leaves the process only `headroom` bytes of address space more than it
// uses now, for as long as it lives: allocations beyond that fail.
class AddressSpaceLimit
{
public:
    explicit AddressSpaceLimit(rlim_t headroom)
    {
        FILE *statm = std::fopen("/proc/self/statm", "r");
        unsigned long pages = 0;
        const bool read = statm && std::fscanf(statm, "%lu", &pages) == 1;
        if (statm)
            std::fclose(statm);
        rlimit lowered{};
        m_active = read && getrlimit(RLIMIT_AS, &m_saved) == 0;
        lowered = m_saved;
        lowered.rlim_cur = rlim_t(pages) * rlim_t(getpagesize()) + headroom;
        m_active = m_active && setrlimit(RLIMIT_AS, &lowered) == 0;
    }
    ~AddressSpaceLimit()
    {
        if (m_active)
            setrlimit(RLIMIT_AS, &m_saved);
    }
    bool isActive() const { return m_active; }

private:
    rlimit m_saved{};
    bool m_active = false;
};

// `folder` shown again at `at`, an empty folder, while this lives: one file
// under two names that no path tells apart, as on a file system that folds
// case. Mounting needs root; a test without it skips.
struct BindMount
{
    BindMount(const QString &folder, const QString &at)
        : target(QFile::encodeName(at)),
          mounted(::mount(QFile::encodeName(folder).constData(), target.constData(), nullptr,
                          MS_BIND, nullptr) == 0)
    {
    }
    ~BindMount()
    {
        if (mounted)
            ::umount2(target.constData(), MNT_DETACH);
    }
    const QByteArray target;
    const bool mounted;
};

// A FAT file system through FUSE at `at`, an empty folder, while this lives:
// a name in another case is the same file, and each spelling gets a file
// number of its own. Needs mkfs.vfat, fusefat and /dev/fuse.
struct FatMount
{
    FatMount(const QString &image, const QString &at) : target(at)
    {
        const auto run = [](const QString &program, const QStringList &arguments) {
            QProcess process;
            process.setStandardOutputFile(QProcess::nullDevice());
            process.setStandardErrorFile(QProcess::nullDevice());
            process.start(program, arguments);
            return process.waitForFinished() && process.exitStatus() == QProcess::NormalExit &&
                   process.exitCode() == 0;
        };
        // fusefat exits with 0 also where it could not mount (no access to
        // /dev/fuse, as for a user other than root): only a folder that now
        // lies on another file system than its parent is mounted.
        const auto device = [](const QString &path) {
            struct stat st;
            return stat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_dev : dev_t(0);
        };
        QFile file(image);
        mounted = file.open(QIODevice::WriteOnly) && file.resize(8 << 20) &&
                  run(QStringLiteral("mkfs.vfat"), {image}) &&
                  run(QStringLiteral("fusefat"),
                      {QStringLiteral("-o"), QStringLiteral("rw+"), image, at}) &&
                  device(at) != device(at + QStringLiteral("/.."));
    }
    ~FatMount()
    {
        if (mounted)
            QProcess::execute(QStringLiteral("fusermount"), {QStringLiteral("-u"), target});
    }
    const QString target;
    bool mounted = false;
};

// Holds the kernel's lock on `path`, as another run of the writer would.
struct HeldLock
{
    explicit HeldLock(const QString &path)
        : fd(::open(path.toLocal8Bit().constData(), O_RDONLY | O_CREAT | O_CLOEXEC, 0644))
    {
    }
    ~HeldLock() { ::close(fd); }
    bool isHeld() const { return fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0; }
    const int fd;
};
