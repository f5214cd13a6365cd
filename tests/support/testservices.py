#!/usr/bin/python3
"""Runs three Linux programs for Windows tests under Wine: the test FTP server
(tests/support/ftpserver.py), the minisign tool, and chattr for the immutable
attribute.

A Windows program under Wine can start a Linux program, but gets no handle to
wait for it and no pipes to its output; loopback TCP works. So the Windows
lane (scripts/windows.sh) starts this service on 127.0.0.1 and names it to the
tests in VLM_TEST_SERVICES (tests/support/testservice.cpp is their side).
When it listens it prints "PORT <n>" on a line of its own and flushes.

Each request is one connection. Its first line is a JSON object
{"run": PROGRAM, "args": [ARGUMENT, ...]}, paths given by their Linux names:

ftpserver  starts ftpserver.py with the arguments and relays every line it
           prints ("PORT n", "EVENT name"). A line "release" from the test
           sends it SIGUSR1; a line "stop", or the end of the connection,
           stops it.
minisign   runs minisign with the arguments, and relays what it printed.
chattr     runs chattr with "+i" or "-i" and one path, and relays what it
           printed: Wine running as root writes into a folder whatever its
           permissions, but not into an immutable one.

Either way the service then sends "EXIT <code>" and closes the connection. It
runs nothing else.
"""

import argparse
import json
import os
import selectors
import signal
import socket
import socketserver
import subprocess
import sys
import threading

FTP_SERVER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "ftpserver.py")
REAL_FTP_SERVER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "realftpd.py")
TOOL_TIMEOUT = 120

# The FTP servers running now, stopped too when the service is.
running_servers = set()
running_lock = threading.Lock()


def stop(process):
    if process.poll() is None:
        process.terminate()
        try:
            process.wait(5)
        except subprocess.TimeoutExpired:
            process.kill()
    return process.wait()


class Request(socketserver.StreamRequestHandler):
    # Unbuffered: after the request line, the socket is read directly.
    rbufsize = 0

    def setup(self):
        super().setup()
        # An event line must reach the test at once, not after a delayed ACK.
        self.connection.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)

    def handle(self):
        try:
            request = json.loads(self.rfile.readline())
            program, args = request["run"], request["args"]
            if not isinstance(args, list) or not all(isinstance(a, str) for a in args):
                raise TypeError("args must be a list of strings")
        except (ValueError, KeyError, TypeError) as error:
            self.finish_with(2, "bad request: %s\n" % error)
            return
        if program == "ftpserver":
            self.serve_ftp(FTP_SERVER, args)
        elif program == "realftpd":
            self.serve_ftp(REAL_FTP_SERVER, args)
        elif program == "minisign":
            self.run_tool(["minisign", *args], "minisign (Debian package minisign)")
        elif program == "chattr" and len(args) == 2 and args[0] in ("+i", "-i"):
            self.run_tool(["chattr", *args], "chattr (Debian package e2fsprogs)")
        else:
            self.finish_with(2, "runs only ftpserver, realftpd, minisign and chattr +i/-i PATH, not %r %r\n"
                             % (program, args))

    def finish_with(self, code, output=""):
        if output and not output.endswith("\n"):
            output += "\n"
        try:
            self.connection.sendall(("%sEXIT %d\n" % (output, code)).encode("utf-8", "replace"))
        except OSError:
            pass  # the test went away; nobody is left to tell

    def run_tool(self, command, package):
        try:
            done = subprocess.run(command, stdin=subprocess.DEVNULL,
                                  stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                  timeout=TOOL_TIMEOUT)
        except FileNotFoundError:
            self.finish_with(127, "%s is not installed" % package)
            return
        except subprocess.TimeoutExpired:
            self.finish_with(124, "%s did not end within %d s" % (command[0], TOOL_TIMEOUT))
            return
        self.finish_with(done.returncode, done.stdout.decode("utf-8", "replace"))

    def serve_ftp(self, script, args):
        # Its errors go to the service's own, which the lane keeps in a file.
        server = subprocess.Popen([sys.executable, script, *args], stdin=subprocess.DEVNULL,
                                  stdout=subprocess.PIPE)
        with running_lock:
            running_servers.add(server)
        with selectors.DefaultSelector() as selector:
            selector.register(server.stdout, selectors.EVENT_READ)
            selector.register(self.connection, selectors.EVENT_READ)
            pending = b""
            stopping = False
            while not stopping:
                for key, _ in selector.select():
                    if key.fileobj is server.stdout:
                        output = os.read(server.stdout.fileno(), 65536)
                        if not output:
                            stopping = True  # it ended on its own
                            break
                        try:
                            self.connection.sendall(output)
                        except OSError:
                            stopping = True
                            break
                        continue
                    try:
                        received = self.connection.recv(4096)
                    except OSError:
                        received = b""
                    if not received:
                        stopping = True
                        break
                    pending += received
                    while b"\n" in pending and not stopping:
                        line, pending = pending.split(b"\n", 1)
                        if line.strip() == b"release":
                            server.send_signal(signal.SIGUSR1)
                        elif line.strip() == b"stop":
                            stopping = True
        code = stop(server)
        with running_lock:
            running_servers.discard(server)
        server.stdout.close()
        self.finish_with(code)


class Service(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--port", type=int, default=0, help="0 picks a free port")
    port = parser.parse_args().port
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    try:
        with Service(("127.0.0.1", port), Request) as service:
            sys.stdout.write("PORT %d\n" % service.server_address[1])
            sys.stdout.flush()
            service.serve_forever()
    finally:
        with running_lock:
            for server in list(running_servers):
                stop(server)


if __name__ == "__main__":
    main()
