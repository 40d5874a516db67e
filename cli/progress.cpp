#include "cli/progress.h"

#include <QByteArray>

#include <chrono>
#include <sys/ioctl.h>
#include <unistd.h>

namespace PackCommand {

namespace {

void writeErr(const QByteArray &text)
{
    const char *p = text.constData();
    ssize_t left = text.size();
    while (left > 0) {
        const ssize_t n = ::write(STDERR_FILENO, p, size_t(left));
        if (n <= 0)
            return;
        p += n;
        left -= n;
    }
}

} // namespace

TerminalProgress::TerminalProgress(int delayMs)
{
    m_active = isatty(STDERR_FILENO) == 1;
    if (!m_active)
        return;
    bool ok = false;
    const int overridden = qEnvironmentVariableIntValue("KORVANE_PROGRESS_DELAY_MS", &ok);
    m_thread = std::thread(&TerminalProgress::run, this, ok ? overridden : delayMs);
}

TerminalProgress::~TerminalProgress()
{
    if (!m_thread.joinable())
        return;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
    }
    m_wake.notify_all();
    m_thread.join();
    clear();
}

void TerminalProgress::setStage(int sheet, int sheets, bool encoding)
{
    m_sheet = sheet;
    m_sheets = sheets;
    m_encoding = encoding;
}

void TerminalProgress::clear()
{
    clearFor([] {});
}

void TerminalProgress::clearFor(const std::function<void()> &print)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_shown)
        writeErr("\r\033[K");
    m_shown = false;
    print();
}

void TerminalProgress::draw()
{
    QByteArray text = "\r\033[K";
    if (m_sheets > 1)
        text += "sheet " + QByteArray::number(m_sheet + 1) + " of " +
                QByteArray::number(int(m_sheets)) + ": ";
    if (m_encoding)
        text += "encoding";
    else if (m_progress.total == 0)
        text += "reading images";
    else
        text += "decoded " + QByteArray::number(m_progress.done.load()) + " of " +
                QByteArray::number(m_progress.total.load()) + " images";
    // A line that wraps cannot be taken back by "\r\033[K", which clears only
    // its last row: it is cut to the terminal's width as it is now, one column
    // short so that the cursor never waits at the right edge. The text is ASCII.
    struct winsize size = {};
    const int prefix = 4; // "\r\033[K"
    if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0 &&
        text.size() - prefix > int(size.ws_col) - 1)
        text.truncate(prefix + int(size.ws_col) - 1);
    if (text != m_lastLine || !m_shown)
        writeErr(text);
    m_lastLine = text;
    m_shown = true;
}

void TerminalProgress::run(int delayMs)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    if (delayMs > 0 &&
        m_wake.wait_for(lock, std::chrono::milliseconds(delayMs), [this] { return m_stop; }))
        return;
    do {
        draw();
    } while (!m_wake.wait_for(lock, std::chrono::milliseconds(100), [this] { return m_stop; }));
}

} // namespace PackCommand
