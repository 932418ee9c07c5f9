"""A real SMTP server for the session tests: aiosmtpd on 127.0.0.1 at a free port.

Usage: /usr/bin/python3 aiosmtpd_server.py OUTDIR
Prints "PORT <n>" once it listens. Every message is saved as OUTDIR/msgNNN.eml (the
raw bytes as received, dot-stuffing undone) and OUTDIR/msgNNN.json (the envelope and
the HELO name), both complete before the 250 reply leaves. Ends when stdin closes.
"""
import asyncio
import json
import os
import sys

from aiosmtpd.smtp import SMTP


class SaveHandler:
    def __init__(self, outdir):
        self.outdir = outdir
        self.count = 0

    async def handle_DATA(self, server, session, envelope):
        self.count += 1
        base = os.path.join(self.outdir, "msg%03d" % self.count)
        with open(base + ".eml.part", "wb") as f:
            f.write(envelope.original_content)
        meta = {
            "mail_from": envelope.mail_from,
            "rcpt_tos": envelope.rcpt_tos,
            "helo": session.host_name,
        }
        with open(base + ".json.part", "w") as f:
            json.dump(meta, f)
        os.rename(base + ".eml.part", base + ".eml")
        os.rename(base + ".json.part", base + ".json")
        return "250 Message accepted for delivery"


async def main(outdir):
    loop = asyncio.get_running_loop()
    handler = SaveHandler(outdir)
    # An explicit host name: the default asks the resolver for this machine's name.
    server = await loop.create_server(
        lambda: SMTP(handler, hostname="kelvo-test", decode_data=False),
        host="127.0.0.1", port=0)
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
    asyncio.run(main(sys.argv[1]))
