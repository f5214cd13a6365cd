// Applies what is staged in an installation and ends abruptly, without any
// clean-up, once a given number of its steps (the renames and removals of
// the apply and its rollback, then the commit) are done: an apply cut off
// by a crash or a power cut, for the tests of what the next start of the
// updater does. With FAILING, that step fails instead, so that the cut
// falls into the rollback.
//
//     applycutoff STEPS INSTALLATION [FAILING]
#include "stagedupdate.h"
#include "updatesettings.h"

#include <QCoreApplication>

#include <cstdio>
#include <cstdlib>

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    bool ok = false;
    const int steps = args.value(1).toInt(&ok);
    bool failingOk = args.size() == 3;
    const int failing = failingOk ? 0 : args.value(3).toInt(&failingOk);
    if (args.size() < 3 || args.size() > 4 || !ok || !failingOk || steps < 1) {
        std::fprintf(stderr, "usage: applycutoff STEPS INSTALLATION [FAILING]\n");
        return 2;
    }
    StagedUpdate update(UpdateSettings::builtIn(args.at(2)).layout());
    update.setRenameHook([steps, failing](int step) {
        if (step == steps + 1)
            std::_Exit(9);
        return step != failing;
    });
    if (!update.apply())
        std::fprintf(stderr, "applycutoff: %s\n", qPrintable(update.errorString()));
    return 1;
}
