#!/usr/bin/python3
"""A real FTP server for the tests that need one: vsftpd, ProFTPD or
Pure-FTPd, on 127.0.0.1, serving one folder to the account velmorapro with
TLS required on the control and data connections (vsftpd and ProFTPD also
require the data connections to resume the control connection's session).
The certificates come from testcertificates.py.

Debian installs only one FTP server at a time, so the one asked for is taken
from its package, unpacked into a cache folder, unless it is installed. It
runs as root: vsftpd logs in through PAM, for which a system account
velmorapro (no shell, no home) and a PAM service are made once.

When it listens it prints "PORT <n>" and flushes; SIGTERM stops it.
"""

import argparse
import warnings

with warnings.catch_warnings():
    warnings.simplefilter("ignore", DeprecationWarning)
    import crypt
import glob
import os
import pwd
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

import testcertificates

CACHE = os.environ.get("VLM_FTPD_CACHE",
                       os.path.join(os.path.expanduser("~"), ".cache", "vlm-updater-ftpd"))
PACKAGES = {"vsftpd": ["vsftpd"], "proftpd": ["proftpd-core", "proftpd-mod-crypto"],
            "pure-ftpd": ["pure-ftpd"]}
PAM_SERVICE = "vlm-test-ftpd"


def fail(message):
    sys.stderr.write("realftpd: %s\n" % message)
    sys.exit(2)


def unpacked(server):
    """The root of the server's files: / when installed, else the cache."""
    binary = {"vsftpd": "vsftpd", "proftpd": "proftpd", "pure-ftpd": "pure-ftpd"}[server]
    if server != "proftpd" and shutil.which(binary, path="/usr/sbin"):
        return "/"
    if server == "proftpd" and os.path.exists("/usr/lib/proftpd/mod_tls.so"):
        return "/"
    root = os.path.join(CACHE, server)
    if os.path.exists(os.path.join(root, ".complete")):
        return root
    work = tempfile.mkdtemp(prefix="download-", dir=os.makedirs(CACHE, exist_ok=True) or CACHE)
    subprocess.run(["apt-get", "download", "-qq", "-o", "APT::Sandbox::User=root"]
                   + PACKAGES[server], cwd=work, check=True,
                   stdout=subprocess.DEVNULL)
    for deb in glob.glob(os.path.join(work, "*.deb")):
        subprocess.run(["dpkg-deb", "-x", deb, work + "/root"], check=True)
    shutil.rmtree(root, ignore_errors=True)
    os.rename(work + "/root", root)
    shutil.rmtree(work)
    open(os.path.join(root, ".complete"), "w").close()
    return root


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def system_account(user, password):
    # vsftpd enters the home before local_root: it must be a folder that
    # outlives every test's own.
    try:
        if pwd.getpwnam(user).pw_dir != "/":
            subprocess.run(["usermod", "--home", "/", user], check=True)
    except KeyError:
        subprocess.run(["useradd", "--no-create-home", "--home-dir", "/",
                        "--shell", "/usr/sbin/nologin", user], check=True)
    subprocess.run(["chpasswd"], input=("%s:%s\n" % (user, password)).encode(), check=True)
    service = "/etc/pam.d/" + PAM_SERVICE
    if not os.path.exists(service):
        with open(service, "w") as out:
            out.write("auth required pam_unix.so\naccount required pam_unix.so\n"
                      "session optional pam_unix.so\n")


def vsftpd(files, args, port, work, certificate):
    system_account(args.user, args.password)
    empty = os.path.join(work, "empty")
    os.mkdir(empty, 0o755)
    low = free_port()
    config = os.path.join(work, "vsftpd.conf")
    with open(config, "w") as out:
        out.write("\n".join([
            "listen=YES", "listen_address=127.0.0.1", "listen_port=%d" % port,
            "background=NO", "anonymous_enable=NO", "local_enable=YES", "write_enable=YES",
            "local_umask=022", "local_root=" + args.root, "pam_service_name=" + PAM_SERVICE,
            "secure_chroot_dir=" + empty, "seccomp_sandbox=NO", "isolate=NO",
            "isolate_network=NO", "ssl_enable=YES", "rsa_cert_file=" + certificate + ".pem",
            "rsa_private_key_file=" + certificate + ".key", "force_local_logins_ssl=YES",
            "force_local_data_ssl=YES", "require_ssl_reuse=YES", "ssl_ciphers=HIGH",
            "pasv_enable=YES", "pasv_min_port=%d" % low, "pasv_max_port=%d" % (low + 20),
            "log_ftp_protocol=YES", "vsftpd_log_file=" + os.path.join(work, "vsftpd.log"), ""]))
    return [os.path.join(files, "usr/sbin/vsftpd"), config]


def proftpd(files, args, port, work, certificate):
    nobody = pwd.getpwnam("nobody")
    users = os.path.join(work, "passwd")
    with open(users, "w") as out:
        out.write("%s:%s:%d:%d::%s:/bin/false\n" % (
            args.user, crypt.crypt(args.password, crypt.mksalt(crypt.METHOD_SHA512)),
            nobody.pw_uid, nobody.pw_gid, args.root))
    os.chmod(users, 0o600)
    low = free_port()
    config = os.path.join(work, "proftpd.conf")
    with open(config, "w") as out:
        out.write("\n".join([
            "ServerType standalone", "DefaultAddress 127.0.0.1", "Port %d" % port,
            "SocketBindTight on", "User nobody", "Group nogroup", "UseIPv6 off",
            "ModulePath " + os.path.join(files, "usr/lib/proftpd"), "LoadModule mod_tls.c",
            "AuthOrder mod_auth_file.c", "AuthUserFile " + users, "RequireValidShell off",
            "PidFile " + os.path.join(work, "proftpd.pid"),
            "ScoreboardFile " + os.path.join(work, "proftpd.scoreboard"),
            "DelayTable none", "WtmpLog off", "UseReverseDNS off",
            "PassivePorts %d %d" % (low, low + 20), "TLSEngine on", "TLSRequired on",
            "TLSProtocol TLSv1.2 TLSv1.3", "TLSRSACertificateFile " + certificate + ".pem",
            "TLSRSACertificateKeyFile " + certificate + ".key",
            "TLSLog " + os.path.join(work, "tls.log"),
            "<Directory />", "  AllowOverwrite on", "</Directory>", ""]))
    return [os.path.join(files, "usr/sbin/proftpd"), "--nodaemon", "--config", config]


def pure_ftpd(files, args, port, work, certificate):
    nobody = pwd.getpwnam("nobody")
    users = os.path.join(work, "pureftpd.passwd")
    database = os.path.join(work, "pureftpd.pdb")
    with open(users, "w") as out:
        out.write("%s:%s:%d:%d::%s/./::::::::::::\n" % (
            args.user, crypt.crypt(args.password, crypt.mksalt(crypt.METHOD_SHA512)),
            nobody.pw_uid, nobody.pw_gid, args.root))
    subprocess.run([os.path.join(files, "usr/bin/pure-pw"), "mkdb", database, "-f", users],
                   check=True)
    bundle = os.path.join(work, "certificate.pem")
    with open(bundle, "w") as out:
        for part in (".key", ".pem"):
            out.write(open(certificate + part).read())
    low = free_port()
    return [os.path.join(files, "usr/sbin/pure-ftpd"), "--bind", "127.0.0.1,%d" % port,
            "--login", "puredb:" + database, "--noanonymous", "--tls", "2",
            "--certfile", bundle, "--passiveportrange", "%d:%d" % (low, low + 20),
            "--minuid", "1", "--dontresolve"]


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--server", required=True, choices=sorted(PACKAGES))
    parser.add_argument("--root", required=True)
    parser.add_argument("--tls", required=True, help="folder of the certificates")
    parser.add_argument("--tls-certificate", default="sound")
    parser.add_argument("--user", default="velmorapro")
    parser.add_argument("--password", default="qz482")
    args = parser.parse_args()
    if os.geteuid() != 0:
        fail("a real FTP server needs root here")
    # Without links: a path through Wine's "c:" would break the account files.
    args.root = os.path.realpath(args.root)
    # The session runs as another user, who must reach the folder.
    os.chmod(args.root, 0o777)
    for folder, _, names in os.walk(args.root):
        for name in names:
            os.chmod(os.path.join(folder, name), 0o666)
    testcertificates.make(args.tls)
    certificate = os.path.join(os.path.abspath(args.tls), args.tls_certificate)
    files = unpacked(args.server)
    work = tempfile.mkdtemp(prefix="realftpd-")
    os.chmod(work, 0o755)
    port = free_port()
    make = {"vsftpd": vsftpd, "proftpd": proftpd, "pure-ftpd": pure_ftpd}[args.server]
    command = make(files, args, port, work, certificate)
    log = open(os.path.join(work, "server.log"), "w")
    server = subprocess.Popen(command, stdout=log, stderr=subprocess.STDOUT)
    signal.signal(signal.SIGTERM, lambda *_: (server.terminate(), sys.exit(0)))
    for _ in range(100):
        if server.poll() is not None:
            fail("%s ended: %s" % (args.server, open(log.name).read()))
        with socket.socket() as probe:
            if probe.connect_ex(("127.0.0.1", port)) == 0:
                break
        time.sleep(0.05)
    sys.stdout.write("PORT %d\n" % port)
    sys.stdout.flush()
    try:
        server.wait()
    finally:
        if server.poll() is None:
            server.terminate()
        # VLM_FTPD_KEEP=1 keeps the server's configuration and logs.
        if os.environ.get("VLM_FTPD_KEEP"):
            sys.stderr.write("realftpd: %s's files are in %s\n" % (args.server, work))
        else:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
