// Arbitrary JavaScript values as the arguments of host functions.
//
// One V8Runtime exposes a host function per conversion (below). Each input
// is read by the harness in JavaScript (kHarness) as: the function to call,
// how many arguments to give it, then a recipe for each argument: numbers at
// the edges of every integer type, -0, NaN, BigInts, strings with U+0000 and
// lone surrogates, nested arrays and objects, functions, symbols, cycles and
// shared objects, getters and proxy traps that throw, proxies, boxed
// primitives, sparse and huge arrays. The recipe is built twice: one copy
// for the call, one for a model of the conversions written in JavaScript
// from their documented rules, which predicts one of three outcomes:
//
//   - the call goes through, and the host function, which echoes what it
//     got, gives back what JavaScript gave by JavaScript's own comparison
//     (the same number, the same string with lone surrogates as U+FFFD,
//     the same data for JSON, the very object for handles and functions);
//   - the call is refused with a TypeError whose message starts with the
//     function's path, the argument's position and the place inside it
//     ("fuzz.echo.lists: argument 1: key[2]: expected ...");
//   - a getter or trap throws, and what it threw comes out unchanged.
//
// The function with V8's fast path (fuzz.echo.add) is called once more from
// a call site that V8 has optimised, where the fast path may be taken: the
// outcome must be the same. The harness returns "" when the calls did what
// the model says, else what differed, which breaks the check below.
//
// Input: a byte choosing the function, a byte choosing the argument count
// (below 160: the count the function takes, else the byte modulo 5; always
// modulo 5 for the function of Rest), a byte choosing what getters throw,
// then the arguments' recipes (see Builder).

#include "support/Check.h"

#include <qor/javascript/HostFunctions.h>
#include <qor/javascript/JsonConversion.h>
#include <qor/javascript/V8Helper.h>
#include <qor/javascript/V8Runtime.h>

#include <v8-initialization.h>
#include <v8-primitive.h>

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace {

namespace js = qor::format::engine::javascript;

// The harness: fuzzHarness(bytes), bytes a string of one unit per input byte.
constexpr std::string_view kHarness = R"js(
'use strict';
(function () {
const F = globalThis.fuzz;
const TWO53N = 2n ** 53n;

// ---- What the conversions should do ----------------------------------------

// A string as it comes back from UTF-8: each lone surrogate is U+FFFD.
function wellFormed(text) {
    let out = '';
    for (let i = 0; i < text.length; ++i) {
        const unit = text.charCodeAt(i);
        if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < text.length) {
            const next = text.charCodeAt(i + 1);
            if (next >= 0xDC00 && next <= 0xDFFF) {
                out += text[i] + text[i + 1];
                ++i;
                continue;
            }
        }
        out += unit >= 0xD800 && unit <= 0xDFFF ? '\uFFFD' : text[i];
    }
    return out;
}

// A refusal at a place: segments from the outside in, each a key or an index.
const refused = (segments = []) => ({ ok: false, segments });
const accepted = (out) => ({ ok: true, out });
const placed = (segment, result) => result.ok ? result : refused([segment, ...result.segments]);

// V8 sees a proxy as no array, though Array.isArray looks through it.
let proxies = new WeakSet();
const isArray = (value) => Array.isArray(value) && !proxies.has(value);
const isObject = (value) => (typeof value === 'object' && value !== null) || typeof value === 'function';

function integer(value, lowest, highest, bigIntToo) {
    if (typeof value === 'number' && Number.isInteger(value) && value >= lowest && value <= highest)
        return accepted(value + 0);
    if (bigIntToo && typeof value === 'bigint' && value >= BigInt(lowest) && value <= BigInt(highest))
        return accepted(value);
    return refused();
}

// 64-bit integers come back as Numbers up to 2^53, BigInts beyond.
function wide(result) {
    if (!result.ok)
        return result;
    const big = BigInt(result.out);
    return accepted(big >= -TWO53N && big <= TWO53N ? Number(big) : big);
}

// Longer arrays are refused whole, before any element is read.
const LONGEST_ARRAY = 2 ** 24;

function eachOfArray(value, element) {
    if (!isArray(value) || value.length > LONGEST_ARRAY)
        return refused();
    const out = [];
    const length = value.length;
    for (let i = 0; i < length; ++i) {
        const result = element(value[i]);
        if (!result.ok)
            return placed({ index: i }, result);
        out.push(result.out);
    }
    return accepted(out);
}

function eachOfObject(value, element) {
    if (!isObject(value) || isArray(value) || typeof value === 'function')
        return refused();
    const out = new Map();
    for (const key of Object.keys(value)) {
        const name = wellFormed(key);
        const result = element(value[key]);
        if (!result.ok)
            return placed({ key: name }, result);
        out.set(name, result.out);
    }
    return accepted(out);
}

function json(value, ancestors) {
    if (value === undefined || value === null)
        return accepted(null);
    if (typeof value === 'boolean')
        return accepted(value);
    if (typeof value === 'string')
        return accepted(wellFormed(value));
    if (typeof value === 'number') {
        if (!Number.isFinite(value))
            return refused();
        return accepted(value + 0);
    }
    if (typeof value !== 'object')
        return refused();
    if (ancestors.includes(value) || ancestors.length >= 1000 || (isArray(value) && value.length > LONGEST_ARRAY))
        return refused();
    ancestors.push(value);
    let result;
    if (isArray(value)) {
        const out = [];
        result = accepted(out);
        for (let i = 0; i < value.length; ++i) {
            const element = json(value[i], ancestors);
            if (!element.ok) {
                result = placed({ index: i }, element);
                break;
            }
            out.push(element.out);
        }
    } else {
        const out = new Map();
        result = accepted(out);
        for (const key of Object.keys(value)) {
            const member = value[key];
            if (member === undefined)
                continue;
            const name = wellFormed(key);
            const element = json(member, ancestors);
            if (!element.ok) {
                result = placed({ key: name }, element);
                break;
            }
            out.set(name, element.out);
        }
    }
    ancestors.pop();
    return result;
}

const CONVERT = {
    bool: (v) => typeof v === 'boolean' ? accepted(v) : refused(),
    int8: (v) => integer(v, -128, 127, false),
    int32: (v) => integer(v, -(2 ** 31), 2 ** 31 - 1, false),
    uint32: (v) => integer(v, 0, 2 ** 32 - 1, false),
    // Number bounds that are doubles: 2^63 and 2^64 are the first past the range.
    int64: (v) => wide(typeof v === 'number' ? (v < 2 ** 63 ? integer(v, -(2 ** 63), 2 ** 63, false) : refused())
                                             : integer(v, -(2n ** 63n), 2n ** 63n - 1n, true)),
    uint64: (v) => wide(typeof v === 'number' ? (v < 2 ** 64 ? integer(v, 0, 2 ** 64, false) : refused())
                                              : integer(v, 0n, 2n ** 64n - 1n, true)),
    double: (v) => typeof v === 'number' ? accepted(v) : refused(),
    string: (v) => typeof v === 'string' ? accepted(wellFormed(v)) : refused(),
    optint: (v) => v === undefined || v === null ? accepted(null) : integer(v, -(2 ** 31), 2 ** 31 - 1, false),
    strings: (v) => eachOfArray(v, CONVERT.string),
    ints: (v) => eachOfArray(v, CONVERT.int32),
    numbers: (v) => eachOfObject(v, CONVERT.double),
    lists: (v) => eachOfObject(v, CONVERT.ints),
    json: (v) => json(v, []),
    function: (v) => typeof v === 'function' ? accepted(v) : refused(),
    object: (v) => isObject(v) ? accepted(v) : refused(),
};

// ---- Comparing what came back ---------------------------------------------------

function canonical(value) {
    if (value === null)
        return 'null';
    if (typeof value === 'number')
        return Object.is(value, -0) ? '-0' : String(value);
    if (typeof value === 'bigint')
        return String(value) + 'n';
    if (typeof value === 'boolean')
        return String(value);
    if (typeof value === 'string')
        return JSON.stringify(value);
    if (Array.isArray(value))
        return '[' + value.map(canonical).join(',') + ']';
    if (value instanceof Map)
        return '{' + [...value.keys()].sort().map((k) => JSON.stringify(k) + ':' + canonical(value.get(k))).join(',') + '}';
    if (typeof value === 'object' && Object.getPrototypeOf(value) === Object.prototype)
        return '{' + Object.keys(value).sort().map((k) => JSON.stringify(k) + ':' + canonical(value[k])).join(',') + '}';
    return '<' + typeof value + '>';
}

const same = (actual, expected) => canonical(actual) === canonical(expected);
const identical = (actual, expected) => actual === expected;

// Every host function: its path, its parameters, and how its result compares.
const FUNCTIONS = [
    { name: 'bool', params: ['bool'] },
    { name: 'int8', params: ['int8'] },
    { name: 'int32', params: ['int32'] },
    { name: 'uint32', params: ['uint32'] },
    { name: 'int64', params: ['int64'] },
    { name: 'uint64', params: ['uint64'] },
    { name: 'double', params: ['double'] },
    { name: 'string', params: ['string'] },
    { name: 'view', params: ['string'] },
    { name: 'optional', params: ['optint'], optional: 1 },
    { name: 'strings', params: ['strings'] },
    { name: 'numbers', params: ['numbers'] },
    { name: 'lists', params: ['lists'] },
    { name: 'json', params: ['json'] },
    { name: 'function', params: ['function'], compare: identical },
    { name: 'object', params: ['object'], compare: identical },
    { name: 'rest', params: [], rest: 'double' },
    { name: 'mixed', params: ['bool', 'string', 'optint'], optional: 1, result: (outs) => outs },
    // A fast path too, which cannot see arguments past the last: they are
    // ignored either way.
    { name: 'add', params: ['double', 'double'], result: (outs) => outs[0] + outs[1], extraIgnored: true,
      optimised: true },
    { name: 'invoke', params: ['function'], invoke: true },
].map((entry) => {
    const path = 'fuzz.echo.' + entry.name;
    const function_ = path.split('.').reduce((holder, part) => holder[part], globalThis);
    const most = entry.rest ? Infinity : entry.params.length;
    const least = entry.params.length - (entry.optional || 0);
    return { compare: same, result: (outs) => outs[0], ...entry, path, function: function_, least, most };
});

function arityText(entry, given) {
    const count = (n) => n + (n === 1 ? ' argument' : ' arguments');
    const expected = entry.most === Infinity ? 'at least ' + count(entry.least)
                   : entry.least === entry.most ? count(entry.least)
                   : entry.least + ' to ' + count(entry.most);
    return entry.path + ': expected ' + expected + ', got ' + given;
}

// A key is shown as itself when it is a plain name, else quoted in
// brackets, so that a place reads one way only.
const keyText = (key) => /^[A-Za-z_$][A-Za-z0-9_$]*$/.test(key) ? key
                       : '["' + key.replace(/["\\]/g, '\\$&') + '"]';

function placeText(segments) {
    return segments.map((s, i) => {
        if ('index' in s)
            return '[' + s.index + ']';
        const text = keyText(s.key);
        return (i === 0 || text.startsWith('[') ? '' : '.') + text;
    }).join('');
}

// "" when `message` is the refusal the model expects, else what is wrong.
function checkRefusal(message, prefix, segments) {
    if (!message.startsWith(prefix))
        return 'the message does not start with ' + JSON.stringify(prefix);
    const rest = message.slice(prefix.length);
    if (segments.length === 0)
        return rest.startsWith('expected ') ? '' : 'the refusal is placed, but the value itself was refused';
    const place = placeText(segments);
    if (rest.startsWith('...')) {
        // A long place keeps its innermost end.
        const end = rest.indexOf(': expected ');
        const kept = rest.slice(3, end);
        return end > 0 && place.length > 200 && place.endsWith(kept) ? '' :
            'the place was cut wrongly, expected the end of ' + JSON.stringify(place);
    }
    return rest.startsWith(place + ': expected ') ? '' : 'expected the place ' + JSON.stringify(place);
}

// ---- The values -------------------------------------------------------------------

const NUMBERS = [0, -0, 1, -1, 1.5, -1.5, 0.1, NaN, Infinity, -Infinity, 127, 128, -128, -129, 255, 256,
                 2 ** 31 - 1, 2 ** 31, -(2 ** 31), -(2 ** 31) - 1, 2 ** 32 - 1, 2 ** 32, 2 ** 53 - 1, 2 ** 53,
                 2 ** 53 + 2, -(2 ** 53), -(2 ** 53) - 2, 2 ** 63, -(2 ** 63), 2 ** 63 - 1024, 2 ** 64,
                 2 ** 64 - 2048, 1e300, -1e300, 5e-324, Number.MAX_VALUE, 4294967295.5, -0.5];
const BIGINTS = [0n, 1n, -1n, 127n, 2n ** 31n, 2n ** 53n, 2n ** 53n + 1n, -(2n ** 53n) - 1n, 2n ** 63n - 1n,
                 2n ** 63n, -(2n ** 63n), -(2n ** 63n) - 1n, 2n ** 64n - 1n, 2n ** 64n, 2n ** 100n, -(2n ** 100n)];
const STRINGS = ['', 'a', 'text', '\0', 'a\0b', '\uD800', '\uDC00', 'x\uDBFFy', '\uDC00\uD800', '\uD83D\uDE00',
                 'grüße', '1.5', '0', 'true', 'x'.repeat(40), '\uD800'.repeat(30), 'a: expected b'];
const KEYS = ['a', 'b', 'c', '', '0', '1', '10', '4294967295', '__proto__', 'constructor', 'length', 'toString',
              'a.b', '\0', '\uD800', '\uDC00', 'é', '\uD83D\uDE00', 'k'.repeat(120), '[x]', 'expected x', '...',
              'x: expected y', '-0', 'NaN'];
const UNITS = [0, 0x7F, 0x80, 0xFF, 0x100, 0x7FF, 0x800, 0xD7FF, 0xD800, 0xDBFF, 0xDC00, 0xDFFF, 0xE000, 0xFFFD,
               0xFFFF, 0xD83D, 0xDE00, 0x2028];
const LENGTHS = [0, 1, 7, 1000, 2 ** 20, 2 ** 32 - 1];

// Builds the values a recipe describes; the same recipe always makes the
// same values (but new objects).
function Builder(bytes, start, sentinel) {
    let position = start;
    let budget = 300;
    const made = [];
    const next = () => position < bytes.length ? bytes.charCodeAt(position++) : 0;
    const pick = (list) => list[next() % list.length];
    const proxy = (target, handler) => {
        const wrapped = new Proxy(target, handler);
        proxies.add(wrapped);
        return wrapped;
    };
    // Defined, not assigned: "__proto__" stays a key, and a getter met
    // under the same key is replaced rather than refusing the write.
    const member = (holder, key, value, get) => Object.defineProperty(holder, key,
        get ? { get, enumerable: true, configurable: true }
            : { value, enumerable: true, writable: true, configurable: true });
    const throwing = () => { throw sentinel; };

    const container = (value) => { made.push(value); return value; };

    const functions = [
        (depth) => { const value = build(depth + 1); return () => value; },
        () => throwing,
        () => F.echo.optional,
        () => F.echo.rest,
        () => F.echo.int8,
        () => async () => 1,
        () => class {},
        () => function* generator() {},
        () => function bound() { return 'bound'; }.bind(null),
        () => proxy(() => 'through', {}),
        () => Math.max,
        (depth) => Object.assign(() => null, { a: build(depth + 1) }),
    ];

    const exotic = [
        (depth) => { const target = build(depth + 1); return proxy(isObject(target) ? target : {}, {}); },
        () => proxy({ a: 1 }, { ownKeys: throwing }),
        () => proxy({ a: 1 }, { get: throwing }),
        () => proxy({ a: 1 }, { getOwnPropertyDescriptor: throwing }),
        () => proxy([1, 2], {}),
        () => new String(pick(STRINGS)),
        () => new Number(pick(NUMBERS)),
        () => Object(pick(BIGINTS)),
        (depth) => { const o = container(Object.create({ inherited: 1 })); member(o, 'own', build(depth + 1)); return o; },
        (depth) => {
            const o = container({ a: build(depth + 1) });
            o[Symbol('key')] = 1;
            Object.defineProperty(o, 'hidden', { value: 'x', enumerable: false });
            Object.defineProperty(o, 'hiddenGetter', { get: throwing, enumerable: false });
            return o;
        },
        (depth) => { const a = container([build(depth + 1)]); member(a, 2, build(depth + 1)); return a; },
        (depth) => { const a = container([build(depth + 1)]); member(a, 'extra', build(depth + 1)); return a; },
        () => {
            // As deep as JSON may be, one more, and one less.
            const levels = 999 + next() % 3;
            const asObject = next() & 1;
            let value = asObject ? {} : [];
            for (let i = 1; i < levels; ++i)
                value = asObject ? { a: value } : [value];
            return value;
        },
        () => new Date(0),
        () => new Uint8Array([1, 2, 255]),
        (depth) => {
            // The first element is refused by every conversion that reads it,
            // so that no walk goes far into a long array.
            const a = new Array(pick(LENGTHS));
            if (a.length > 0)
                a[0] = Symbol('first');
            if (a.length > 1)
                a[a.length - 1] = build(depth + 1);
            return a;
        },
        () => ({ toString: throwing, valueOf: throwing, toJSON: throwing, [Symbol.toPrimitive]: throwing }),
        (depth) => { const o = container(Object.create(null)); member(o, pick(KEYS), build(depth + 1)); return o; },
        (depth) => Object.freeze(container({ [pick(KEYS)]: build(depth + 1) })),
        (depth) => (function () { return arguments; })(build(depth + 1), build(depth + 1)),
        () => new Map([[1, 2]]),
        () => Symbol.iterator,
        () => pick([undefined, null, true, false]),
    ];

    function build(depth) {
        const tag = next() % 18;
        if (--budget < 0 || (depth >= 5 && tag >= 10))
            return pick(NUMBERS);
        switch (tag) {
        case 0: return undefined;
        case 1: return null;
        case 2: return true;
        case 3: return false;
        case 4: return pick(NUMBERS);
        case 5: return next() - 128;
        case 6: {
            const view = new DataView(new ArrayBuffer(8));
            for (let i = 0; i < 8; ++i)
                view.setUint8(i, next());
            return view.getFloat64(0);
        }
        case 7: return pick(BIGINTS);
        case 8: return pick(STRINGS);
        case 9: {
            let text = '';
            for (let n = next() % 12; n > 0; --n) {
                const byte = next();
                text += String.fromCharCode(byte < 0x80 ? byte : UNITS[byte % UNITS.length]);
            }
            return text;
        }
        case 10: {
            const array = container([]);
            for (let n = next() % 6; n > 0; --n)
                array.push(build(depth + 1));
            return array;
        }
        case 11: {
            const object = container({});
            for (let n = next() % 6; n > 0; --n) {
                const key = pick(KEYS);
                member(object, key, build(depth + 1));
            }
            return object;
        }
        case 12: return pick(functions)(depth);
        case 13: return Symbol(pick(STRINGS));
        case 14: return made.length > 0 ? made[next() % made.length] : {};
        case 15: {
            // A getter, among members: one that throws or one that gives a value.
            const kind = next() % 4;
            const holder = container(kind & 2 ? [] : {});
            const key = () => kind & 2 ? holder.length : pick(KEYS);
            for (let n = next() % 3; n > 0; --n)
                member(holder, key(), build(depth + 1));
            const value = build(depth + 1);
            member(holder, key(), undefined, kind & 1 ? throwing : () => value);
            for (let n = next() % 2; n > 0; --n)
                member(holder, key(), build(depth + 1));
            return holder;
        }
        case 16: return pick(exotic)(depth);
        default: return pick([-(2 ** 31), 2 ** 31, 2 ** 32, 2 ** 53, 2 ** 63, 2 ** 64, 128, 256]) + (next() % 5) - 2;
        }
    }

    // A short account of the recipe, for a report.
    const trace = () => Array.from(bytes.slice(start, position), (c) => c.charCodeAt(0)).join(',');
    return { build: () => build(0), trace };
}

// Throws neither from the value's own code nor for any value.
function show(value) {
    try {
        if (value instanceof Error)
            return value.name + ': ' + value.message;
        if (typeof value === 'string')
            return JSON.stringify(value);
        if (typeof value === 'bigint')
            return value + 'n';
        if (typeof value === 'symbol')
            return value.toString();
        if (isObject(value))
            return canonical(value);
        return Object.is(value, -0) ? '-0' : String(value);
    } catch (e) {
        return '<unshowable>';
    }
}

// ---- One input ------------------------------------------------------------------------

const SENTINELS = [() => new Error('thrown by a getter'), () => 'thrown text', () => 42, () => Symbol('thrown')];

function run(bytes) {
    proxies = new WeakSet();
    const at = (i) => i < bytes.length ? bytes.charCodeAt(i) : 0;
    const entry = FUNCTIONS[at(0) % FUNCTIONS.length];
    const countByte = at(1);
    const sentinel = SENTINELS[at(2) % SENTINELS.length]();
    const count = countByte < 160 && !entry.rest ? entry.most : countByte % 5;

    const arguments_ = () => {
        const builder = Builder(bytes, 3, sentinel);
        const values = [];
        for (let i = 0; i < count; ++i)
            values.push(builder.build());
        return { values, trace: builder.trace };
    };
    const forModel = arguments_();
    const forCall = arguments_();
    const describe = () => entry.path + ' with ' + count + ' arguments: ' +
        forModel.values.map(show).join(', ') + ' (recipe ' + forModel.trace() + ')';

    // What the model says: arity, then each argument in order.
    let expected;
    try {
        if (count < entry.least || (count > entry.most && !entry.extraIgnored)) {
            expected = { kind: 'refused', message: arityText(entry, count) };
        } else {
            const outs = [];
            for (let i = 0; i < (entry.rest ? count : entry.params.length) && !expected; ++i) {
                const type = i < entry.params.length ? entry.params[i] : entry.rest;
                const result = CONVERT[type](forModel.values[i]);
                if (!result.ok)
                    expected = { kind: 'refused', prefix: entry.path + ': argument ' + (i + 1) + ': ',
                                 segments: result.segments };
                outs.push(result.out);
            }
            if (!expected)
                expected = { kind: 'ok', result: entry.rest ? outs : entry.result(outs), function: forModel.values[0] };
        }
    } catch (e) {
        if (e !== sentinel)
            return 'the model threw ' + show(e) + ' for ' + describe();
        expected = { kind: 'thrown' };
    }

    const wrong = verdict(entry, expected, sentinel, forCall.values, (values) => entry.function(...values));
    if (wrong !== '' || !entry.optimised)
        return wrong === '' ? '' : wrong + '\n  call: ' + describe();
    // The same call again from optimised code, where V8 calls the function's
    // fast path when the arguments suit it: the outcome must not change.
    const site = optimisedSite(count);
    const warm = arguments_();
    for (let i = 0; i < 2; ++i) {
        try {
            site(...warm.values);
        } catch (e) {
        }
    }
    %OptimizeFunctionOnNextCall(site);
    const fast = verdict(entry, expected, sentinel, arguments_().values, (values) => site(...values));
    return fast === '' ? '' : 'from optimised code: ' + fast + '\n  call: ' + describe();
}

// A new function calling fuzz.echo.add with `count` arguments, with
// feedback of its own.
let sites = 0;
function optimisedSite(count) {
    const names = ['a', 'b', 'c', 'd'].slice(0, count);
    const site = new Function('add', `// ${++sites}\nreturn (${names}) => add(${names});`)(F.echo.add);
    %PrepareFunctionForOptimization(site);
    return site;
}

// "" when calling `call` with `values` did what `expected` says, else what
// differed.
function verdict(entry, expected, sentinel, values, call) {
    let actual;
    let caught;
    let threw = false;
    try {
        actual = call(values);
    } catch (e) {
        threw = true;
        caught = e;
    }

    const failed = (what) => what + '\n  expected: ' + expected.kind + '\n  got: ' +
        (threw ? 'thrown ' + show(caught) : 'returned ' + show(actual));
    if (expected.kind === 'thrown') {
        if (!threw || caught !== sentinel)
            return failed('what a getter or trap threw did not come through');
        return '';
    }
    if (expected.kind === 'refused') {
        if (!threw || !(caught instanceof TypeError))
            return failed('a refusal was no TypeError');
        if (expected.message !== undefined)
            return caught.message === expected.message ? '' : failed('expected the message ' + expected.message);
        const wrong = checkRefusal(caught.message, expected.prefix, expected.segments);
        return wrong === '' ? '' : failed(wrong);
    }
    if (entry.invoke)
        return checkInvoke(expected.function, actual, caught, threw, failed);
    if (threw)
        return failed('a call that converts threw');
    if (entry.compare === identical ? actual !== values[0] : !same(actual, expected.result))
        return failed('what came back differs from what was given, expected ' + show(expected.result));
    return '';
}

// fuzz.echo.invoke calls the function from C++ and gives back its result as
// JSON data; a failure of the call, or of its result, is an Error.
function checkInvoke(function_, actual, caught, threw, failed) {
    let result;
    try {
        result = json(function_(), []);
    } catch (e) {
        return threw && caught instanceof Error ? '' : failed('the function threw, the call did not fail');
    }
    if (!result.ok)
        return threw && caught instanceof Error && caught.message.startsWith('the function: its result: ') ? '' :
            failed('a refused result was not reported as one');
    if (threw)
        return failed('a call whose result converts threw');
    return same(actual, result.out) ? '' : failed('the result differs, expected ' + show(result.out));
}

globalThis.fuzzHarness = run;
})();
)js";

void exposeAll(js::V8Runtime& runtime)
{
    const auto check = [](std::expected<void, js::Error> exposed) {
        FUZZ_CHECK(exposed.has_value(), exposed ? std::string() : exposed.error().message);
    };
    check(js::expose(runtime, "fuzz.echo.bool", [](bool value) { return value; }));
    check(js::expose(runtime, "fuzz.echo.int8", [](std::int8_t value) { return value; }));
    check(js::expose(runtime, "fuzz.echo.int32", [](std::int32_t value) { return value; }));
    check(js::expose(runtime, "fuzz.echo.uint32", [](std::uint32_t value) { return value; }));
    check(js::expose(runtime, "fuzz.echo.int64", [](std::int64_t value) { return value; }));
    check(js::expose(runtime, "fuzz.echo.uint64", [](std::uint64_t value) { return value; }));
    check(js::expose(runtime, "fuzz.echo.double", [](double value) { return value; }));
    check(js::expose(runtime, "fuzz.echo.string", [](std::string value) { return value; }));
    // Gives back a view of the argument's own bytes, which must live until
    // the result is made.
    check(js::expose(runtime, "fuzz.echo.view", [](std::string_view value) { return value; }));
    check(js::expose(runtime, "fuzz.echo.optional", [](std::optional<int> value) { return value; }));
    check(js::expose(runtime, "fuzz.echo.strings", [](std::vector<std::string> value) { return value; }));
    check(js::expose(runtime, "fuzz.echo.numbers", [](std::map<std::string, double> value) { return value; }));
    check(js::expose(runtime, "fuzz.echo.lists",
                     [](std::unordered_map<std::string, std::vector<int>> value) { return value; }));
    check(js::expose(runtime, "fuzz.echo.json", [](nlohmann::json value) { return value; }));
    check(js::expose(runtime, "fuzz.echo.function", [](js::JsFunction value) { return value; }));
    check(js::expose(runtime, "fuzz.echo.object", [](v8::Local<v8::Object> value) { return value; }));
    check(js::expose(runtime, "fuzz.echo.rest",
                     [](js::Rest<double> values) { return std::vector<double>(values.begin(), values.end()); }));
    check(js::expose(runtime, "fuzz.echo.mixed", [](bool flag, std::string_view text, std::optional<int> number) {
        return nlohmann::json::array({flag, text, number ? nlohmann::json(*number) : nlohmann::json()});
    }));
    // Captureless, noexcept and of doubles: also V8's fast path.
    check(js::expose(runtime, "fuzz.echo.add", [](double a, double b) noexcept { return a + b; }));
    check(js::expose(runtime, "fuzz.echo.invoke", [](js::JsFunction function) { return function.call<nlohmann::json>(); }));
}

// The runtime, made once with the harness in it. libFuzzer leaves through
// exit(), whose handlers shut V8 down (V8Engine's holder): an isolate left
// alive then still has TurboFan jobs on V8's worker threads, which crash as
// V8 goes. So the runtime goes first, disposing of its isolate properly: V8's
// holder is made inside the runtime's constructor, before this static is
// complete, and is therefore destroyed after it.
js::V8Runtime& runtime()
{
    static const std::unique_ptr<js::V8Runtime> made = [] {
        // The harness has V8 optimise a call site (%OptimizeFunctionOnNextCall).
        v8::V8::SetFlagsFromString("--allow-natives-syntax");
        js::V8Runtime::Settings settings;
        // An async function's promise is no failure of the input.
        settings.onUnhandledRejection = [](const js::Error&) { return true; };
        auto runtime = std::make_unique<js::V8Runtime>(std::move(settings));
        exposeAll(*runtime);
        js::V8Runtime::Scope scope(*runtime);
        auto ran = runtime->runScript(js::Source{kHarness, "fuzz/host_arguments.js"});
        FUZZ_CHECK(ran.has_value(), ran ? std::string() : js::V8Runtime::describe(ran.error()));
        return runtime;
    }();
    return *made;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    js::V8Runtime& runtime = ::runtime();
    {
        js::V8Runtime::Scope scope(runtime);
        v8::Isolate* isolate = runtime.isolate();
        v8::Local<v8::String> bytes =
            v8::String::NewFromOneByte(isolate, data, v8::NewStringType::kNormal, static_cast<int>(size))
                .ToLocalChecked();
        auto checked = runtime.call("fuzzHarness", {bytes});
        FUZZ_CHECK(checked.has_value(), checked ? std::string() : js::V8Runtime::describe(checked.error()));
        const v8::Local<v8::Value> verdict = *checked;
        FUZZ_CHECK(verdict->IsString() && verdict.As<v8::String>()->Length() == 0,
                   js::V8Helper::qor_string(verdict->ToString(runtime.context()).ToLocalChecked(), isolate));
    }
    // V8's own tasks (garbage collection among them), so that they do not
    // pile up from one input to the next.
    auto ready = runtime.runReady();
    FUZZ_CHECK(ready.has_value(), ready ? std::string() : js::V8Runtime::describe(ready.error()));
    return 0;
}
