#ifndef PROCESSTREE_H
#define PROCESSTREE_H

#include <QtGlobal>

// Ends, by force, every process that descends from pid, though not pid
// itself: a shell killed at its bound must leave no command behind that
// acts later (a stop command that outlived it would stop the product the
// update then starts). Each platform has one source file behind it.
void endDescendants(qint64 pid);

#endif // PROCESSTREE_H
