#!/usr/bin/python3
"""A real FTP server on 127.0.0.1 for the updater's tests, demo and benchmark.

It serves one folder to one account and can misbehave on purpose: send slowly,
hide file sizes, drop the whole session in the middle of a transfer, stall
in the middle of one with every connection left open, or hold it there until
the test sends SIGUSR1. It can also act like odd servers seen in the wild: no
HELP, a HELP that lists nothing, a transfer cut short but reported complete,
more data than SIZE announced, a drip of single bytes, or a passive reply that
names another address.
When it listens it prints "PORT <n>" on a line of its own and flushes. After
that it prints one "EVENT <name>" line for each of these moments, so that a
test can wait for them: login-failed, sent, incomplete, disconnect, held.
"""

import argparse
import logging
import os
import signal
import sys

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler, ThrottledDTPHandler, DTPHandler
from pyftpdlib.servers import FTPServer


def parse_args():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--root", required=True, help="folder served to the account")
    parser.add_argument("--port", type=int, default=0, help="0 picks a free port")
    parser.add_argument("--user", default="velmorapro")
    parser.add_argument("--password", default="qz482")
    parser.add_argument("--throttle", type=int, default=0,
                        help="bytes per second sent to clients (0: unlimited)")
    parser.add_argument("--no-size", action="store_true",
                        help="refuse SIZE, so that clients cannot learn a file's size")
    parser.add_argument("--drop-after", type=int, default=-1,
                        help="close data and control connections after sending this many bytes")
    parser.add_argument("--drop-data-after", type=int, default=-1,
                        help="close the data connection after sending this many bytes and "
                             "answer 426 on the control connection, which stays open")
    parser.add_argument("--stall-after", type=int, default=-1,
                        help="stop sending after this many bytes, connections kept open")
    parser.add_argument("--hold-after", type=int, default=-1,
                        help="pause every transfer after this many bytes until SIGUSR1 arrives")
    parser.add_argument("--no-help", action="store_true",
                        help="refuse HELP, as servers that do not implement it do")
    parser.add_argument("--bare-help", action="store_true",
                        help="answer HELP with a bare 214 that lists no command")
    parser.add_argument("--cut-after", type=int, default=-1,
                        help="close the data connection after this many bytes and answer "
                             "226, as if the file were complete")
    parser.add_argument("--overrun", action="store_true",
                        help="after a file's last byte, go on sending zeros for ever")
    parser.add_argument("--drip", type=float, default=0,
                        help="send one byte per this many seconds")
    parser.add_argument("--passive-address", default="",
                        help="name this address in passive replies instead of our own")
    parser.add_argument("--verbose", action="store_true")
    return parser.parse_args()


def event(name):
    sys.stdout.write("EVENT %s\n" % name)
    sys.stdout.flush()


def sending_at_most(base, limit, on_limit):
    """A data handler that sends at most limit bytes, then calls on_limit
    with itself once and sends nothing more, unless resume() is called: then
    it sends the rest without a limit."""
    class Limited(base):
        sent_so_far = 0
        limited = False
        resumed = False

        def send(self, data):
            if self.limited:
                return 0
            if not self.resumed:
                data = data[:limit - self.sent_so_far]
            sent = super().send(data) if data else 0
            self.sent_so_far += sent
            if not self.resumed and self.sent_so_far >= limit:
                self.limited = True
                on_limit(self)
            return sent

        def resume(self):
            self.limited = False
            self.resumed = True
            if self.connected:
                self.add_channel(events=self.ioloop.WRITE)

    return Limited


def overrunning(base):
    """A data handler that, once a file is sent, goes on sending zeros."""
    class Overrunning(base):
        def push_with_producer(self, producer):
            class Endless:
                def more(self):
                    return producer.more() or bytes(65536)
            super().push_with_producer(Endless() if self.file_obj else producer)

    return Overrunning


def dripping(base, interval):
    """A data handler that sends one byte, then sleeps for interval seconds."""
    class Dripping(base):
        pause = None

        def send(self, data):
            sent = super().send(data[:1])
            if sent:
                self.del_channel()
                self.pause = self.ioloop.call_later(
                    interval, lambda: self.add_channel(events=self.ioloop.WRITE),
                    _errback=self.handle_error)
            return sent

        def close(self):
            if self.pause is not None and not self.pause.cancelled:
                self.pause.cancel()
            super().close()

    return Dripping


# Transfers paused by --hold-after, and whether SIGUSR1 has come. The signal
# only sets the flag and the event loop acts on it; from then on nothing is
# held any more, so a signal sent early is not lost.
held_transfers = []
release_requested = False


def hold(handler):
    # Out of the event loop until resumed, connections kept open.
    handler.del_channel()
    held_transfers.append(handler)
    event("held")


def resume_held_transfers():
    if not release_requested:
        return
    while held_transfers:
        held_transfers.pop().resume()


def make_handler(args):
    class Handler(FTPHandler):
        def on_login_failed(self, username, password):
            event("login-failed")

        def on_file_sent(self, file):
            event("sent")

        def on_incomplete_file_sent(self, file):
            event("incomplete")

        def on_disconnect(self):
            event("disconnect")

    Handler.banner = "test server ready"
    Handler.passive_ports = None
    Handler.permit_foreign_addresses = False

    refused = set()
    if args.no_size:
        refused.add("SIZE")
    if args.no_help:
        refused.add("HELP")
    Handler.proto_cmds = {k: v for k, v in FTPHandler.proto_cmds.items() if k not in refused}
    if args.bare_help:
        Handler.ftp_HELP = lambda self, line="": self.respond("214 Help OK.")
    if args.passive_address:
        Handler.masquerade_address = args.passive_address

    dtp = DTPHandler
    if args.throttle > 0 or args.drop_after >= 0 or args.drop_data_after >= 0 \
            or args.stall_after >= 0 or args.hold_after >= 0 or args.cut_after >= 0 \
            or args.overrun or args.drip > 0:
        # sendfile() would bypass the data handler's send().
        Handler.use_sendfile = False
    if args.throttle > 0:
        class Throttled(ThrottledDTPHandler):
            write_limit = args.throttle
            read_limit = 0
        dtp = Throttled

    if args.drop_after >= 0:
        def vanish(handler):
            control = handler.cmd_channel
            # No "426" reply: the peer just sees both connections vanish.
            handler.close()
            control.close()
        dtp = sending_at_most(dtp, args.drop_after, vanish)

    if args.drop_data_after >= 0:
        def break_transfer(handler):
            handler._resp = ("426 Connection closed; transfer aborted.", logging.debug)
            handler.close()
        dtp = sending_at_most(dtp, args.drop_data_after, break_transfer)

    if args.cut_after >= 0:
        def cut(handler):
            handler.transfer_finished = True
            handler._resp = ("226 Transfer complete.", logging.debug)
            handler.close()
        dtp = sending_at_most(dtp, args.cut_after, cut)

    if args.overrun:
        dtp = overrunning(dtp)

    if args.drip > 0:
        dtp = dripping(dtp, args.drip)

    if args.stall_after >= 0:
        def stall(handler):
            # Out of the event loop for good: nothing more is sent, and
            # nothing is closed until the client gives up.
            handler.del_channel()
        dtp = sending_at_most(dtp, args.stall_after, stall)

    if args.hold_after >= 0:
        dtp = sending_at_most(dtp, args.hold_after, hold)

    Handler.dtp_handler = dtp
    return Handler


def main():
    args = parse_args()
    args.verbose = args.verbose or bool(os.environ.get("FTP_VERBOSE"))
    logging.basicConfig(level=logging.DEBUG if args.verbose else logging.ERROR)
    logging.getLogger("pyftpdlib").setLevel(logging.DEBUG if args.verbose else logging.CRITICAL)

    authorizer = DummyAuthorizer()
    authorizer.add_user(args.user, args.password, os.path.abspath(args.root), perm="elradfmwMT")
    handler = make_handler(args)
    handler.authorizer = authorizer

    server = FTPServer(("127.0.0.1", args.port), handler)
    server.max_cons = 64
    port = server.socket.getsockname()[1]
    sys.stdout.write("PORT %d\n" % port)
    sys.stdout.flush()

    # Tests stop the server with SIGTERM; nothing needs saving.
    signal.signal(signal.SIGTERM, lambda *_: os._exit(0))

    def request_release(*_):
        global release_requested
        release_requested = True

    signal.signal(signal.SIGUSR1, request_release)
    if args.hold_after >= 0:
        server.ioloop.call_every(0.01, resume_held_transfers)
    try:
        server.serve_forever(handle_exit=True)
    finally:
        server.close_all()


if __name__ == "__main__":
    main()
