#!/usr/bin/python3
"""An SMTP server on 127.0.0.1 for tests: it accepts every message and keeps it.

Usage: smtp_sink.py --dir DIR [--port N] [--idle-timeout SECONDS]

Port 0 (the default) lets the system pick a free port. When the server listens it
prints "ready PORT" on standard output. Every accepted message is written to
DIR/msg-NNN.eml exactly as it came after DATA (dot-stuffing undone, line ends as
sent), with DIR/msg-NNN.json holding the envelope: the HELO argument, MAIL FROM and
the RCPT TO mailboxes. DIR/commands.log gets one line per connection ("CONNECT")
and per HELO, RSET and QUIT the server answered, each behind the client's address
and port, so a test can see how sessions begin and end. The server runs until it is terminated.
"""

import argparse
import asyncio
import json
import os
import signal
import socket
import sys

from aiosmtpd.controller import Controller
from aiosmtpd.smtp import SMTP

HOST = "127.0.0.1"


class Keeper:
    def __init__(self, directory):
        self.dir = directory
        self.count = 0

    def log(self, line, peer):
        with open(os.path.join(self.dir, "commands.log"), "a") as f:
            f.write("%s:%s %s\n" % (peer[0], peer[1], line))

    async def handle_HELO(self, server, session, envelope, hostname):
        session.host_name = hostname
        self.log("HELO " + hostname, session.peer)
        return "250 " + server.hostname

    async def handle_RSET(self, server, session, envelope):
        self.log("RSET", session.peer)
        return "250 OK"

    async def handle_QUIT(self, server, session, envelope):
        self.log("QUIT", session.peer)
        return "221 Bye"

    async def handle_DATA(self, server, session, envelope):
        self.count += 1
        base = os.path.join(self.dir, "msg-%03d" % self.count)
        with open(base + ".eml.part", "wb") as f:
            f.write(envelope.original_content)
        with open(base + ".json", "w") as f:
            json.dump({"helo": session.host_name, "mail_from": envelope.mail_from,
                       "rcpt_tos": envelope.rcpt_tos}, f)
        # The message appears whole or not at all to a test that polls for it.
        os.replace(base + ".eml.part", base + ".eml")
        return "250 Message accepted for delivery"


class LoggingSMTP(SMTP):
    def __init__(self, handler, **kwargs):
        super().__init__(handler, **kwargs)
        self.keeper = handler

    def connection_made(self, transport):
        super().connection_made(transport)
        self.keeper.log("CONNECT", transport.get_extra_info("peername"))


class LoggingController(Controller):
    def factory(self):
        return LoggingSMTP(self.handler, **self.SMTP_kwargs)


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind((HOST, 0))
        return s.getsockname()[1]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--dir", required=True)
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--idle-timeout", type=float, default=300.0)
    args = parser.parse_args()
    os.makedirs(args.dir, exist_ok=True)
    port = args.port or free_port()
    controller = LoggingController(Keeper(args.dir), hostname=HOST, port=port,
                                   server_hostname="sink.example.test",
                                   server_kwargs={"timeout": args.idle_timeout})
    controller.start()
    # The start-up check connected once; a test counts from here.
    with open(os.path.join(args.dir, "commands.log"), "w"):
        pass
    print("ready", port, flush=True)

    stop = asyncio.Event()
    loop = asyncio.new_event_loop()
    for sig in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(sig, stop.set)
    try:
        loop.run_until_complete(stop.wait())
    finally:
        controller.stop()
        loop.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
