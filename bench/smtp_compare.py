#!/usr/bin/python3
"""One 20 MB attachment sent to Postfix's smtp-sink on 127.0.0.1 by Kelvo and by
three other clients: curl (MIME built with -F, base64), swaks (--attach) and
Python's smtplib (email.message + send_message). Every client gets the same file
and the same sink, which discards what it receives.

Usage: smtp_compare.py BUILD_DIR [RUNS]   prints JSON: {client: {"ms": median, "runs": [...]}}
Kelvo's figure is BM_ComposeAndSend20MBAttachment of BUILD_DIR/bench/smtp_send_bench
(connect, compose, send, QUIT in one process); curl and swaks are whole processes;
smtplib is timed inside its process, from building the message to QUIT.
"""
import json
import os
import random
import socket
import statistics
import subprocess
import sys
import tempfile
import time

FROM = "bench@example.org"
TO = "sink@example.org"


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_listening(port):
    for _ in range(200):
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=1):
                return
        except OSError:
            time.sleep(0.01)
    raise RuntimeError("smtp-sink does not listen")


SMTPLIB = r"""
import smtplib, sys, time
from email.message import EmailMessage
port, path = int(sys.argv[1]), sys.argv[2]
start = time.perf_counter()
m = EmailMessage()
m["From"] = "%s"; m["To"] = "%s"; m["Subject"] = "Benchmark"
m.set_content("The attachment follows.")
with open(path, "rb") as f:
    m.add_attachment(f.read(), maintype="application", subtype="octet-stream", filename="attachment.bin")
with smtplib.SMTP("127.0.0.1", port) as s:
    s.send_message(m)
print((time.perf_counter() - start) * 1000)
""" % (FROM, TO)


def timed(cmd, env=None):
    start = time.perf_counter()
    subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, env=env)
    return (time.perf_counter() - start) * 1000


def main():
    build = sys.argv[1]
    runs = int(sys.argv[2]) if len(sys.argv) > 2 else 5
    work = tempfile.mkdtemp(prefix="kelvo-smtp-compare-")
    path = os.path.join(work, "attachment.bin")
    rnd = random.Random(1)
    with open(path, "wb") as f:
        f.write(rnd.randbytes(20 * 1024 * 1024))
    port = free_port()
    args = ["/usr/sbin/smtp-sink"]
    if os.geteuid() == 0:
        args += ["-u", "nobody"]
    sink = subprocess.Popen(args + ["127.0.0.1:%d" % port, "64"])
    results = {}
    try:
        wait_listening(port)
        bench = os.path.join(build, "bench", "smtp_send_bench")
        if os.path.exists(bench):
            env = dict(os.environ, KELVO_SMTP_SINK_PORT=str(port), KELVO_SMTP_ATTACHMENT=path,
                       QT_QPA_PLATFORM="offscreen")
            out = subprocess.run([bench, "--benchmark_filter=BM_ComposeAndSend20MBAttachment",
                                  "--benchmark_format=json"], check=True, capture_output=True, env=env).stdout
            rows = [b for b in json.loads(out)["benchmarks"] if b.get("run_type") == "iteration"]
            if rows:
                results["kelvo"] = {"ms": rows[0]["real_time"], "runs": [rows[0]["real_time"]],
                                    "note": "mean of %d iterations" % rows[0]["iterations"]}
        clients = {
            "curl": ["curl", "-s", "smtp://127.0.0.1:%d" % port, "--mail-from", FROM, "--mail-rcpt", TO,
                     "-H", "Subject: Benchmark", "-F", "=The attachment follows.;type=text/plain",
                     "-F", "=@%s;encoder=base64" % path],
            "swaks": ["swaks", "--server", "127.0.0.1", "--port", str(port), "--from", FROM, "--to", TO,
                      "--h-Subject", "Benchmark", "--body", "The attachment follows.",
                      "--attach-type", "application/octet-stream", "--attach", "@" + path, "--silent", "2"],
        }
        for name, cmd in clients.items():
            times = [timed(cmd) for _ in range(runs)]
            results[name] = {"ms": statistics.median(times), "runs": times, "note": "whole process, median"}
        times = []
        for _ in range(runs):
            out = subprocess.run(["/usr/bin/python3", "-c", SMTPLIB, str(port), path], check=True,
                                 capture_output=True, text=True).stdout
            times.append(float(out.strip()))
        results["python-smtplib"] = {"ms": statistics.median(times), "runs": times,
                                     "note": "in process, median"}
    finally:
        sink.kill()
        sink.wait()
        os.remove(path)
        os.rmdir(work)
    json.dump(results, sys.stdout, indent=1)


if __name__ == "__main__":
    main()
