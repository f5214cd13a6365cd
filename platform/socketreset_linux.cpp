#include "socketreset.h"

#include <sys/socket.h>

void resetOnClose(qintptr descriptor)
{
    if (descriptor < 0)
        return;
    const linger abortive { 1, 0 };
    // A socket this fails on is closed anyway, only less abruptly.
    setsockopt(int(descriptor), SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
}
