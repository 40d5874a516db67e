#pragma once

// A one-line progress display on a terminal for runs that take a while:
// images decoded of the total, then encoding. Nothing when standard error is
// a file or a pipe, so logs and build tools see only the messages.

#include "core/image/imagedecode.h"

#include <QByteArray>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace PackCommand {

class TerminalProgress
{
public:
    // Shows the line once `delayMs` have passed, if standard error is a
    // terminal; KORVANE_PROGRESS_DELAY_MS overrides the delay.
    explicit TerminalProgress(int delayMs = 1000);
    // Clears the line if it was shown.
    ~TerminalProgress();
    TerminalProgress(const TerminalProgress &) = delete;
    TerminalProgress &operator=(const TerminalProgress &) = delete;

    // What the pipeline counts decoded images in; null when nothing is shown.
    Compose::Progress *progress() { return m_active ? &m_progress : nullptr; }
    // Sheet `sheet` (from 0) of `sheets` is being decoded, or encoded.
    void setStage(int sheet, int sheets, bool encoding);
    // Clears the line now, so that a message can be printed.
    void clear();
    // Clears the line and calls `print` before the line can be drawn again,
    // so that the message `print` writes starts a line of its own.
    void clearFor(const std::function<void()> &print);

private:
    void run(int delayMs);
    void draw();

    bool m_active = false;
    Compose::Progress m_progress;
    std::atomic<int> m_sheet{0};
    std::atomic<int> m_sheets{1};
    std::atomic<bool> m_encoding{false};
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_stop = false;
    bool m_shown = false;
    QByteArray m_lastLine;
    std::thread m_thread;
};

} // namespace PackCommand
