#!/usr/bin/python3
"""Reads a message the test SMTP server kept, the way a mail program would.

As a module: read_mail(path) returns a dict with the decoded "from", "to",
"subject" (None when the message has none), "body" (the text part, decoded from
its transfer encoding and charset, with LF line ends), the header "names" in order, and "raw" (the
message bytes). From the command line: mail_reader.py FILE prints that dict
(without "raw") as JSON, for tests written in other languages.
"""

import email
import email.policy
import json
import sys


def read_mail(path):
    with open(path, "rb") as f:
        raw = f.read()
    msg = email.message_from_bytes(raw, policy=email.policy.default)
    subject = msg["Subject"]
    return {
        "from": str(msg["From"]) if msg["From"] is not None else None,
        "to": str(msg["To"]) if msg["To"] is not None else None,
        "subject": str(subject) if subject is not None else None,
        # Line ends as a mail program shows them, whatever the wire had.
        "body": (msg.get_content().replace("\r\n", "\n")
                 if not msg.is_multipart() else None),
        "content_type": msg.get_content_type(),
        "names": list(msg.keys()),
        "defects": [type(d).__name__ for d in msg.defects],
        "raw": raw,
    }


def main(argv):
    if len(argv) != 2:
        print("usage: mail_reader.py FILE", file=sys.stderr)
        return 2
    found = read_mail(argv[1])
    del found["raw"]
    print(json.dumps(found, ensure_ascii=True))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
