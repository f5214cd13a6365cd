#!/usr/bin/python3
"""A real FTP server on 127.0.0.1 for the updater's tests, demo and benchmark.

It serves one folder to one account and can misbehave on purpose: send slowly,
hide file sizes, modification times or resuming, drop the whole session in the
middle of a transfer, stall in the middle of one with every connection left
open, or hold it there until the test sends SIGUSR1; the cuts may be limited
to the first transfers, and the served file replaced after the first cut. It
can also act like odd servers seen in the wild: a transfer cut short but
reported complete, more data than SIZE announced, a drip of single bytes, a
passive reply that names another address, a padded line inside a multi-line
reply, and stores that end before the client's data did.
When it listens it prints "PORT <n>" on a line of its own and flushes. After
that it prints one "EVENT <name>" line for each of these moments, so that a
test can wait for them: login-failed, sent, incomplete, disconnect, held, quit,
and data-closed-in-order (a retrieval's data connection the client ended with
a FIN, not a reset, before its ABOR).
With --record, each retrieval adds a line "<REST offset> <bytes sent>" to a
file once it ends; with --record-wire too, a third field "<bytes on the wire>".
"""

import argparse
import logging
import os
import signal
import socket
import struct
import sys

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler, ThrottledDTPHandler, DTPHandler, PassiveDTP
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
    parser.add_argument("--drop-times", type=int, default=-1,
                        help="apply --drop-after, --drop-data-after, --stall-after and "
                             "--cut-after only to the first this many transfers (-1: to all)")
    parser.add_argument("--cut-skip", type=int, default=0,
                        help="leave the first this many transfers uncut")
    parser.add_argument("--replace-after-cut", default="",
                        help="after the first cut, move this file over the one being sent")
    parser.add_argument("--no-rest", action="store_true",
                        help="refuse REST, so that clients cannot resume")
    parser.add_argument("--no-mdtm", action="store_true",
                        help="refuse MDTM, so that clients cannot learn a file's time")
    parser.add_argument("--padded-size", action="store_true",
                        help="answer SIZE in three lines, the middle one padded with a space "
                             "and starting with the code")
    parser.add_argument("--cut-after", type=int, default=-1,
                        help="close the data connection after this many bytes and answer "
                             "226, as if the file were complete")
    parser.add_argument("--overrun", action="store_true",
                        help="after a file's last byte, go on sending zeros for ever")
    parser.add_argument("--drip", type=float, default=0,
                        help="send one byte per this many seconds")
    parser.add_argument("--passive-address", default="",
                        help="name this address in passive replies instead of our own")
    parser.add_argument("--store-reads-only", type=int, default=-1,
                        help="store only this many bytes of an upload, then close the data "
                             "connection and answer 226")
    parser.add_argument("--store-early-226", action="store_true",
                        help="answer STOR with 150 and 226 at once and read nothing")
    parser.add_argument("--store-226-without-150", action="store_true",
                        help="answer STOR with 226 alone and read nothing")
    parser.add_argument("--store-stranger", action="store_true",
                        help="let a stranger reach each passive port first and store what it "
                             "sends; the client's own data connection is closed at once")
    parser.add_argument("--greeting", default="",
                        help="send this line instead of the FTP greeting")
    parser.add_argument("--size-reply", default="",
                        help="answer SIZE with this line, e.g. '213 -5'")
    parser.add_argument("--busy-times", type=int, default=0,
                        help="turn the first this many sessions away with 421")
    parser.add_argument("--read-only", action="store_true",
                        help="refuse every store with 550")
    parser.add_argument("--reply-delay", type=int, default=0,
                        help="send every reply on the control connection this many ms late, "
                             "as over a distant link")
    parser.add_argument("--send-buffer", type=int, default=0,
                        help="the send buffer of data connections, in bytes (0: the system's)")
    parser.add_argument("--tls", default="",
                        help="require explicit TLS, with the certificates in this folder "
                             "(made there if missing, see testcertificates.py)")
    parser.add_argument("--tls-certificate", default="sound",
                        help="which of them the server shows")
    parser.add_argument("--refuse-tls", action="store_true",
                        help="answer AUTH TLS with 534")
    parser.add_argument("--tls-on-connect", action="store_true",
                        help="take a data connection's TLS handshake before its transfer "
                             "command too, as curl starts it")
    parser.add_argument("--record", default="",
                        help="append '<REST offset> <bytes sent>' to this file per retrieval")
    parser.add_argument("--record-wire", action="store_true",
                        help="add to each line of --record the bytes that left on the wire: "
                             "of a retrieval that the client broke off, what was still in "
                             "the send buffer never did, though it counts as sent")
    parser.add_argument("--verbose", action="store_true")
    return parser.parse_args()


def event(name):
    sys.stdout.write("EVENT %s\n" % name)
    sys.stdout.flush()


class CutBudget:
    """How many transfers the cut options still apply to; None: all. The
    first skip transfers are left alone."""

    def __init__(self, times, skip=0):
        self.left = None if times < 0 else times
        self.skip = skip

    def take(self):
        if self.skip > 0:
            self.skip -= 1
            return False
        if self.left is None:
            return True
        if self.left == 0:
            return False
        self.left -= 1
        return True


def sending_at_most(base, limit, on_limit, budget=None):
    """A data handler that sends at most limit bytes, then calls on_limit
    with itself once and sends nothing more, unless resume() is called: then
    it sends the rest without a limit. With a budget, only the transfers the
    budget grants are limited."""
    class Limited(base):
        sent_so_far = 0
        limited = False
        resumed = False

        def send(self, data):
            if self.limited:
                return 0
            if budget is not None and not hasattr(self, "cut_granted"):
                # One decision per transfer, however many limits it has.
                self.cut_granted = budget.take()
            if budget is not None and not self.cut_granted:
                return super().send(data)
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


def wire_bytes(sock):
    """The data bytes TCP has sent on the connection, retransmissions
    included (Linux's tcpi_bytes_sent); -1 where the system does not say."""
    info = sock.getsockopt(socket.IPPROTO_TCP, socket.TCP_INFO, 256)
    return struct.unpack_from("<Q", info, 200)[0] if len(info) >= 208 else -1


def recording(base, path, wire=False):
    """A data handler that, once a retrieval ends, appends its REST offset
    and the bytes it sent to the file at path, and with wire what of them
    TCP sent."""
    class Recording(base):
        recorded = False

        def close(self):
            # Before the close, which sends the final reply to the client.
            if not self.recorded and not self.receive and self.file_obj is not None:
                self.recorded = True
                line = "%d %d" % (self.cmd_channel.rest_offset, self.tot_bytes_sent)
                if wire:
                    # A whole retrieval's bytes all leave after the close;
                    # of one the client broke off, what the send buffer
                    # still held never does.
                    line += " %d" % (self.tot_bytes_sent if self.transfer_finished
                                     else wire_bytes(self.socket))
                with open(path, "a") as record:
                    record.write(line + "\n")
            super().close()

    return Recording


def small_send_buffer(base, size):
    """A data handler whose socket buffers at most size bytes: what it
    counts as sent has then nearly all crossed the wire."""
    class Small(base):
        def __init__(self, sock, cmd_channel):
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, size)
            super().__init__(sock, cmd_channel)

    return Small


def reading_at_most(base, limit):
    """A data handler that stores only limit bytes of an upload, then closes
    the data connection and reports the file complete."""
    class Short(base):
        def handle_read(self):
            super().handle_read()
            if self.receive and not self._closed and self.tot_bytes_received >= limit:
                self.transfer_finished = True
                self._resp = ("226 Transfer complete.", logging.debug)
                self.close()

        handle_read_event = handle_read  # the base class binds its own

    return Short


def deaf(base):
    """A data handler that reads nothing once its session has answered a
    store without taking the data."""
    class Deaf(base):
        def readable(self):
            if self.cmd_channel.ignore_data:
                self.del_channel()
                return False
            return super().readable()

    return Deaf


class StrangerFirst(PassiveDTP):
    """A passive listener that a stranger reaches first: the server takes the
    stranger's connection as the data connection, and the client's own,
    coming later, is accepted and closed."""
    timeout = 0
    stranger_in = False

    def listen(self, num):
        super().listen(num)
        # Before the passive reply goes out, so that the stranger is first.
        with socket.create_connection(self.socket.getsockname()[:2]) as stranger:
            stranger.sendall(b"evil")

    def handle_accepted(self, sock, addr):
        if self.stranger_in:
            sock.close()
            self.close()
            return
        self.stranger_in = True
        handler = self.cmd_channel.dtp_handler(sock, self.cmd_channel)
        if not handler.connected:
            return
        # Not read before the store asks for it; the listener stays open for
        # the client's connection.
        handler.del_channel()
        self.cmd_channel._dtp_acceptor = None
        self.cmd_channel.data_channel = handler
        self.cmd_channel._on_dtp_connection()
        store_stranger_data(self.cmd_channel)


def store_stranger_data(control):
    """Stores what the stranger sent as soon as a store takes it, before the
    client can end the session: it is all there already."""
    for _ in range(100):
        channel = control.data_channel
        if channel is None or not channel.receive or channel._closed:
            return
        channel.handle_read()


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


def control_handler(args):
    """The plain handler, or the one that requires TLS on both channels."""
    if not args.tls:
        return FTPHandler
    import testcertificates
    from pyftpdlib.handlers import TLS_FTPHandler, TLS_DTPHandler
    testcertificates.make(args.tls)

    class EarlySecureData(TLS_DTPHandler):
        def readable(self):
            # Before the transfer command pyftpdlib takes a readable data
            # connection for a closed one: only the handshake may read.
            if self._ssl_requested and not self._initialized and not self.receive:
                return self._ssl_accepting
            return super().readable()

    class Secure(TLS_FTPHandler):
        certfile = os.path.join(args.tls, args.tls_certificate + ".pem")
        keyfile = os.path.join(args.tls, args.tls_certificate + ".key")
        tls_control_required = True
        tls_data_required = True
        dtp_handler = EarlySecureData if args.tls_on_connect else TLS_DTPHandler

        def ftp_AUTH(self, line):
            if args.refuse_tls:
                self.respond("534 Request denied for policy reasons.")
                return
            super().ftp_AUTH(line)

        def pre_process_command(self, line, cmd, arg):
            # The account must never cross the wire in clear.
            if cmd in ("USER", "PASS") and not self._ssl_established:
                event("account-in-clear")
            super().pre_process_command(line, cmd, arg)

    return Secure


# Linux's TCP states in which the peer's FIN has arrived and no reset since.
FIN_RECEIVED_STATES = {8, 9, 11}  # CLOSE_WAIT, LAST_ACK, CLOSING


def closed_in_order(dtp):
    """Whether the client ended a retrieval's data connection with a FIN: the
    server's next write then fails on a broken pipe, and some servers (ProFTPD
    over TLS) drop the whole session for it. Asked of the connection's state,
    not of a read: a reset that lands during a write is consumed by that
    write, and a read after it looks like an orderly end."""
    if dtp is None or dtp.receive or dtp.socket is None:
        return False
    info = dtp.socket.getsockopt(socket.IPPROTO_TCP, socket.TCP_INFO, 8)
    return info[0] in FIN_RECEIVED_STATES


def make_handler(args):
    base = control_handler(args)

    class Handler(base):
        rest_offset = 0
        ignore_data = False

        def on_login_failed(self, username, password):
            event("login-failed")

        def on_file_sent(self, file):
            event("sent")

        def on_incomplete_file_sent(self, file):
            event("incomplete")

        def on_disconnect(self):
            event("disconnect")

        def ftp_QUIT(self, line):
            event("quit")
            super().ftp_QUIT(line)

        def ftp_ABOR(self, line):
            if closed_in_order(self.data_channel):
                event("data-closed-in-order")
            return super().ftp_ABOR(line)

        def ftp_RETR(self, file):
            self.rest_offset = self._restart_position
            return super().ftp_RETR(file)

    Handler.banner = "test server ready"
    busy = CutBudget(args.busy_times)

    def greet(self):
        if args.busy_times > 0 and busy.left:
            busy.take()
            self.push("421 Too many connections, try again later.\r\n")
            self.close_when_done()
            return
        if args.greeting:
            self.push(args.greeting + "\r\n")
            return
        base.handle(self)
    Handler.handle = greet

    if args.size_reply:
        Handler.ftp_SIZE = lambda self, path: self.respond(args.size_reply)

    if args.reply_delay > 0:
        def late_respond(self, resp, logfun=logging.debug):
            # Timers keep their order, so the replies do too.
            def send():
                if not self._closed:
                    base.respond(self, resp, logfun)
            self.ioloop.call_later(args.reply_delay / 1000.0, send)
        Handler.respond = late_respond
    Handler.passive_ports = None
    Handler.permit_foreign_addresses = False

    refused = set()
    if args.no_size:
        refused.add("SIZE")
    if args.no_rest:
        refused.add("REST")
    if args.no_mdtm:
        refused.add("MDTM")
    Handler.proto_cmds = {k: v for k, v in base.proto_cmds.items() if k not in refused}
    if args.passive_address:
        Handler.masquerade_address = args.passive_address

    if args.padded_size:
        def padded_size(self, path):
            if not self.fs.isfile(self.fs.realpath(path)):
                self.respond("550 Not a file.")
                return
            # Only the last line, the code and a space unpadded, ends it.
            self.push("213-Size follows\r\n 213 is the code\r\n")
            self.respond("213 %d" % self.fs.getsize(path))
        Handler.ftp_SIZE = padded_size

    if args.store_early_226 or args.store_226_without_150:
        def early_store(self, file, mode="w"):
            if args.store_early_226:
                self.respond("150 File status okay. About to open data connection.")
            self.respond("226 Transfer complete.")
            self.ignore_data = True
        Handler.ftp_STOR = early_store

    if args.store_stranger:
        def stranger_store(self, file, mode="w"):
            base.ftp_STOR(self, file, mode)
            store_stranger_data(self)
        Handler.ftp_STOR = stranger_store
        Handler.passive_dtp = StrangerFirst

    dtp = base.dtp_handler
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

    budget = CutBudget(args.drop_times, args.cut_skip)
    replaced = []

    def after_cut(handler):
        # The served file changes between the first try and the next.
        if args.replace_after_cut and not replaced:
            replaced.append(True)
            os.replace(args.replace_after_cut, handler.file_obj.name)

    if args.drop_after >= 0:
        def vanish(handler):
            after_cut(handler)
            control = handler.cmd_channel
            # No "426" reply: the peer just sees both connections vanish.
            handler.close()
            control.close()
        dtp = sending_at_most(dtp, args.drop_after, vanish, budget)

    if args.drop_data_after >= 0:
        def break_transfer(handler):
            after_cut(handler)
            handler._resp = ("426 Connection closed; transfer aborted.", logging.debug)
            handler.close()
        dtp = sending_at_most(dtp, args.drop_data_after, break_transfer, budget)

    if args.cut_after >= 0:
        def cut(handler):
            after_cut(handler)
            handler.transfer_finished = True
            handler._resp = ("226 Transfer complete.", logging.debug)
            handler.close()
        dtp = sending_at_most(dtp, args.cut_after, cut, budget)

    if args.overrun:
        dtp = overrunning(dtp)

    if args.drip > 0:
        dtp = dripping(dtp, args.drip)

    if args.stall_after >= 0:
        def stall(handler):
            after_cut(handler)
            # Out of the event loop for good: nothing more is sent, and
            # nothing is closed until the client gives up.
            handler.del_channel()
        dtp = sending_at_most(dtp, args.stall_after, stall, budget)

    if args.hold_after >= 0:
        dtp = sending_at_most(dtp, args.hold_after, hold)

    if args.store_reads_only >= 0:
        dtp = reading_at_most(dtp, args.store_reads_only)
    if args.store_early_226 or args.store_226_without_150:
        dtp = deaf(dtp)
    if args.record:
        dtp = recording(dtp, args.record, args.record_wire)
    if args.send_buffer > 0:
        dtp = small_send_buffer(dtp, args.send_buffer)

    Handler.dtp_handler = dtp
    return Handler


def main():
    args = parse_args()
    args.verbose = args.verbose or bool(os.environ.get("FTP_VERBOSE"))
    logging.basicConfig(level=logging.DEBUG if args.verbose else logging.ERROR)
    logging.getLogger("pyftpdlib").setLevel(logging.DEBUG if args.verbose else logging.CRITICAL)

    authorizer = DummyAuthorizer()
    authorizer.add_user(args.user, args.password, os.path.abspath(args.root),
                        perm="elr" if args.read_only else "elradfmwMT")
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
