"""aiosmtpd on 127.0.0.1 that drops every tenth connection at a random step, for the mail soak.

Usage: /usr/bin/python3 soak_smtp_server.py OUTDIR SEED
Prints "PORT <n>" once it listens. Connection n (from 1) is dropped when n is a
multiple of 10: at the greeting, at HELO, RSET, MAIL, RCPT or DATA, in the middle of
the data, or after the data but before the reply; by a reset or by a plain close.
Each drop is appended to OUTDIR/drops.log as "n step how". A message is stored as
OUTDIR/msgNNNN.eml (raw bytes, dot-stuffing undone) only when its 250 reply goes out,
so a stored message is exactly a send the client may count as successful. Ends when
stdin closes.
"""
import asyncio
import os
import random
import sys

from aiosmtpd.smtp import SMTP

STEPS = ["greeting", "HELO", "RSET", "MAIL", "RCPT", "DATA", "data-mid", "data-end"]


class State:
    def __init__(self, outdir, seed):
        self.outdir = outdir
        self.random = random.Random(seed)
        self.connections = 0
        self.stored = 0

    def drop_log(self, n, step, how):
        with open(os.path.join(self.outdir, "drops.log"), "a") as f:
            f.write("%d %s %s\n" % (n, step, how))


class Handler:
    def __init__(self, state):
        self.state = state

    async def handle_DATA(self, server, session, envelope):
        if server.drop_step == "data-end":
            server.drop()
            return "421 dropped"  # never reaches the client
        self.state.stored += 1
        path = os.path.join(self.state.outdir, "msg%04d.eml" % self.state.stored)
        with open(path + ".part", "wb") as f:
            f.write(envelope.original_content)
        os.rename(path + ".part", path)
        return "250 Message accepted for delivery"


class DroppingSMTP(SMTP):
    def __init__(self, state, *args, **kwargs):
        super().__init__(Handler(state), *args, **kwargs)
        self.state = state
        state.connections += 1
        self.number = state.connections
        self.drop_step = None
        self.drop_how = None
        if self.number % 10 == 0:
            self.drop_step = state.random.choice(STEPS)
            self.drop_how = state.random.choice(["reset", "close"])

    def drop(self):
        self.state.drop_log(self.number, self.drop_step, self.drop_how)
        if self.drop_how == "reset":
            self.transport.abort()
        else:
            self.transport.close()
        self.drop_step = "done"

    def connection_made(self, transport):
        super().connection_made(transport)
        if self.drop_step == "greeting":
            self.drop()

    async def smtp_HELO(self, arg):
        if self.drop_step == "HELO":
            return self.drop()
        return await super().smtp_HELO(arg)

    async def smtp_RSET(self, arg):
        if self.drop_step == "RSET":
            return self.drop()
        return await super().smtp_RSET(arg)

    async def smtp_MAIL(self, arg):
        if self.drop_step == "MAIL":
            return self.drop()
        return await super().smtp_MAIL(arg)

    async def smtp_RCPT(self, arg):
        if self.drop_step == "RCPT":
            return self.drop()
        return await super().smtp_RCPT(arg)

    async def smtp_DATA(self, arg):
        if self.drop_step == "DATA":
            return self.drop()
        if self.drop_step == "data-mid":
            await self.push("354 End data with <CR><LF>.<CR><LF>")
            await asyncio.sleep(0.002)
            return self.drop()
        return await super().smtp_DATA(arg)


async def main(outdir, seed):
    loop = asyncio.get_running_loop()
    state = State(outdir, seed)
    server = await loop.create_server(
        lambda: DroppingSMTP(state, hostname="kelvo-soak", decode_data=False),
        host="127.0.0.1", port=0)
    print("PORT %d" % server.sockets[0].getsockname()[1], flush=True)
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
    asyncio.run(main(sys.argv[1], int(sys.argv[2])))
