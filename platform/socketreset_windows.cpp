#include "socketreset.h"

#include <winsock2.h>

void resetOnClose(qintptr descriptor)
{
    if (descriptor < 0 || SOCKET(descriptor) == INVALID_SOCKET)
        return;
    const linger abortive { 1, 0 };
    // A socket this fails on is closed anyway, only less abruptly.
    setsockopt(SOCKET(descriptor), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char *>(&abortive),
               int(sizeof abortive));
}
