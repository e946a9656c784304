#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz harnesses into fuzz/corpus/<harness>/.

Each seed is a well-formed or deliberately malformed message of the
protocols, named after what it shows. Inputs that the fuzzer later found
interesting, and every input that once found a fault, are kept next to them
under their own names; this script only (re)writes its own seeds.
"""

import os
import struct

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")


def u16(v):
    return struct.pack("<H", v & 0xFFFF)


def u32(v):
    return struct.pack("<I", v & 0xFFFFFFFF)


def write(harness, name, data):
    folder = os.path.join(ROOT, harness)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as out:
        out.write(data)


# ---- directory reply: the body as the directory server sends it

def entry(name, port, address, extra=0):
    octets = bytes(int(part) for part in address.split("."))
    return (u16(len(name)) + "".join(c + "\0" for c in name).encode("latin-1")
            + bytes([extra]) + struct.pack(">H", port) + octets)


def directory(entries, status=0, header=(5, 2, 3), count=None, trailer=b""):
    body = bytes([header[0]]) + u16(header[1]) + u16(header[2]) + u16(status)
    body += b"\0" + u32(0) + u16(len(entries) if count is None else count)
    return body + b"".join(entries) + trailer


two = [entry("DBProxy", 800, "10.0.0.1"), entry("DBProxy", 700, "10.0.0.2")]
write("directory_reply", "two-entries", directory(two))
write("directory_reply", "status-1-is-success", directory(two[:1], status=1))
write("directory_reply", "error-status", directory(two, status=0x8001))
write("directory_reply", "no-entries", directory([]))
write("directory_reply", "header-5-2-4", directory(two, header=(5, 2, 4)))
write("directory_reply", "header-all-ones", directory(two, header=(255, 65535, 65535)))
three = two + [entry("Third", 258, "127.0.0.1")]
write("directory_reply", "cut-in-third-entry", directory(three)[:-5])
write("directory_reply", "duplicates", directory([two[0], two[0]]))
write("directory_reply", "trailer", directory(two, trailer=b"\xff" * 9))
write("directory_reply", "count-beyond-entries", directory(two, count=65535))
write("directory_reply", "empty-name", directory([entry("", 6003, "192.168.0.1", 7)]))

# ---- public-key reply: u16 blob length, blob, then the plaintext to encrypt

def der_length(n):
    if n < 0x80:
        return bytes([n])
    if n <= 0xFF:
        return b"\x81" + bytes([n])
    return b"\x82" + struct.pack(">H", n)


def der_int(value):
    raw = value.to_bytes((value.bit_length() + 7) // 8, "big") if value else b""
    if not raw or raw[0] >= 0x80:
        raw = b"\0" + raw
    return b"\x02" + der_length(len(raw)) + raw


def blob(p, q, g, y, header=None):
    content = der_int(p) + der_int(q) + der_int(g) + der_int(y)
    return (header if header is not None else b"\x30" + der_length(len(content))) + content


def key_reply(key_blob, plaintext=b""):
    return u16(len(key_blob)) + key_blob + plaintext


p128 = 0xFEB183E89BEE8C3456010B169B1379CB
q128 = (p128 - 1) // 2
y128 = pow(2, 0x02D5A1C0F3B64E2917A0C55D3E1B9F02, p128)
p32 = 0xC029BCF7
inner = u16(8) + bytes(range(8)) + u16(22) + bytes.fromhex(
    "05010200610002010003030100010401000005010001")
write("public_key_reply", "key-128", key_reply(blob(p128, q128, 2, y128), inner))
write("public_key_reply", "key-32", key_reply(blob(p32, (p32 - 1) // 2, 2, 5), inner))
write("public_key_reply", "key-24-refused", key_reply(blob(0xC029BD, 3, 2, 5), inner))
write("public_key_reply", "header-81", key_reply(blob(p128, q128, 2, y128, b"\x30\x81\x33"), b"x"))
write("public_key_reply", "header-82", key_reply(blob(p128, q128, 2, y128, b"\x30\x82\x00\x33"), b"x"))
write("public_key_reply", "header-83",
      key_reply(blob(p128, q128, 2, y128, b"\x30\x83\x00\x00\x33"), b"x"))
write("public_key_reply", "no-sequence-tag", key_reply(blob(p128, q128, 2, y128, b"\x02"), b"x"))
write("public_key_reply", "zero-modulus", key_reply(blob(0, q128, 2, y128)))
write("public_key_reply", "integer-82-length",
      key_reply(b"\x30\x00\x02\x82\x00\x10" + p128.to_bytes(16, "big") + der_int(q128)
                + der_int(2) + der_int(y128) + b"\0"))
write("public_key_reply", "empty-last-integer",
      key_reply(b"\x30\x00" + der_int(p128) + der_int(q128) + der_int(2) + b"\x02\x00"))
write("public_key_reply", "length-beyond-body", u16(200) + blob(p128, q128, 2, y128))
p576 = (1 << 575) | 0x1D  # not prime; encryption does not care
write("public_key_reply", "key-576", key_reply(blob(p576, 7, 3, 11), inner * 3))

# ---- registration reply: control, DBProxy status, [prefix], decrypted message

def verdict(status, result):
    return u16(status) + u16(len(result)) + result


write("registration_reply", "ok", b"\0" + u16(0) + verdict(0, b"OK"))
write("registration_reply", "result-with-zero-bytes", b"\0" + u16(0) + verdict(0, b"A\0B\0"))
write("registration_reply", "database-error-5", b"\0" + u16(0) + verdict(5, b""))
write("registration_reply", "database-error-ffff", b"\0" + u16(0) + verdict(0xFFFF, b""))
write("registration_reply", "dbproxy-error", b"\0" + u16(0x8001))
write("registration_reply", "dbproxy-status-1", b"\0" + u16(1) + verdict(0, b"OK"))
write("registration_reply", "short-verdict", b"\0" + u16(0) + b"\0")
write("registration_reply", "result-length-beyond", b"\0" + u16(0) + u16(0) + u16(9) + b"abc")
for name, prefix in (("prefix-plus-one", 7), ("prefix-zero", 0), ("prefix-negative", 0xFFFFFFFF),
                     ("prefix-far-short", 1)):
    write("registration_reply", name, b"\x08" + u16(0) + u32(prefix) + verdict(0, b"OK"))
write("registration_reply", "wrong-key", b"\x02" + u16(0) + verdict(0, b"OK"))
write("registration_reply", "ciphertext-not-multiple-of-8", b"\x04" + u16(0) + verdict(0, b"OK"))
write("registration_reply", "empty-ciphertext", b"\x06" + u16(0) + verdict(0, b"OK"))
write("registration_reply", "raw-one-byte", b"\x01\x00")
write("registration_reply", "raw-length-beyond", b"\x01" + u16(0) + u16(16) + bytes(8))
write("registration_reply", "raw-sealed-garbage", b"\x01" + u16(0) + u16(16) + bytes(range(16)))
write("registration_reply", "long-result", b"\0" + u16(0) + verdict(0, bytes(range(256)) * 3))

# ---- WireBuffer: program length, program, message

program = bytes([0, 1, 2, 3 | 2 << 3, 5, 6, 4 | 16 << 3, 7, 0, 1])
message = b"\x11\x22\x33\x44\x55\x66\x77" + b"\xaa\xbb" + u16(3) + b"A\0B" + u16(2) + "AB".encode(
    "utf-16-le") + b"\x01\x02\x03"
write("wire_buffer", "every-read", bytes([len(program)]) + program + message)
write("wire_buffer", "string-count-past-end", bytes([2, 5, 0]) + u16(9) + b"abc")
write("wire_buffer", "wide-string-count-past-end", bytes([2, 6, 0]) + u16(3) + b"a\0b")
write("wire_buffer", "read-to-the-end", bytes([3, 2, 2, 0]) + bytes(8))
write("wire_buffer", "zero-bytes-at-end", bytes([3, 3 | 4 << 3, 3, 0]) + bytes(4))

# ---- SocketAddress: two endpoint texts separated by a zero byte

for name, text in (
        ("dotted", b"10.0.0.1:6003\0" + b"10.0.0.2:6003"),
        ("no-colon", b"10.0.0.1\0" + b"10.0.0.1:"),
        ("port-not-a-number", b"10.0.0.1:abc\0" + b"10.0.0.1: +42x"),
        ("port-wraps", b"10.0.0.1:70000\0" + b"10.0.0.1:-1"),
        ("first-colon-splits", b"a:b:c\0" + b"localhost:80"),
        ("all-ones-goes-to-lookup", b"255.255.255.255:1\0" + b"host.example:6003"),
        ("order-port-first", b"9.255.255.255:80\0" + b"10.0.0.0:6003"),
        ("short-forms", b"127.1:5\0" + b"0x7f.1:99999999999999999999"),
        ("empty-host", b":6003\0" + b"")):
    write("socket_address", name, text)

# ---- frame receive: pieces, each led by a control byte

def literal(data, receive=True):
    out = b""
    while data:
        piece, data = data[:64], data[64:]
        out += bytes([(0x40 if receive and not data else 0) | (len(piece) - 1)]) + piece
    return out


def run(count, receive=False):
    out = b""
    while count:
        piece = min(count, 16384)
        count -= piece
        flag = 0x40 if receive and not count else 0
        out += bytes([0x80 | flag | (piece - 1) >> 8, (piece - 1) & 0xFF])
    return out


def frame(body):
    return u32(len(body) + 4) + body


write("frame_receive", "ten-byte-body", literal(frame(bytes(range(10)))))
write("frame_receive", "prefix-in-two-parts",
      literal(u32(14)[:2]) + literal(u32(14)[2:] + bytes(10)))
write("frame_receive", "back-to-back", literal(frame(b"one") + frame(b"") + frame(b"three")))
write("frame_receive", "largest-frame", literal(u32(100000), receive=False) + run(99996, True))
write("frame_receive", "one-beyond-largest", literal(u32(100001)) + run(100))
write("frame_receive", "top-bit-length", literal(u32(0x80000000) + b"xx"))
write("frame_receive", "length-below-prefix", literal(u32(3) + b"x"))
write("frame_receive", "closed-in-body", literal(u32(40) + b"half"))
write("frame_receive", "byte-by-byte",
      b"".join(bytes([0x40]) + bytes([b]) for b in frame(b"trickled")))


# ---- the test service's readers of client data

def record(text, setting=3, flags=(1, 0, 1)):
    fields = [text + b"\0", bytes([setting])] + [bytes([f]) for f in flags]
    return bytes([5]) + b"".join(bytes([tag + 1]) + u16(len(v)) + v for tag, v in enumerate(fields))


def inner_block(text, key=bytes(range(1, 9))):
    body = record(text)
    return u16(len(key)) + key + u16(len(body)) + body


path = "/Emberfall/Register"
directory_request = (bytes([5]) + u16(2) + u16(103) + u32(0x06000002) + u16(0) + u16(len(path))
                     + "".join(c + "\0" for c in path).encode("latin-1") + u16(0))
write("service_directory_request", "well-formed", directory_request)
write("service_directory_request", "cut-in-path", directory_request[:20])
write("service_directory_request", "trailing-bytes", directory_request + b"\xff\xff")
write("service_directory_request", "other-header", bytes([5]) + u16(0) + u16(1) + directory_request[5:])
write("service_directory_request", "path-count-beyond", directory_request[:13] + u16(0xFFFF))

write("service_key_request", "key-request", frame(bytes([5]) + u16(0) + u16(1)))
write("service_key_request", "registration", frame(bytes([5]) + u16(0) + u16(2) + u32(17)))
write("service_key_request", "directory-request", frame(directory_request))
write("service_key_request", "short", frame(bytes([5]) + u16(0)))

# The fixed 128-bit key of the harness: p128 with x below, g = 2. A fixed k
# keeps the seeds the same from run to run.
x128 = 0x02D5A1C0F3B64E2917A0C55D3E1B9F02


def elgamal(plain, k=0x1234567):
    width, per_block = 16, 13
    blocks = [plain[i:i + per_block] for i in range(0, len(plain), per_block)] or [b""]
    out = u32(len(blocks))
    y = pow(2, x128, p128)
    for i, chunk in enumerate(blocks):
        m = int.from_bytes(bytes(width - 2 - len(chunk)) + chunk + bytes([len(chunk)]), "big")
        kk = k + i
        out += pow(2, kk, p128).to_bytes(width, "big")
        out += (m * pow(y, kk, p128) % p128).to_bytes(width, "big")
    return out


def registration(ciphertext, fixed=17):
    return bytes([5]) + u16(0) + u16(2) + u32(fixed) + u16(len(ciphertext)) + ciphertext


write("service_registration", "one-letter", registration(elgamal(inner_block(b"a"))))
write("service_registration", "many-blocks", registration(elgamal(inner_block(b"player@example.com" * 4))))
write("service_registration", "fixed-word-18", registration(elgamal(inner_block(b"a")), fixed=18))
write("service_registration", "count-beyond-blocks",
      registration(u32(9) + elgamal(inner_block(b"a"))[4:]))
write("service_registration", "ciphertext-cut", registration(elgamal(inner_block(b"a")))[:-7])
# Shorter than the message header: the reader starts beyond the end.
write("service_registration", "no-header", b"")
write("service_registration", "key-length-7",
      registration(elgamal(inner_block(b"a", key=bytes(7)))))

write("service_inner_block", "one-letter", inner_block(b"a"))
write("service_inner_block", "empty-text", inner_block(b""))
write("service_inner_block", "flag-2", inner_block(b"a")[:-1] + b"\x02")
write("service_inner_block", "record-length-beyond", inner_block(b"a")[:10] + u16(0xFFFF))
write("service_inner_block", "four-fields", u16(8) + bytes(8) + u16(18) + bytes([4]) + record(b"ab")[1:-4])

write("service_frame_receive", "two-frames", frame(bytes([5]) + u16(0) + u16(1)) + frame(b"x" * 30))
write("service_frame_receive", "length-below-prefix", u32(3) + b"x")
write("service_frame_receive", "one-beyond-largest", u32(100001) + bytes(64))
write("service_frame_receive", "closed-in-body", u32(40) + b"half")
write("service_frame_receive", "empty-body", frame(b""))
