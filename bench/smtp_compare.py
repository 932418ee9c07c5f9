#!/usr/bin/python3
"""Sends one message with a 20 MB attachment through Kelvo's SMTP session, curl, swaks
and Python's smtplib, all to the same smtp-sink on 127.0.0.1, and compares the times.

Usage: /usr/bin/python3 bench/smtp_compare.py BUILD_DIR [ROUNDS]
Each client base64-encodes the file (curl in 76-column lines, Kelvo in 60).
BUILD_DIR holds bench/smtp_send_bench (built in a release configuration). Every
client builds the MIME message itself from the same file and sends it over a fresh
connection; smtp-sink discards the data, so the server is not what is measured.
The rounds interleave the clients, so that a busy machine slows all of them alike.
"""
import base64
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time

from loopback import start_smtp_sink

SIZE = 20 * 1024 * 1024
FROM = "bench@example.org"
TO = "sink@example.org"

PYTHON_CLIENT = r'''
import smtplib, sys
from email.message import EmailMessage
port, path = int(sys.argv[1]), sys.argv[2]
msg = EmailMessage()
msg["From"] = "bench@example.org"
msg["To"] = "sink@example.org"
msg["Subject"] = "Benchmark"
msg.set_content("The attachment follows.")
with open(path, "rb") as f:
    msg.add_attachment(f.read(), maintype="application", subtype="octet-stream",
                       filename="attachment.bin")
with smtplib.SMTP("127.0.0.1", port) as s:
    s.send_message(msg)
'''



def timed(cmd, env=None):
    t0 = time.perf_counter()
    subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, env=env)
    return time.perf_counter() - t0


def kelvo_times(bench, port, path):
    env = dict(os.environ, KELVO_SMTP_SINK_PORT=str(port), KELVO_SMTP_ATTACHMENT=path,
               QT_QPA_PLATFORM="offscreen")
    out = subprocess.run([bench, "--benchmark_filter=ComposeAndSend", "--benchmark_format=json"],
                         check=True, capture_output=True, env=env, text=True).stdout
    run = json.loads(out)["benchmarks"][0]
    # One figure per benchmark run: the mean of its iterations, each a whole send.
    return run["real_time"] / 1000.0


def main():
    build = sys.argv[1]
    rounds = int(sys.argv[2]) if len(sys.argv) > 2 else 5
    bench = os.path.join(build, "bench", "smtp_send_bench")
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "attachment.bin")
        with open(path, "wb") as f:
            f.write(os.urandom(SIZE))
        prepared = os.path.join(tmp, "prepared.eml")
        with open(path, "rb") as f:
            encoded = base64.b64encode(f.read())
        with open(prepared, "wb") as f:
            f.write(b"From: <bench@example.org>\r\nTo: sink@example.org\r\nSubject: Benchmark\r\n"
                    b"Mime-Version: 1.0\r\nContent-Type: application/octet-stream\r\n"
                    b"Content-Transfer-Encoding: base64\r\n\r\n")
            for i in range(0, len(encoded), 60):
                f.write(encoded[i:i + 60] + b"\r\n")
        sink, port = start_smtp_sink()
        try:
            url = "smtp://127.0.0.1:%d" % port
            clients = {
                # Without ";encoder=base64" curl sends the file's bytes as they are,
                # labelled 8bit: 20 MB instead of 27, and a binary file damaged.
                "curl": ["curl", "-sS", url, "--mail-from", FROM, "--mail-rcpt", TO,
                         "-H", "Subject: Benchmark", "-F", "=The attachment follows.",
                         "-F", "attachment=@" + path + ";encoder=base64"],
                # For reference, neither doing the same work as the others: the file's
                # bytes sent unencoded, and a message prepared beforehand in Kelvo's
                # layout (60-column base64), so that curl only reads and sends it.
                "curl -F raw 8bit": ["curl", "-sS", url, "--mail-from", FROM, "--mail-rcpt", TO,
                                     "-H", "Subject: Benchmark", "-F", "=The attachment follows.",
                                     "-F", "attachment=@" + path],
                "curl upload-file": ["curl", "-sS", url, "--mail-from", FROM, "--mail-rcpt", TO,
                                     "--upload-file", prepared],
                "swaks": ["swaks", "--server", "127.0.0.1:%d" % port, "--from", FROM, "--to", TO,
                          "--helo", "kelvo.bench", "--header", "Subject: Benchmark",
                          "--body", "The attachment follows.", "--attach", path,
                          "--suppress-data", "--silent", "3"],
                "python smtplib": ["/usr/bin/python3", "-c", PYTHON_CLIENT, str(port), path],
            }
            times = {name: [] for name in ["kelvo"] + list(clients)}
            for _ in range(rounds):
                for name, cmd in clients.items():
                    times[name].append(timed(cmd))
                times["kelvo"].append(kelvo_times(bench, port, path))
        finally:
            sink.kill()
            sink.wait()
    curl = statistics.median(times["curl"])
    print("20 MB attachment, composed and sent to smtp-sink on 127.0.0.1, %d rounds" % rounds)
    print("%-16s %10s %10s %14s" % ("client", "median s", "best s", "median / curl"))
    for name, t in times.items():
        med = statistics.median(t)
        print("%-16s %10.3f %10.3f %14.2f" % (name, med, min(t), med / curl))


if __name__ == "__main__":
    main()
