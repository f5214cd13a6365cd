#ifndef SOCKETRESET_H
#define SOCKETRESET_H

#include <QtGlobal>

// Makes the next close of a connected socket a reset rather than an orderly
// end. A data connection the client cuts off must end that way: had the
// client read everything the kernel holds, a plain close would send a FIN,
// the server's next write would fail with a broken pipe, and some servers
// (ProFTPD over TLS) drop the whole session for it. A reset they take as the
// client leaving the transfer. Each platform has one source file behind it.
void resetOnClose(qintptr descriptor);

#endif // SOCKETRESET_H
