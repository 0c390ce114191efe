#!/usr/bin/python3
"""Parses report packages as the service would: each argument is a package file named by its
boundary, or a received body ("X.body") with its boundary beside it ("X.body.boundary"); prints one JSON object per package with its parts: field
name, file name, content type, and for gzip parts the decompressed text (failing on a bad stream)."""
import email
import email.policy
import gzip
import json
import sys


def parse(raw, boundary):
    if not raw.startswith(b"MIME-Version: 1.0\r\n"):
        raise SystemExit("no MIME-Version line")
    if not raw.endswith(("--%s--\r\n" % boundary).encode()):
        raise SystemExit("no closing boundary")
    # The body as an HTTP server sees it: the "MIME-Version" line is its preamble.
    head = ("Content-Type: multipart/form-data; boundary=%s\r\n\r\n" % boundary).encode()
    message = email.message_from_bytes(head + raw, policy=email.policy.HTTP)
    if not message.is_multipart() or message.defects:
        raise SystemExit("not a clean multipart body: %r" % message.defects)
    parts = []
    for part in message.iter_parts():
        body = part.get_payload(decode=True)
        entry = {"name": part.get_param("name", header="content-disposition"),
                 "filename": part.get_filename(), "type": part.get_content_type()}
        if part.get_content_type() == "application/x-gzip":
            entry["text"] = gzip.decompress(body).decode("utf-8", "replace")
        else:
            entry["text"] = body.decode("utf-8", "replace")
        parts.append(entry)
    return parts


for path in sys.argv[1:]:
    boundary = path.rsplit("/", 1)[-1].rsplit(".", 1)[0]
    with open(path, "rb") as f:
        raw = f.read()
    if path.endswith(".body"):
        with open(path + ".boundary") as b:
            boundary = b.read().strip()
    print(json.dumps({"path": path, "parts": parse(raw, boundary)}))
