#!/usr/bin/python3
"""The tests' SMTP server: aiosmtpd on 127.0.0.1, keeping every message it accepts.

Usage: fake_smtp.py --dir DIR [--port N] [--idle-timeout SECONDS]
                    [--drop-every N --seed S]
                    [--tls starttls|implicit --cert PEM --key KEY] [--require-starttls]
                    [--mechanisms LIST] [--user NAME] [--inject TEXT] [--discard]

Port 0 (the default) lets the system pick a free port; once the server listens it
prints "ready PORT" on standard output. A taken port fails at once with "address
already in use" on standard error.

Every accepted message is written to DIR/msg-NNN.eml exactly as it came after DATA
(dot-stuffing undone, line ends as sent), with DIR/msg-NNN.json holding the envelope
({"helo", "mail_from", "rcpt_tos", "login", "tls"}); both are complete before the 250 reply leaves,
so a stored message is exactly a send the client may count as successful.
DIR/commands.log gets one line per connection ("CONNECT") and per HELO, RSET and
QUIT the server answered, each behind the client's address and port.

With --drop-every N, connection n (from 1) is dropped when n is a multiple of N, at a
step chosen at random (seeded by S): at the greeting, at HELO, RSET, MAIL, RCPT or
DATA, in the middle of the data, or after the data but before the reply; by a reset
or by a plain close. Each drop is appended to DIR/drops.log as "n step how".

TLS and sign-in, for the session's security tests:
  --tls starttls         STARTTLS offered on a plain connection (port 587 style)
  --tls implicit         TLS from the first byte (port 465 style)
  --cert, --key          the server's certificate chain and key (PEM)
  --require-starttls     refuse everything but EHLO, STARTTLS, QUIT before TLS
  --mechanisms LIST      sign-in mechanisms to offer, e.g. PLAIN,LOGIN (default both)
  --user NAME            the one user that may sign in, and mail is accepted only after
                         a sign-in; the password is taken from the environment variable
                         KELVO_TEST_SMTP_PASSWORD (UTF-8). Every attempt is appended to
                         DIR/auth.log as "<mechanism> ok|refused".
  --inject TEXT          (starttls) send TEXT, Python escapes allowed, in the same
                         segment as "220 Ready to start TLS"
Sign-in is offered only over TLS. With --discard nothing is stored (for benchmarks):
messages are only counted.

The server ends on SIGTERM or SIGINT, and when its standard input is a pipe, also
when that pipe closes (so it never outlives a test program that crashed).
"""

import argparse
import asyncio
import json
import os
import random
import signal
import ssl
import stat
import sys

from aiosmtpd.smtp import SMTP, AuthResult, LoginPassword

HOST = "127.0.0.1"
DROP_STEPS = ["greeting", "HELO", "RSET", "MAIL", "RCPT", "DATA", "data-mid", "data-end"]


class Store:
    """What the server keeps: messages, the command log, the drop log."""

    def __init__(self, directory, drop_every, seed):
        self.dir = directory
        self.count = 0
        self.connections = 0
        self.drop_every = drop_every
        self.random = random.Random(seed)

    def append(self, name, line):
        with open(os.path.join(self.dir, name), "a") as f:
            f.write(line + "\n")

    def log(self, line, peer):
        self.append("commands.log", "%s:%s %s" % (peer[0], peer[1], line))

    def keep(self, session, envelope, tls):
        self.count += 1
        base = os.path.join(self.dir, "msg-%03d" % self.count)
        login = getattr(session, "auth_data", None)
        with open(base + ".json.part", "w") as f:
            json.dump({"helo": session.host_name, "mail_from": envelope.mail_from,
                       "rcpt_tos": envelope.rcpt_tos,
                       "login": login.decode("utf-8", "replace") if isinstance(login, bytes) else login,
                       "tls": tls}, f)
        with open(base + ".eml.part", "wb") as f:
            f.write(envelope.original_content)
        # A test that polls sees the message whole or not at all.
        os.replace(base + ".json.part", base + ".json")
        os.replace(base + ".eml.part", base + ".eml")


class Authenticator:
    """Lets the one user in with the one password; logs every attempt."""

    def __init__(self, store, user, password):
        self.store = store
        self.user = user.encode("utf-8")
        self.password = password.encode("utf-8")

    def __call__(self, server, session, envelope, mechanism, auth_data):
        ok = (isinstance(auth_data, LoginPassword) and auth_data.login == self.user
              and auth_data.password == self.password)
        self.store.append("auth.log", "%s %s" % (mechanism, "ok" if ok else "refused"))
        return AuthResult(success=ok, handled=False, auth_data=auth_data.login if ok else None)


class Handler:
    def __init__(self, store, discard=False):
        self.store = store
        self.discard = discard

    async def handle_HELO(self, server, session, envelope, hostname):
        session.host_name = hostname
        self.store.log("HELO " + hostname, session.peer)
        return "250 " + server.hostname

    async def handle_RSET(self, server, session, envelope):
        self.store.log("RSET", session.peer)
        return "250 OK"

    async def handle_QUIT(self, server, session, envelope):
        self.store.log("QUIT", session.peer)
        return "221 Bye"

    async def handle_DATA(self, server, session, envelope):
        if server.drop_at("data-end"):
            return "421 dropped"  # never reaches the client
        if self.discard:
            self.store.count += 1
            return "250 Message discarded"
        self.store.keep(session, envelope, server.transport.get_extra_info("sslcontext") is not None)
        return "250 Message accepted for delivery"


class FakeSMTP(SMTP):
    inject = b""  # clear text sent behind the go-ahead for TLS, in the same segment

    def __init__(self, store, discard=False, **kwargs):
        super().__init__(Handler(store, discard), **kwargs)
        self.store = store
        store.connections += 1
        self.number = store.connections
        self.drop_step = None
        self.drop_how = None
        if store.drop_every and self.number % store.drop_every == 0:
            self.drop_step = store.random.choice(DROP_STEPS)
            self.drop_how = store.random.choice(["reset", "close"])

    def drop_at(self, step):
        """Drops the connection when this is its step; True when it did."""
        if self.drop_step != step:
            return False
        self.store.append("drops.log", "%d %s %s" % (self.number, self.drop_step, self.drop_how))
        if self.drop_how == "reset":
            self.transport.abort()
        else:
            self.transport.close()
        self.drop_step = "done"
        return True

    def connection_made(self, transport):
        super().connection_made(transport)
        self.store.log("CONNECT", transport.get_extra_info("peername"))
        self.drop_at("greeting")

    async def smtp_HELO(self, arg):
        return None if self.drop_at("HELO") else await super().smtp_HELO(arg)

    async def smtp_RSET(self, arg):
        return None if self.drop_at("RSET") else await super().smtp_RSET(arg)

    async def smtp_MAIL(self, arg):
        return None if self.drop_at("MAIL") else await super().smtp_MAIL(arg)

    async def smtp_RCPT(self, arg):
        return None if self.drop_at("RCPT") else await super().smtp_RCPT(arg)

    async def smtp_DATA(self, arg):
        if self.drop_at("DATA"):
            return None
        if self.drop_step == "data-mid":
            await self.push("354 End data with <CR><LF>.<CR><LF>")
            await asyncio.sleep(0.002)
            self.drop_at("data-mid")
            return None
        return await super().smtp_DATA(arg)

    async def smtp_STARTTLS(self, arg):
        if not self.inject:
            return await super().smtp_STARTTLS(arg)
        original_push = self.push

        async def push_with_injection(status):
            if status.startswith("220"):
                self._writer.write(status.encode("ascii") + b"\r\n" + self.inject)
                await self._writer.drain()
                return
            await original_push(status)

        self.push = push_with_injection
        try:
            return await super().smtp_STARTTLS(arg)
        finally:
            self.push = original_push


def stdin_is_pipe():
    try:
        return stat.S_ISFIFO(os.fstat(sys.stdin.fileno()).st_mode)
    except (OSError, ValueError):
        return False


def security(args, store):
    """The SMTP keyword arguments for TLS and sign-in, and the context for implicit TLS."""
    FakeSMTP.inject = args.inject.encode("utf-8").decode("unicode_escape").encode("latin-1")
    if not (args.tls or args.user or args.require_starttls):
        return {}, None
    context = None
    if args.tls:
        context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        context.load_cert_chain(args.cert, args.key)
    mechanisms = {m for m in args.mechanisms.split(",") if m}
    password = os.environ.get("KELVO_TEST_SMTP_PASSWORD", "")
    kwargs = dict(tls_context=context if args.tls == "starttls" else None,
                  require_starttls=args.require_starttls,
                  # Over implicit TLS the whole connection is already encrypted.
                  auth_require_tls=args.tls != "implicit",
                  auth_required=args.user is not None,
                  authenticator=Authenticator(store, args.user or "", password),
                  auth_exclude_mechanism=[m for m in ("PLAIN", "LOGIN", "CRAM-MD5") if m not in mechanisms])
    return kwargs, context if args.tls == "implicit" else None


async def serve(args):
    loop = asyncio.get_running_loop()
    store = Store(args.dir, args.drop_every, args.seed)
    kwargs, implicit = security(args, store)
    # An explicit host name: the default asks the resolver for this machine's name.
    server = await loop.create_server(
        lambda: FakeSMTP(store, discard=args.discard, hostname="kelvo-test", decode_data=False,
                         timeout=args.idle_timeout, **kwargs),
        host=HOST, port=args.port, reuse_address=True, ssl=implicit)
    print("ready", server.sockets[0].getsockname()[1], flush=True)
    stop = asyncio.Event()
    for sig in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(sig, stop.set)
    if stdin_is_pipe():
        def on_stdin():
            if not sys.stdin.buffer.read1(4096):
                loop.remove_reader(sys.stdin.fileno())
                stop.set()
        loop.add_reader(sys.stdin.fileno(), on_stdin)
    await stop.wait()
    server.close()
    await server.wait_closed()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--dir", required=True)
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--idle-timeout", type=float, default=300.0)
    parser.add_argument("--drop-every", type=int, default=0)
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--tls", choices=["starttls", "implicit"])
    parser.add_argument("--cert")
    parser.add_argument("--key")
    parser.add_argument("--require-starttls", action="store_true")
    parser.add_argument("--mechanisms", default="PLAIN,LOGIN")
    parser.add_argument("--user")
    parser.add_argument("--inject", default="")
    parser.add_argument("--discard", action="store_true")
    args = parser.parse_args()
    if args.tls and not (args.cert and args.key):
        parser.error("--tls needs --cert and --key")
    os.makedirs(args.dir, exist_ok=True)
    try:
        asyncio.run(serve(args))
    except OSError as exc:
        print(exc, file=sys.stderr, flush=True)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
