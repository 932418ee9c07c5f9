"""aiosmtpd with TLS and sign-in for the session's security tests, on 127.0.0.1 at a free port.

Usage: /usr/bin/python3 aiosmtpd_tls_server.py OUTDIR MODE CERT KEY [options]
  MODE  starttls   STARTTLS offered on a plain connection (port 587 style)
        implicit   TLS from the first byte (port 465 style)
        plain      no TLS at all
  --require-starttls     refuse everything but EHLO, STARTTLS, QUIT before TLS
  --mechanisms LIST      sign-in mechanisms to offer, e.g. PLAIN,LOGIN (default both)
  --user NAME            the one user that may sign in; the password is taken from
                         the environment variable KELVO_TEST_SMTP_PASSWORD (UTF-8)
  --inject TEXT          (starttls) send TEXT in the same segment as "220 Ready to start TLS"
  --discard              keep nothing (for benchmarks); messages are only counted
With --user, mail is accepted only after a successful sign-in. Prints "PORT <n>" once it
listens. Every message is saved as OUTDIR/msgNNN.eml (raw bytes as received) and
OUTDIR/msgNNN.json ({"mail_from", "rcpt_tos", "helo", "login", "tls"}). Every sign-in
attempt is appended to OUTDIR/auth.log as "<mechanism> ok|refused". Ends when stdin closes.
"""
import argparse
import asyncio
import json
import os
import ssl
import sys

from aiosmtpd.smtp import SMTP, AuthResult, LoginPassword


class SaveHandler:
    def __init__(self, outdir, discard=False):
        self.outdir = outdir
        self.discard = discard
        self.count = 0

    async def handle_DATA(self, server, session, envelope):
        self.count += 1
        if self.discard:
            return "250 Message discarded"
        base = os.path.join(self.outdir, "msg%03d" % self.count)
        with open(base + ".eml.part", "wb") as f:
            f.write(envelope.original_content)
        login = getattr(session, "auth_data", None)
        meta = {
            "mail_from": envelope.mail_from,
            "rcpt_tos": envelope.rcpt_tos,
            "helo": session.host_name,
            "login": login.decode("utf-8", "replace") if isinstance(login, bytes) else login,
            "tls": server.transport.get_extra_info("sslcontext") is not None,
        }
        with open(base + ".json.part", "w") as f:
            json.dump(meta, f)
        os.rename(base + ".eml.part", base + ".eml")
        os.rename(base + ".json.part", base + ".json")
        return "250 Message accepted for delivery"


class Authenticator:
    def __init__(self, outdir, user, password):
        self.log = os.path.join(outdir, "auth.log")
        self.user = user.encode("utf-8")
        self.password = password.encode("utf-8")

    def __call__(self, server, session, envelope, mechanism, auth_data):
        ok = (isinstance(auth_data, LoginPassword) and auth_data.login == self.user
              and auth_data.password == self.password)
        with open(self.log, "a") as f:
            f.write("%s %s\n" % (mechanism, "ok" if ok else "refused"))
        return AuthResult(success=ok, handled=False, auth_data=auth_data.login if ok else None)


class InjectingSMTP(SMTP):
    """Sends extra clear text behind its go-ahead for TLS, in the same segment."""

    inject = b""

    async def smtp_STARTTLS(self, arg):
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


async def main(args):
    loop = asyncio.get_running_loop()
    handler = SaveHandler(args.outdir, args.discard)
    context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    context.load_cert_chain(args.cert, args.key)
    mechanisms = {"PLAIN", "LOGIN"}
    if args.mechanisms is not None:
        mechanisms = {m for m in args.mechanisms.split(",") if m}
    excluded = [m for m in ("PLAIN", "LOGIN", "CRAM-MD5") if m not in mechanisms]
    password = os.environ.get("KELVO_TEST_SMTP_PASSWORD", "")
    authenticator = Authenticator(args.outdir, args.user or "", password)
    InjectingSMTP.inject = args.inject.encode("utf-8").decode("unicode_escape").encode("latin-1")

    def factory():
        cls = InjectingSMTP if args.inject else SMTP
        return cls(handler, hostname="kelvo-test", decode_data=False,
                   tls_context=context if args.mode == "starttls" else None,
                   require_starttls=args.require_starttls,
                   # Over implicit TLS the whole connection is already encrypted.
                   auth_require_tls=args.mode != "implicit",
                   auth_required=args.user is not None,
                   authenticator=authenticator,
                   auth_exclude_mechanism=excluded)

    server = await loop.create_server(
        factory, host="127.0.0.1", port=0,
        ssl=context if args.mode == "implicit" else None)
    port = server.sockets[0].getsockname()[1]
    print("PORT %d" % port, flush=True)
    stdin_closed = loop.create_future()

    def on_stdin():
        if not sys.stdin.buffer.read1(4096):
            loop.remove_reader(sys.stdin.fileno())
            if not stdin_closed.done():
                stdin_closed.set_result(None)

    loop.add_reader(sys.stdin.fileno(), on_stdin)
    await stdin_closed
    server.close()
    await server.wait_closed()


if __name__ == "__main__":
    p = argparse.ArgumentParser()
    p.add_argument("outdir")
    p.add_argument("mode", choices=["starttls", "implicit", "plain"])
    p.add_argument("cert")
    p.add_argument("key")
    p.add_argument("--require-starttls", action="store_true")
    p.add_argument("--mechanisms")
    p.add_argument("--user")
    p.add_argument("--inject", default="")
    p.add_argument("--discard", action="store_true")
    asyncio.run(main(p.parse_args()))
