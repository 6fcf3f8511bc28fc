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



# The host_arguments seeds are recipes that HostArgumentsFuzzer.cc's harness
# reads: a function, an argument count (below 160: the function's own), what
# a getter throws, then each argument's value. The numbers below are indices
# into the harness's tables (NUMBERS, BIGINTS, STRINGS, KEYS, its functions
# and exotic values) and must follow them.
FUNCTIONS = ["bool", "int8", "int32", "uint32", "int64", "uint64", "double", "string", "view", "optional",
             "strings", "numbers", "lists", "json", "function", "object", "rest", "mixed", "add", "invoke"]
N_MINUS_ZERO, N_HALF, N_NAN, N_INFINITY, N_127, N_128, N_MINUS_129 = 1, 4, 7, 8, 10, 11, 13
N_2_31, N_2_32_LESS_1, N_2_53, N_2_63, N_2_63_LESS, N_2_64, N_2_64_LESS, N_1E300 = 17, 20, 23, 27, 29, 30, 31, 32
B_2_53_MORE, B_2_63_LESS_1, B_2_63, B_MINUS_2_63, B_2_64_LESS_1, B_2_64 = 6, 8, 9, 10, 12, 13
S_ZERO, S_A_ZERO_B, S_HIGH, S_LOW, S_PAIR, S_LONG, S_EXPECTED = 3, 4, 5, 6, 9, 14, 16
K_A, K_B, K_EMPTY, K_ONE, K_PROTO, K_HIGH, K_LONG, K_BRACKET, K_EXPECTED, K_DOTS = 0, 1, 3, 5, 8, 14, 18, 19, 20, 21
UNITS = [0, 0x7F, 0x80, 0xFF, 0x100, 0x7FF, 0x800, 0xD7FF, 0xD800, 0xDBFF, 0xDC00, 0xDFFF, 0xE000, 0xFFFD,
         0xFFFF, 0xD83D, 0xDE00, 0x2028]
UNDEFINED, NULL, TRUE, FALSE = [0], [1], [2], [3]


def call(function, *arguments, count=0, sentinel=0):
    return bytes([FUNCTIONS.index(function), count, sentinel]) + b"".join(bytes(a) for a in arguments)


def number(i): return [4, i]
def small(n): return [5, n + 128]
def double(x): return [6] + list(struct.pack(">d", x))
def bigint(i): return [7, i]
def string(i): return [8, i]
def symbol(): return [13, 0]
def back(i): return [14, i]
def boundary(i, delta): return [17, i, delta + 2]
def function(i, *rest): return [12, i] + sum(rest, [])
def exotic(i, *rest): return [16, i] + sum(rest, [])
def array(*elements): return [10, len(elements)] + sum(elements, [])
def object(*members): return [11, len(members)] + sum(([key] + value for key, value in members), [])


def text(*units):
    # A unit past ASCII is written as a byte whose remainder picks it in UNITS.
    out = [9, len(units)]
    for unit in units:
        out.append(unit if unit < 0x80 else next(b for b in range(0x80, 0x100) if b % len(UNITS) == UNITS.index(unit)))
    return out


def getter(throws, in_array, members, value, trailing=()):
    """Members, then a getter giving `value` (or throwing), then more members."""
    kind = (1 if throws else 0) | (2 if in_array else 0)
    out = [15, kind, len(members)]
    for key, member in members:
        out += ([] if in_array else [key]) + member
    out += value + ([] if in_array else [K_B])
    out += [len(trailing)]
    for key, member in trailing:
        out += ([] if in_array else [key]) + member
    return out


host_arguments = {
    "bool": call("bool", TRUE),
    "bool-refused": call("bool", number(1)),
    "int8-127": call("int8", number(N_127)),
    "int8-128": call("int8", number(N_128)),
    "int8-minus-zero": call("int8", number(N_MINUS_ZERO)),
    "int8-below": call("int8", number(N_MINUS_129)),
    "int32-2-31": call("int32", number(N_2_31)),
    "int32-half": call("int32", number(N_HALF)),
    "uint32-top": call("uint32", number(N_2_32_LESS_1)),
    "uint32-negative": call("uint32", small(-1)),
    "int64-2-53": call("int64", number(N_2_53)),
    "int64-2-63": call("int64", number(N_2_63)),
    "int64-below-2-63": call("int64", number(N_2_63_LESS)),
    "int64-bigint": call("int64", bigint(B_2_63_LESS_1)),
    "int64-bigint-past": call("int64", bigint(B_2_63)),
    "int64-bigint-least": call("int64", bigint(B_MINUS_2_63)),
    "int64-2-53-plus-1": call("int64", bigint(B_2_53_MORE)),
    "uint64-top": call("uint64", bigint(B_2_64_LESS_1)),
    "uint64-past": call("uint64", bigint(B_2_64)),
    "uint64-2-64": call("uint64", number(N_2_64)),
    "uint64-below-2-64": call("uint64", number(N_2_64_LESS)),
    "uint64-boundary": call("uint64", boundary(5, -1)),
    "double-nan": call("double", number(N_NAN)),
    "double-raw": call("double", double(-0.0)),
    "string-zero": call("string", string(S_A_ZERO_B)),
    "string-surrogates": call("string", text(0xD800, 0x41, 0xDC00, 0xD83D, 0xDE00)),
    "view-lone": call("view", string(S_HIGH)),
    "view-long": call("view", string(S_LONG)),
    "optional-none": call("optional", count=160),
    "optional-null": call("optional", NULL),
    "optional-too-many": call("optional", small(1), small(2), count=162),
    "strings": call("strings", array(string(0), string(S_ZERO), string(S_PAIR), text(0xDFFF))),
    "strings-refused": call("strings", array(string(1), number(1))),
    "strings-getter": call("strings", getter(True, True, [(0, string(1))], string(1))),
    "strings-sparse": call("strings", exotic(10, string(1), string(2))),
    # Reserved 2^32 - 1 strings before the fix: keep.
    "strings-huge-length": call("strings", exotic(15, [5])),
    "numbers": call("numbers", object((K_A, number(N_HALF)), (K_HIGH, number(N_NAN)), (K_PROTO, small(3)))),
    "numbers-getter": call("numbers", getter(False, False, [(K_A, small(1))], double(2.5))),
    "numbers-getter-throws": call("numbers", getter(True, False, [(K_A, small(1))], small(0)), sentinel=1),
    "numbers-array": call("numbers", array(small(1))),
    "numbers-proxy-keys": call("numbers", exotic(1), sentinel=2),
    "numbers-proxy-descriptor": call("numbers", exotic(3), sentinel=3),
    "numbers-boxed-string": call("numbers", exotic(5, [S_PAIR])),
    "lists": call("lists", object((K_A, array(small(1), small(-1))), (K_ONE, array()))),
    "lists-refused-inside": call("lists", object((K_A, array(small(1), number(N_HALF))))),
    "lists-long-key": call("lists", object((K_LONG, array(string(1))))),
    "lists-bracket-key": call("lists", object((K_BRACKET, array(string(1))))),
    "json": call("json", object((K_A, array(small(1), number(N_HALF), string(S_HIGH), NULL, UNDEFINED)),
                                (K_PROTO, object((K_EMPTY, TRUE))), (K_B, UNDEFINED))),
    "json-big-numbers": call("json", array(number(N_2_63), number(N_2_53), number(N_1E300), number(N_MINUS_ZERO))),
    "json-nan": call("json", array(small(1), number(N_NAN))),
    "json-bigint": call("json", object((K_A, bigint(0)))),
    "json-cycle": call("json", array(small(1), object((K_A, back(0))))),
    "json-shared": call("json", array(object((K_A, small(1))), back(1), back(1))),
    "json-deep-1000": call("json", exotic(12, [1, 0])),
    "json-deep-1001": call("json", exotic(12, [2, 1])),
    "json-getter-throws": call("json", object((K_A, getter(True, False, [], small(0)))), sentinel=0),
    "json-proxy-array": call("json", exotic(4)),
    "json-proxy": call("json", exotic(0, object((K_A, small(1))))),
    "json-typed-array": call("json", exotic(14)),
    "json-function": call("json", object((K_A, function(6)))),
    "json-symbol": call("json", array(symbol())),
    "json-no-own-code": call("json", exotic(16)),
    "json-inherited": call("json", exotic(8, small(2))),
    "json-hidden": call("json", exotic(9, small(2))),
    "json-arguments": call("json", exotic(19, small(1), string(1))),
    "json-null-prototype": call("json", exotic(17, [K_PROTO], small(1))),
    "json-key-expected": call("json", object((K_EXPECTED, object((K_DOTS, symbol()))))),
    "json-deep-place": call("json", object((K_LONG, object((K_LONG, array(symbol())))))),
    "function": call("function", function(8)),
    "function-refused": call("function", object()),
    "object": call("object", exotic(13)),
    "object-primitive": call("object", string(1)),
    "rest": call("rest", small(1), number(N_INFINITY), double(0.25), count=3),
    "rest-refused": call("rest", small(1), string(1), count=2),
    "mixed": call("mixed", FALSE, string(S_PAIR), small(7), count=163),
    "mixed-two": call("mixed", TRUE, string(S_ZERO), count=162),
    "mixed-refused": call("mixed", TRUE, small(1), count=162),
    "add": call("add", double(0.5), double(-0.5)),
    "add-refused": call("add", double(0.5), bigint(1)),
    "add-extra": call("add", double(1.5), small(2), string(1), count=163),
    "add-array": call("add", array(), small(1)),
    "add-one": call("add", small(1), count=161),
    "invoke-value": call("invoke", function(0, object((K_A, small(1))))),
    "invoke-throws": call("invoke", function(1), sentinel=3),
    "invoke-refused-result": call("invoke", function(10)),
    "invoke-host": call("invoke", function(4)),
    "invoke-async": call("invoke", function(5)),
    "invoke-class": call("invoke", function(6)),
    "invoke-getter-result": call("invoke", function(0, getter(True, False, [], small(0)))),
}



# The snapshot seeds: a byte choosing the form (see SnapshotBlobFuzzer.cc),
# then, for the edits of the real snapshot the fuzzer makes at start, each
# edit as a position and the byte to put there, and maybe a cut.
AS_GIVEN, RESEALED, EDITED, EDITED_RESEALED = 0, 1, 2, 3


def edits(mode, *changes, cut=None):
    out = bytes([mode])
    for position, value in changes:
        out += struct.pack("<IB", position, value)
    return out + (bytes([cut]) if cut is not None else b"")


header = b"QJSSNAP1" + b"0.1.0".ljust(16, b"\0") + b"10.2".ljust(32, b"\0") + bytes(40)
snapshot_blob = {
    "empty": bytes([AS_GIVEN]),
    "magic": bytes([AS_GIVEN]) + b"QJSSNAP1",
    "code-cache-magic": bytes([AS_GIVEN]) + b"QJSCODE1" + bytes(40),
    "header-only": bytes([RESEALED]) + header,
    "header-and-part": bytes([RESEALED]) + header + bytes(64),
    "real": edits(EDITED),
    "real-resealed": edits(EDITED_RESEALED),
    "real-cut-half": edits(EDITED, cut=128),
    "real-cut-short-resealed": edits(EDITED_RESEALED, cut=1),
    "real-library-version": edits(EDITED, (8, ord("9"))),
    "real-v8-version": edits(EDITED, (24, ord("9"))),
    "real-references": edits(EDITED_RESEALED, (60, 0)),
    "real-names-unended": edits(EDITED_RESEALED, (64, 6)),
    "real-name-changed": edits(EDITED_RESEALED, (96, ord("H"))),
    "real-blob-moved": edits(EDITED_RESEALED, (72, 113)),
    "real-blob-size": edits(EDITED_RESEALED, (80, 0), (81, 4)),
    "real-padding": edits(EDITED, (104, 1)),
    "real-part-flipped": edits(EDITED, (200000, 0x55)),
    "real-part-resealed": edits(EDITED_RESEALED, (200000, 0x55)),
    "real-part-version-resealed": edits(EDITED_RESEALED, (112 + 20, ord("x"))),
}

for name, seeds in (("debugger_transport", transport), ("conversions", conversions),
                    ("paths_and_origins", paths), ("host_arguments", host_arguments),
                    ("snapshot_blob", snapshot_blob)):
    folder = here / "corpus" / name
    folder.mkdir(parents=True, exist_ok=True)
    for seed, data in seeds.items():
        (folder / seed).write_bytes(data)
