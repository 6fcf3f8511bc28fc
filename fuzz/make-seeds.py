#!/usr/bin/env python3
"""Writes the seed corpora in corpus/ (run it after changing a seed here).

The inputs named regression-* in corpus/ are crash inputs the fuzzers found;
they are kept as they are and not written here.

The transport seeds are what a DevTools client sends: an upgrade request and
masked WebSocket frames. Their masking key is zero, so the payload stays
readable text that the fuzzer's dictionary words can be mixed into.
"""
import json
import pathlib
import struct

here = pathlib.Path(__file__).resolve().parent


def upgrade(host="127.0.0.1:9229", extra=""):
    return ("GET / HTTP/1.1\r\n"
            f"Host: {host}\r\n"
            "Upgrade: websocket\r\n"
            "Connection: Upgrade\r\n"
            "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
            "Sec-WebSocket-Version: 13\r\n"
            f"{extra}\r\n").encode()


def frame(payload, opcode=1, fin=True, masked=True, key=b"\0\0\0\0"):
    if isinstance(payload, str):
        payload = payload.encode()
    head = bytes([(0x80 if fin else 0) | opcode])
    mask_bit = 0x80 if masked else 0
    n = len(payload)
    if n < 126:
        head += bytes([mask_bit | n])
    elif n < 65536:
        head += bytes([mask_bit | 126]) + struct.pack(">H", n)
    else:
        head += bytes([mask_bit | 127]) + struct.pack(">Q", n)
    if masked:
        head += key
        payload = bytes(b ^ key[i % 4] for i, b in enumerate(payload))
    return head + payload


def message(id_, method, **params):
    body = {"id": id_, "method": method}
    if params:
        body["params"] = params
    return frame(json.dumps(body, separators=(",", ":")))


run = message(9, "Runtime.runIfWaitingForDebugger")

transport = {
    "handshake-only": upgrade(),
    "run-at-once": upgrade() + run,
    "pause-step-resume": upgrade() + message(1, "Runtime.enable") + message(2, "Debugger.enable") + run
    + message(10, "Debugger.stepOver") + message(11, "Debugger.stepInto") + message(12, "Debugger.resume"),
    "breakpoint-evaluate": upgrade() + message(1, "Debugger.enable")
    + message(2, "Debugger.setBreakpointByUrl", lineNumber=2, url="file:///fuzz/debuggee.js") + run
    + message(10, "Debugger.evaluateOnCallFrame", callFrameId="1.1.1", expression="a + b")
    + message(11, "Runtime.getProperties", objectId="1.1.1") + message(12, "Debugger.resume"),
    "evaluate-before-run": upgrade() + message(1, "Runtime.evaluate", expression="1 + 1", returnByValue=True)
    + message(2, "Runtime.compileScript", expression="x y", sourceURL="a.js", persistScript=False) + run,
    "devtools-origin": upgrade(extra="Origin: devtools://devtools\r\n") + run,
    "refused-origin": upgrade(extra="Origin: http://example.test\r\n") + run,
    "refused-host": upgrade(host="example.test:9229") + run,
    "two-hosts": upgrade(extra="Host: localhost\r\n") + run,
    "ipv6-host": upgrade(host="[::1]:9229") + run,
    "binary-then-close": upgrade() + frame(b'{"id":1,"method":"Runtime.enable"}', opcode=2)
    + frame(struct.pack(">H", 1000) + b"bye", opcode=8),
    "fragments-and-ping": upgrade() + frame('{"id":1,"meth', fin=False) + frame(b"ping", opcode=9)
    + frame('od":"Runtime.enable"}', opcode=0) + run,
    "long-lengths": upgrade() + frame('{"id":1,"method":"Runtime.evaluate","params":{"expression":"'
                                      + "1+" * 100 + '1"}}') + run,
    "unmasked": upgrade() + frame('{"id":1,"method":"Runtime.enable"}', masked=False),
    "masked-key": upgrade() + frame('{"id":1,"method":"Runtime.enable"}', key=b"\x12\x34\x56\x78") + run,
    "half-request": upgrade()[:40],
    "not-json": upgrade() + frame("not json at all") + frame("{}") + frame("[1,2]") + run,
    "pause-on-exceptions": upgrade() + message(1, "Debugger.enable")
    + message(2, "Debugger.setPauseOnExceptions", state="all") + message(3, "Debugger.pause") + run
    + message(4, "Debugger.getScriptSource", scriptId="1") + message(5, "Debugger.resume"),
    "pause-inside-evaluate": upgrade() + message(1, "Debugger.enable")
    + message(2, "Runtime.evaluate", expression="debugger; 1", contextId=1),
    "profiler": upgrade() + message(1, "Profiler.enable") + message(2, "HeapProfiler.enable")
    + message(3, "Runtime.getHeapUsage") + run,
}

conversions = {
    "empty": b"",
    "ascii": b"hello, world",
    "utf8": "grüße, 世界, 😀".encode(),
    "invalid-utf8": b"a\xff\xfe\xc3(\xe2\x82\xf0\x9f\x98b\xed\xa0\x80",
    "zero-byte": b"a\0b",
    "message": b'{"id":1,"method":"Runtime.runIfWaitingForDebugger"}',
    "array": b"[1,2.5,-3e10,true,false,null]",
    "null": b"null",
    "string": b'"text with \\u0000 and \\ud800"',
    "no-string-form": b'{"a":{"toString":1,"valueOf":2},"b":[{"toString":{}}]}',
    "proto": b'{"__proto__":{"method":"x"},"constructor":1,"":""}',
    "json-with-zero": b'{"method":"a\0b"}',
    "nested": b"[" * 64 + b"]" * 64,
    "utf16": "ab\ud83d\ude00".encode("utf-16-le", "surrogatepass") + b"\x00\xd8",
}

paths = {
    "found": b"\0a.b.f",
    "count": b"\0calls.count",
    "throws": b"\0calls.throws",
    "getter-throws": b"\0getter.f",
    "trap-throws": b"\0proxy.boom",
    "empty-parts": b"\0..",
    "empty-name": b"\0.",
    "nothing": b"\0",
    "trailing-dot": b"\0a.b.f.",
    "not-object": b"\0a.s.toString",
    "function-member": b"\0fn.inner",
    "inherited": b"\0inherits.inherited",
    "cycle": b"\0cycle.cycle.a.b.f",
    "unicode": "\0x y.ü".encode(),
    "zero-in-name": b"\0x y.a\0b",
    "global-math": b"\1Math.max",
    "global-json": b"\1JSON.stringify",
    "windows-module": b"\2C:\\Users\\a b\\m.mjs",
    "share": b"\0\\\\server\\share\\x.js",
    "posix": b"\0/tmp/a b/c.js",
    "relative-module": b"\2lib/mod.mjs",
    "invalid-utf8": b"\0a\xff.b",
}

for name, seeds in (("debugger_transport", transport), ("conversions", conversions),
                    ("paths_and_origins", paths)):
    folder = here / "corpus" / name
    folder.mkdir(parents=True, exist_ok=True)
    for seed, data in seeds.items():
        (folder / seed).write_bytes(data)
