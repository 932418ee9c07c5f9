"""A private Postfix for one test: its own configuration, queue and port on 127.0.0.1.

Usage (as root): /usr/bin/python3 postfix_instance.py [name=value ...]
Each name=value is a main.cf setting on top of the defaults below (smtpd_timeout=2s,
smtpd_helo_restrictions=reject_invalid_helo_hostname, ...). Prints "PORT <n>" once
the server answers, then runs until stdin closes; then stops Postfix and removes
everything it made. Mail for any user at localhost is accepted and discarded; the
log (each accepted message with its helo=) goes to LOGFILE in the directory printed
as "DIR <path>" before "PORT".

The system's own Postfix, its configuration and port 25 are not touched.
"""
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

MASTER = "/usr/lib/postfix/sbin/master"


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def answers(port):
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=0.5) as s:
            return s.recv(4).startswith(b"220")
    except OSError:
        return False


def make_queue(queue):
    os.makedirs(os.path.join(queue, "pid"))
    for d in ("public", "private", "maildrop", "active", "bounce", "corrupt", "defer",
              "deferred", "flush", "hold", "incoming", "saved", "trace"):
        path = os.path.join(queue, d)
        os.makedirs(path)
        shutil.chown(path, user="postfix")
    for d, mode in (("public", 0o710), ("maildrop", 0o730)):
        shutil.chown(os.path.join(queue, d), group="postdrop")
        os.chmod(os.path.join(queue, d), mode)
    os.chmod(os.path.join(queue, "private"), 0o700)


def main(settings):
    root = tempfile.mkdtemp(prefix="kelvo-postfix-")
    os.chmod(root, 0o755)
    master = None
    try:
        conf, queue, data = (os.path.join(root, d) for d in ("conf", "queue", "data"))
        os.makedirs(conf)
        os.makedirs(data)
        shutil.chown(data, user="postfix")
        make_queue(queue)
        port = free_port()
        main_cf = {
            "compatibility_level": "3.6",
            "queue_directory": queue,
            "data_directory": data,
            "mail_owner": "postfix",
            "setgid_group": "postdrop",
            "inet_interfaces": "127.0.0.1",
            "inet_protocols": "ipv4",
            "myhostname": "kelvo-test.localdomain",
            "mydestination": "localhost",
            "local_recipient_maps": "",
            "local_transport": "discard",
            "default_transport": "error",
            "relay_transport": "error",
            # master writes the log itself (no postlogd, no syslog needed).
            "maillog_file": "/dev/stdout",
            "smtpd_timeout": "2s",
            "smtpd_helo_required": "yes",
            # Every RCPT logs the HELO name it came with (a WARN action).
            "smtpd_helo_restrictions": "reject_invalid_helo_hostname, check_helo_access static:{WARN helo seen}",
            # Nothing here may wait for a resolver.
            "smtp_host_lookup": "native",
            "disable_dns_lookups": "yes",
            "smtpd_peername_lookup": "no",
        }
        for s in settings:
            name, _, value = s.partition("=")
            main_cf[name] = value
        with open(os.path.join(conf, "main.cf"), "w") as f:
            f.writelines("%s = %s\n" % kv for kv in main_cf.items())
        services = [
            "127.0.0.1:%d inet n - n - - smtpd" % port,
            "cleanup unix n - n - 0 cleanup",
            "qmgr unix n - n 300 1 qmgr",
            "discard unix - - n - - discard",
            "error unix - - n - - error",
            "bounce unix - - n - 0 bounce",
            "defer unix - - n - 0 bounce",
            "trace unix - - n - 0 bounce",
            "rewrite unix - - n - - trivial-rewrite",
            "postlog unix-dgram n - n - 1 postlogd",
            "anvil unix - - n - 1 anvil",
            "proxymap unix - - n - - proxymap",
        ]
        with open(os.path.join(conf, "master.cf"), "w") as f:
            f.write("\n".join(services) + "\n")
        # A session of its own: master signals its whole process group when it stops.
        log = open(os.path.join(root, "LOGFILE"), "ab")
        master = subprocess.Popen([MASTER, "-c", conf, "-d"], stdin=subprocess.DEVNULL,
                                  stdout=log, stderr=log, start_new_session=True)
        deadline = time.monotonic() + 20
        while not answers(port):
            if master.poll() is not None or time.monotonic() > deadline:
                log = os.path.join(root, "LOGFILE")
                tail = open(log).read()[-2000:] if os.path.exists(log) else ""
                print("FAILED master did not start: %s" % tail.replace("\n", " | "), flush=True)
                return 1
            time.sleep(0.05)
        print("DIR %s" % root, flush=True)
        print("PORT %d" % port, flush=True)
        while sys.stdin.buffer.read(4096):
            pass
        return 0
    finally:
        if master is not None and master.poll() is None:
            master.send_signal(signal.SIGTERM)
            try:
                master.wait(10)
            except subprocess.TimeoutExpired:
                os.killpg(master.pid, signal.SIGKILL)
                master.wait(5)
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
