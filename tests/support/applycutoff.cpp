// Applies what is staged in an installation and ends abruptly, without any
// clean-up, after a given number of renames: an apply cut off by a crash or
// a power cut, for the tests of what the next start of the updater does.
//
//     applycutoff RENAMES INSTALLATION
#include "stagedupdate.h"

#include <QCoreApplication>

#include <cstdio>
#include <cstdlib>

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    bool ok = false;
    const int renames = args.value(1).toInt(&ok);
    if (args.size() != 3 || !ok || renames < 1) {
        std::fprintf(stderr, "usage: applycutoff RENAMES INSTALLATION\n");
        return 2;
    }
    StagedUpdate update(UpdateSettings::builtIn(args.at(2)));
    update.setRenameHook([renames](int done) {
        if (done == renames)
            std::_Exit(9);
    });
    if (!update.apply())
        std::fprintf(stderr, "applycutoff: %s\n", qPrintable(update.errorString()));
    return 1;
}
