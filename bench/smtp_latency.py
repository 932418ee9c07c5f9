#!/usr/bin/python3
"""Sends 100 small messages on one connection through Kelvo's SMTP session and
through curl, to the same smtp-sink on 127.0.0.1, and compares the times.

Usage: /usr/bin/python3 bench/smtp_latency.py BUILD_DIR [ROUNDS]
BUILD_DIR holds bench/smtp_send_bench (built in a release configuration). curl is
timed twice: sending all 100 messages in one process, over the one connection it
keeps between its transfers (the yardstick), and one process per message (its
per-message cost, connection and process start included). smtp-sink answers at once
and discards the data, so the figures are the clients' and the transport's.
The rounds interleave the clients, so that a busy machine slows all of them alike.
"""
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time

from loopback import start_smtp_sink

FROM = "bench@example.org"
TO = "sink@example.org"
MESSAGES = 100
MESSAGE = (b"From: <bench@example.org>\r\nTo: sink@example.org\r\nSubject: Benchmark\r\n"
           b"Date: Mon, 07 Dec 2026 12:00:00 +0000\r\nMessage-ID: <bench@kelvo.example>\r\n"
           b"Mime-Version: 1.0\r\nContent-Type: text/plain; charset=us-ascii\r\n\r\n"
           b"\r\nA short feedback message.\r\nSecond line.\r\n")



def timed(cmds):
    t0 = time.perf_counter()
    for cmd in cmds:
        subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    return time.perf_counter() - t0


def kelvo_time(bench, port):
    env = dict(os.environ, KELVO_SMTP_SINK_PORT=str(port), QT_QPA_PLATFORM="offscreen")
    out = subprocess.run([bench, "--benchmark_filter=HundredSmallMessages", "--benchmark_format=json"],
                         check=True, capture_output=True, env=env, text=True).stdout
    # The mean of the benchmark's iterations, each 100 messages on one connection.
    return json.loads(out)["benchmarks"][0]["real_time"] / 1000.0


def main():
    build = sys.argv[1]
    rounds = int(sys.argv[2]) if len(sys.argv) > 2 else 3
    bench = os.path.join(build, "bench", "smtp_send_bench")
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "message.eml")
        with open(path, "wb") as f:
            f.write(MESSAGE)
        sink, port = start_smtp_sink()
        try:
            url = "smtp://127.0.0.1:%d" % port
            one = ["curl", "-sS", "--mail-from", FROM, "--mail-rcpt", TO]
            for _ in range(MESSAGES):
                one += ["-T", path, url]
            each = [["curl", "-sS", "--mail-from", FROM, "--mail-rcpt", TO, "-T", path, url]] * MESSAGES
            times = {"kelvo": [], "curl, one connection": [], "curl, a process per message": []}
            for _ in range(rounds):
                times["curl, one connection"].append(timed([one]))
                times["curl, a process per message"].append(timed(each))
                times["kelvo"].append(kelvo_time(bench, port))
        finally:
            sink.kill()
            sink.wait()
    yardstick = statistics.median(times["curl, one connection"])
    print("%d small messages to smtp-sink on 127.0.0.1, %d rounds" % (MESSAGES, rounds))
    print("%-28s %10s %10s %14s %16s" % ("client", "median s", "best s", "ms / message",
                                        "median / curl"))
    for name, t in times.items():
        med = statistics.median(t)
        print("%-28s %10.3f %10.3f %14.2f %16.2f" % (name, med, min(t), 1000 * med / MESSAGES,
                                                     med / yardstick))


if __name__ == "__main__":
    main()
