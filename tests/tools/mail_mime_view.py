"""Mail as `glyphary mail --decode` shows it, read by Python's email package (policy.default):
the text of each mail on standard output, the bytes of each part that is not text, in hex,
one line each, on standard error. With --mbox MBOX: each mail of the mbox, read by Python's
mailbox package, under "==> message N <=="."""
import mailbox
import sys
from email import policy
from email.parser import BytesParser

SHOWN = ("From", "To", "Date", "Subject")


def leaves(part):
    if part.get_content_maintype() == "multipart":
        for child in part.iter_parts():
            yield from leaves(child)
    else:
        yield part


def view(data):
    msg = BytesParser(policy=policy.default).parsebytes(data)
    out = ""
    for name in SHOWN:
        if msg[name] is not None:
            out += name + ": " + str(msg[name]) + "\n"
    for part in leaves(msg):
        out += "\n"
        name = part.get_filename()
        attached = part.get_content_disposition() == "attachment" and name
        if part.get_content_maintype() == "text" and not attached:
            out += part.get_content()
            if not out.endswith("\n"):
                out += "\n"
        else:
            data = part.get_payload(decode=True)
            out += "[" + part.get_content_type() + (" " + name if name else "")
            out += ", %d bytes]\n" % len(data)
            sys.stderr.write(data.hex() + "\n")
    return out


if sys.argv[1] == "--mbox":
    box = mailbox.mbox(sys.argv[2], create=False)
    mails = [("message %d" % (i + 1), box.get_bytes(key)) for i, key in enumerate(box.keys())]
else:
    mails = [(path, open(path, "rb").read()) for path in sys.argv[1:]]
text = ""
for i, (name, data) in enumerate(mails):
    text += ("\n" if i else "") + ("==> %s <==\n" % name if len(mails) > 1 else "") + view(data)
sys.stdout.write(text)
