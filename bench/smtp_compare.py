#!/usr/bin/python3
"""Sends one message with a 20 MB attachment through Kelvo's SMTP session and through
other clients, all to the same server on 127.0.0.1, and compares the times.

Usage: /usr/bin/python3 bench/smtp_compare.py BUILD_DIR [ROUNDS] [--tls]
BUILD_DIR holds bench/smtp_send_bench (built in a release configuration). The rounds
interleave the clients, so that a busy machine slows all of them alike.

Plain: Kelvo, curl, swaks and Python's smtplib send to one smtp-sink, which discards
the data, so the server is not what is measured. Each client base64-encodes the file
(curl in 76-column lines, Kelvo in 60), builds the MIME message itself from the same
file and sends it over a fresh connection.

--tls: Kelvo and curl --ssl-reqd --upload-file send over STARTTLS to the tests' SMTP
server (aiosmtpd, tests/support/fake_smtp.py, discarding what it gets) with a
certificate from a CA made for the run. Kelvo composes the message in each send
(reading and encoding the file, as a user's send does); curl uploads the message
Kelvo composed, byte for byte, prepared beforehand.
"""
import argparse
import base64
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time

from loopback import start_smtp_sink

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
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


def kelvo_time(bench, send, env):
    """One run of the benchmark's `send` (Plain or StartTls): the mean of its
    iterations, each a whole send, in seconds."""
    env = dict(os.environ, QT_QPA_PLATFORM="offscreen", **env)
    out = subprocess.run([bench, "--benchmark_filter=ComposeAndSend20MBAttachment/" + send,
                          "--benchmark_format=json"], check=True, capture_output=True, env=env, text=True).stdout
    run = json.loads(out)["benchmarks"][0]
    if run.get("error_occurred"):
        raise RuntimeError(run.get("error_message"))
    return run["real_time"] / 1000.0


def write_attachment(tmp):
    path = os.path.join(tmp, "attachment.bin")
    with open(path, "wb") as f:
        f.write(os.urandom(SIZE))
    return path


def plain_rounds(bench, rounds, tmp):
    path = write_attachment(tmp)
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
        env = {"KELVO_SMTP_SINK_PORT": str(port), "KELVO_SMTP_ATTACHMENT": path}
        times = {name: [] for name in ["kelvo"] + list(clients)}
        for _ in range(rounds):
            for name, cmd in clients.items():
                times[name].append(timed(cmd))
            times["kelvo"].append(kelvo_time(bench, "Plain", env))
    finally:
        sink.kill()
        sink.wait()
    return "20 MB attachment, composed and sent to smtp-sink on 127.0.0.1, %d rounds" % rounds, times


def start_tls_server(tmp, certs):
    """The tests' SMTP server with STARTTLS required, discarding; returns it and its port."""
    server = subprocess.Popen(
        ["/usr/bin/python3", os.path.join(ROOT, "tests", "support", "fake_smtp.py"), "--dir",
         os.path.join(tmp, "server"), "--tls", "starttls", "--cert", os.path.join(certs, "good.pem"),
         "--key", os.path.join(certs, "good.key"), "--require-starttls", "--discard"],
        stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    line = server.stdout.readline().split()
    if len(line) != 2 or line[0] != b"ready":
        server.kill()
        server.wait()
        raise RuntimeError("the TLS server did not start")
    return server, int(line[1])


def tls_rounds(bench, rounds, tmp):
    certs = os.path.join(tmp, "certs")
    os.makedirs(certs)
    subprocess.run(["sh", os.path.join(ROOT, "tests", "tls", "make_test_certs.sh"), certs], check=True,
                   stdout=subprocess.DEVNULL)
    path = write_attachment(tmp)
    message = os.path.join(tmp, "message.eml")
    server, port = start_tls_server(tmp, certs)
    try:
        env = {"KELVO_SMTP_TLS_PORT": str(port), "KELVO_SMTP_TLS_CA": os.path.join(certs, "ca.pem"),
               "KELVO_SMTP_ATTACHMENT": path, "KELVO_SMTP_MESSAGE_OUT": message}
        curl = ["curl", "-sS", "--ssl-reqd", "--cacert", os.path.join(certs, "ca.pem"),
                "smtp://127.0.0.1:%d" % port, "--mail-from", FROM, "--mail-rcpt", TO, "--upload-file", message]
        times = {"kelvo": [], "curl": []}
        kelvo_time(bench, "StartTls", env)  # a first send writes the message curl uploads; not counted
        for _ in range(rounds):
            times["curl"].append(timed(curl))
            times["kelvo"].append(kelvo_time(bench, "StartTls", env))
    finally:
        server.stdin.close()
        server.wait(timeout=30)
    return "20 MB attachment over STARTTLS to aiosmtpd on 127.0.0.1, %d rounds" % rounds, times


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build")
    parser.add_argument("rounds", nargs="?", type=int, default=5)
    parser.add_argument("--tls", action="store_true", help="STARTTLS against curl --ssl-reqd")
    args = parser.parse_args()
    bench = os.path.join(args.build, "bench", "smtp_send_bench")
    with tempfile.TemporaryDirectory() as tmp:
        title, times = (tls_rounds if args.tls else plain_rounds)(bench, args.rounds, tmp)
    curl = statistics.median(times["curl"])
    print(title)
    print("%-16s %10s %10s %14s" % ("client", "median s", "best s", "median / curl"))
    for name, t in times.items():
        med = statistics.median(t)
        print("%-16s %10.3f %10.3f %14.2f" % (name, med, min(t), med / curl))


if __name__ == "__main__":
    main()
