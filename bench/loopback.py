"""Loopback helpers the benchmark scripts share: a free port and a wait for a listener."""

import os
import socket
import subprocess
import time


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_listening(port, what="smtp-sink"):
    for _ in range(500):
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return
        except OSError:
            time.sleep(0.01)
    raise RuntimeError(f"{what} does not listen")


def start_smtp_sink():
    """Postfix's smtp-sink on a free loopback port (as nobody when run as root); returns
    the process and its port once it listens."""
    port = free_port()
    args = ["/usr/sbin/smtp-sink"]
    if os.geteuid() == 0:
        args += ["-u", "nobody"]
    sink = subprocess.Popen(args + ["127.0.0.1:%d" % port, "64"])
    try:
        wait_listening(port)
    except BaseException:
        sink.kill()
        sink.wait()
        raise
    return sink, port
