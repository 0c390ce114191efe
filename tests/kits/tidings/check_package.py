#!/usr/bin/env python3
# Reads event packages (multipart bodies) with python's own email and gzip modules and prints
# what they hold as JSON: per package its parts, and per part the log's lines split into fields,
# with its length in bytes (line feed included), whether its byte count matches its payload and the
# payload parses.
import email, email.policy, gzip, json, sys

def check(body, boundary=None):
    rest = body[len(b"MIME-Version: 1.0\r\n"):] if body.startswith(b"MIME-Version: 1.0\r\n") else body
    if boundary is None:
        boundary = rest.split(b"\r\n", 1)[0][2:].decode()
    head = b"MIME-Version: 1.0\r\nContent-Type: multipart/form-data; boundary=" + boundary.encode() + b"\r\n\r\n"
    msg = email.message_from_bytes(head + rest, policy=email.policy.HTTP)
    parts = []
    for part in msg.iter_parts():
        data = part.get_payload(decode=True)
        lines = []
        raw = gzip.decompress(data)
        for line in raw.split(b"\n")[:-1]:
            f = line.split(b"\t")
            ok = len(f) == 4 and int(f[2]) == len(f[3])
            try:
                payload = json.loads(f[3]) if ok else None
            except ValueError:
                ok, payload = False, None
            lines.append({"ms": int(f[0]) if f[0].isdigit() else -1, "name": f[1].decode() if len(f) > 1 else "",
                          "ok": ok, "bytes": len(line) + 1, "payload": payload})
        parts.append({"name": part.get_param("name", header="content-disposition"), "filename": part.get_filename(),
                      "type": part.get_content_type(), "endsWithNewline": raw.endswith(b"\n") or raw == b"", "lines": lines})
    return {"defects": len(msg.defects), "parts": parts}

out = []
for path in sys.argv[1:]:
    with open(path, "rb") as f:
        out.append(check(f.read()))
print(json.dumps(out))
