#!/usr/bin/python3
"""Reads messages composed by the composition fuzz target back with Python's email
package and checks that a common receiver sees what the fields held.

Usage: check_email.py DIR   (DIR holds N.eml and N.expect pairs written with
KELVO_FUZZ_DUMP). Exit status 1 when any message fails, with the reasons.
"""
import email
import email.policy
import pathlib
import sys
import warnings

# The email package decodes x-uuencode through the uu module, deprecated since 3.11.
warnings.simplefilter("ignore", DeprecationWarning)


def load_expect(path):
    expect = {"attachments": []}
    for line in path.read_text().splitlines():
        key, *values = line.split(" ")
        if key == "encode":
            expect[key] = values[0]
            continue
        blobs = [bytes.fromhex(v) for v in values]
        if key == "attachment":
            expect["attachments"].append((blobs[0], blobs[1]))
        else:
            expect[key] = blobs[0] if blobs else b""
    return expect


def norm(b):
    """Line ends as the parser gives them back."""
    return b.replace(b"\r\n", b"\n")


def all_defects(msg):
    """Defects of the message, of every part and of every header: the parser files
    header defects (ObsoleteHeaderDefect, NonPrintableDefect, ...) on the header
    objects, not on the message."""
    found = []
    for part in msg.walk():
        found += [type(d).__name__ for d in part.defects]
        for name in part.keys():
            try:
                value = part[name]
            except Exception as e:  # the parser itself gives up on some address lists
                found.append("%s: %s" % (name, type(e).__name__))
                continue
            found += ["%s: %s" % (name, type(d).__name__) for d in getattr(value, "defects", ())]
    return found


def check(eml, expect):
    problems = []
    data = eml.read_bytes()
    msg = email.message_from_bytes(data, policy=email.policy.default)
    defects = all_defects(msg)
    if expect.get("plainaddresses") != b"1":
        # Address fields hold what the caller typed there, checked by nobody; a
        # reader may well find fault with "a b c" as a recipient.
        defects = [d for d in defects if d.split(":")[0] not in ("From", "To", "CC", "Reply-To")]
    if expect.get("date"):
        # A Date the caller gave goes out verbatim, whatever it holds.
        defects = [d for d in defects if not d.startswith("Date:")]
    if defects:
        problems.append("defects: %r" % defects)
    # The header holds only what the composition writes.
    known = {"from", "to", "cc", "subject", "x-mailer", "reply-to", "date", "message-id",
             "mime-version", "content-type", "content-transfer-encoding"}
    for name in msg.keys():
        if name.lower() not in known:
            problems.append("unexpected header %r" % name)
    for name in ("mime-version", "date", "message-id"):
        if name not in msg:
            problems.append("no %s" % name)
    for line in data.split(b"\r\n\r\n", 1)[0].split(b"\r\n"):
        if len(line) > 998:
            problems.append("header line of %d octets" % len(line))

    # Readers decode the subject and sender name back to what was typed.
    for field, key in (("subject", "subject"),):
        want = expect.get(key, b"")
        if not want:
            continue
        try:
            wanted = want.decode("utf-8")
        except UnicodeDecodeError:
            continue
        got = str(msg[field] or "")
        if got != wanted:
            problems.append("%s reads %r, typed %r" % (field, got, wanted))

    attachments = expect["attachments"]
    text = expect.get("text", b"")
    if attachments:
        if not msg.is_multipart() or msg.get_content_type() != "multipart/mixed":
            problems.append("not multipart/mixed: %s" % msg.get_content_type())
            return problems
        parts = msg.get_payload()
        if len(parts) != 1 + len(attachments):
            problems.append("%d parts for %d attachments" % (len(parts), len(attachments)))
            return problems
        if parts[0].get_content_type() != "text/plain":
            problems.append("first part is %s" % parts[0].get_content_type())
        got = parts[0].get_payload(decode=True) or b""
        # The line break before a delimiter belongs to the delimiter (RFC 2046 5.1.1),
        # so a reader may drop the text's last one.
        if norm(got) != norm(text) and norm(got) + b"\n" != norm(text):
            problems.append("text part reads %r, typed %r" % (got[:80], text[:80]))
        for part, (name, content) in zip(parts[1:], attachments):
            try:
                wanted = name.decode("utf-8")
            except UnicodeDecodeError:
                wanted = None
            if wanted is not None and wanted.isprintable():
                filename = part.get_filename()
                if filename != wanted:
                    problems.append("file name reads %r, was %r" % (filename, wanted))
            # The reader's own decoding, uuencode included (begin and end lines).
            payload = part.get_payload(decode=True) or b""
            if payload != content:
                problems.append("attachment %r: %d bytes read back, %d attached"
                                % (name[:30], len(payload), len(content)))
    else:
        if msg.is_multipart():
            problems.append("multipart without attachments")
            return problems
        got = msg.get_payload(decode=True) or b""
        # The body begins with one empty line (the header block ends in two line pairs).
        if norm(got) != norm(b"\r\n" + text):
            problems.append("text reads %r, typed %r" % (got[:80], text[:80]))
    return problems


def main():
    folder = pathlib.Path(sys.argv[1])
    failed = 0
    count = 0
    for eml in sorted(folder.glob("*.eml")):
        count += 1
        try:
            problems = check(eml, load_expect(eml.with_suffix(".expect")))
        except Exception as e:  # a reader that breaks on the message is a failure too
            problems = ["the email package raised %s: %s" % (type(e).__name__, e)]
        if problems:
            failed += 1
            if failed <= 10:
                print("%s:" % eml.name)
                for p in problems:
                    print("   ", p)
    print("check_email: %d messages read, %d failed" % (count, failed))
    return 1 if failed or count == 0 else 0


if __name__ == "__main__":
    sys.exit(main())
