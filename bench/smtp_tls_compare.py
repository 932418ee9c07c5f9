#!/usr/bin/python3
"""Sends one message with a 20 MB attachment over STARTTLS through Kelvo's SMTP session
and through curl --ssl-reqd --upload-file, both to the same aiosmtpd (discarding what it
gets) on 127.0.0.1 with a certificate from a CA made for the run, and compares the times.

Usage: /usr/bin/python3 bench/smtp_tls_compare.py BUILD_DIR [ROUNDS]
Kelvo composes the message in each send (reading and encoding the file, as a user's
send does); curl uploads the message Kelvo composed, byte for byte, prepared beforehand.
The rounds interleave the two clients, so that a busy machine slows both alike.
"""
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SIZE = 20 * 1024 * 1024


def main():
    build = sys.argv[1]
    rounds = int(sys.argv[2]) if len(sys.argv) > 2 else 5
    bench = os.path.join(build, "bench", "smtp_tls_send_bench")
    with tempfile.TemporaryDirectory() as tmp:
        certs = os.path.join(tmp, "certs")
        os.makedirs(certs)
        subprocess.run(["sh", os.path.join(ROOT, "tests", "tls", "make_test_certs.sh"), certs], check=True)
        attachment = os.path.join(tmp, "attachment.bin")
        with open(attachment, "wb") as f:
            f.write(os.urandom(SIZE))
        message = os.path.join(tmp, "message.eml")
        server = subprocess.Popen(
            ["/usr/bin/python3", os.path.join(ROOT, "tests", "mail", "support", "aiosmtpd_tls_server.py"),
             tmp, "starttls", os.path.join(certs, "good.pem"), os.path.join(certs, "good.key"),
             "--require-starttls", "--discard"],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        try:
            port = int(server.stdout.readline().split()[1])
            env = dict(os.environ, KELVO_SMTP_TLS_PORT=str(port), KELVO_SMTP_TLS_CA=os.path.join(certs, "ca.pem"),
                       KELVO_SMTP_ATTACHMENT=attachment, KELVO_SMTP_MESSAGE_OUT=message,
                       QT_QPA_PLATFORM="offscreen")

            def kelvo():
                out = subprocess.run([bench, "--benchmark_format=json"], check=True, capture_output=True,
                                     env=env, text=True).stdout
                run = json.loads(out)["benchmarks"][0]
                if run.get("error_occurred"):
                    raise RuntimeError(run.get("error_message"))
                return run["real_time"] / 1000.0  # the mean of its sends, in seconds

            def curl():
                t0 = time.perf_counter()
                subprocess.run(["curl", "-sS", "--ssl-reqd", "--cacert", os.path.join(certs, "ca.pem"),
                                "smtp://127.0.0.1:%d" % port, "--mail-from", "bench@example.org",
                                "--mail-rcpt", "sink@example.org", "--upload-file", message],
                               check=True, stdout=subprocess.DEVNULL)
                return time.perf_counter() - t0

            times = {"kelvo": [], "curl": []}
            kelvo()  # a first send writes the message curl uploads; not counted
            for _ in range(rounds):
                times["curl"].append(curl())
                times["kelvo"].append(kelvo())
        finally:
            server.stdin.close()
            server.wait(timeout=30)
    base = statistics.median(times["curl"])
    print("20 MB attachment over STARTTLS to aiosmtpd on 127.0.0.1, %d rounds" % rounds)
    print("%-16s %10s %10s %14s" % ("client", "median s", "best s", "median / curl"))
    for name, t in times.items():
        med = statistics.median(t)
        print("%-16s %10.3f %10.3f %14.2f" % (name, med, min(t), med / base))


if __name__ == "__main__":
    main()
