#include "cli/console.h"

#include "cli/packcommand.h"
#include "core/inputs.h"

#include <QTextStream>

namespace PackCommand {

void Console::warn(const QString &message)
{
    // Whatever a message quotes (a name, an argument), it cannot act on
    // the terminal.
    err << programName << ": " << Inputs::escapeControls(context + message) << "\n";
    err.flush();
}

int Console::usage(const QString &message)
{
    err << programName << ": " << Inputs::escapeControls(context + message) << "\n"
        << "Try '" << programName << " --help' for more information.\n";
    err.flush();
    return ExitUsage;
}

int Console::failure(const QString &message)
{
    warn(message);
    return ExitFailure;
}

QString Console::shown(const QString &path)
{
    return Inputs::shownPath(path);
}

} // namespace PackCommand
