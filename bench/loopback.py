"""Loopback helpers the benchmark scripts share: a free port and a wait for a listener."""

import socket
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
