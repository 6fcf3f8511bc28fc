#!/usr/bin/env node
// Turns the results that scripts/bench collected into docs/performance.md:
//   node bench/report.js RESULTS_DIR [HISTORY_DIR] > docs/performance.md
// RESULTS_DIR holds environment.txt, commands.txt, library.json (Google
// Benchmark's JSON) and one JSON object per debugger target (qorjs, node,
// echo, echo-nagle). HISTORY_DIR may hold earlier qorjs figures with a note,
// shown beside this run's for comparison.
'use strict';

const fs = require('fs');
const path = require('path');

const [resultsDir, historyDir] = process.argv.slice(2);
if (!resultsDir) {
    console.error('usage: node bench/report.js RESULTS_DIR [HISTORY_DIR]');
    process.exit(2);
}

const readJson = (file) => JSON.parse(fs.readFileSync(file, 'utf8'));
const readResult = (name) => {
    const file = path.join(resultsDir, `${name}.json`);
    return fs.existsSync(file) && fs.statSync(file).size > 0 ? readJson(file) : null;
};

// ---- formatting ------------------------------------------------------------

function duration(ns) {
    if (ns >= 1e6) return `${(ns / 1e6).toFixed(2)} ms`;
    if (ns >= 1e3) return `${(ns / 1e3).toFixed(2)} µs`;
    return `${ns.toFixed(1)} ns`;
}
const fixed = (value, digits = 2) => (value === undefined || value === null || Number.isNaN(value) ? '–' : value.toFixed(digits));
const grouped = (value) => Math.round(value).toLocaleString('en-US');
const times = (value) => `${fixed(value)}×`;
const yes = (ok) => (ok ? 'met' : '**not met**');
function table(header, rows) {
    const line = (cells) => `| ${cells.join(' | ')} |`;
    return [line(header), line(header.map(() => '---')), ...rows.map(line)].join('\n');
}

// ---- inputs ------------------------------------------------------------------

const environment = {};
for (const line of fs.readFileSync(path.join(resultsDir, 'environment.txt'), 'utf8').split('\n')) {
    const colon = line.indexOf(':');
    if (colon > 0) environment[line.slice(0, colon)] = line.slice(colon + 1).trim();
}
const commands = fs.readFileSync(path.join(resultsDir, 'commands.txt'), 'utf8').trim().split('\n');

// Per benchmark name: the median and the coefficient of variation of the
// CPU time over the repetitions, and the median wall time.
const benchmarks = new Map();
for (const entry of readJson(path.join(resultsDir, 'library.json')).benchmarks) {
    if (entry.run_type !== 'aggregate') continue;
    const figures = benchmarks.get(entry.run_name) || {};
    if (entry.aggregate_name === 'median') {
        figures.cpu = entry.cpu_time;
        figures.real = entry.real_time;
    } else if (entry.aggregate_name === 'cv') {
        figures.cv = entry.cpu_time;
    }
    benchmarks.set(entry.run_name, figures);
}

const qorjs = readResult('qorjs');
const node = readResult('node');
const echo = readResult('echo');
const echoNagle = readResult('echo-nagle');

const bigOf = (result, bytes) => (result ? result.big.find((big) => big.bytes === bytes) : undefined);
const MiB = 1 << 20;

// ---- the library against raw V8 -----------------------------------------------

const libraryTarget = 1.10;
// The order of the issue's list; random interleaving shuffles the JSON's.
const operationOrder = ['runJavaScriptSource', 'callJsFunction/', 'callJsFunctionGetError', 'getPropertyNames', 'qor_string', 'v8_string', 'V8Error::get'];
const rank = (operation) => {
    const index = operationOrder.findIndex((prefix) => operation.startsWith(prefix));
    return index < 0 ? operationOrder.length : index;
};
const pairs = [];
for (const [name, figures] of benchmarks) {
    if (!name.endsWith('/library')) continue;
    const operation = name.slice(0, -'/library'.length);
    const floor = benchmarks.get(`${operation}/raw`);
    if (!floor) continue;
    pairs.push({ operation, library: figures, floor, ratio: figures.cpu / floor.cpu });
}
pairs.sort((a, b) => rank(a.operation) - rank(b.operation) || a.operation.localeCompare(b.operation));
const libraryRows = pairs.map((pair) => [
    pair.operation.replace('/', ', '),
    duration(pair.library.cpu),
    duration(pair.floor.cpu),
    times(pair.ratio),
    `${fixed(pair.library.cv * 100, 1)} % / ${fixed(pair.floor.cv * 100, 1)} %`,
    pair.ratio <= libraryTarget ? 'yes' : '**no**',
]);

const dispatch = benchmarks.get('inspector dispatch/Runtime.evaluate 1+1');
const dispatchWithText = benchmarks.get('inspector dispatch/Runtime.evaluate 1+1 with response text');
const dispatchPaused = benchmarks.get('inspector dispatch/Runtime.evaluate 1+1 paused with response text');

// ---- the debugger against Node.js ----------------------------------------------

const echoNotify = readResult('echo-notify');
// Two floors for a sequential round trip, each the echo server's round trip
// plus the inspector's own CPU time for the request without a socket:
// - plain: one message each way, dispatched to a fresh session;
// - like for like: an event and the answer back, dispatched to a session
//   that is paused with Runtime and Debugger enabled, as the measured one is.
const usOf = (figures) => (figures ? figures.cpu / 1e3 : undefined);
const plainFloor = echo && dispatchWithText ? echo.sequential.p50_us + usOf(dispatchWithText) : undefined;
const pausedFloor = echoNotify && dispatchPaused ? echoNotify.sequential.p50_us + usOf(dispatchPaused) : undefined;

function debuggerRows() {
    const rows = [];
    const us = (value) => (value === undefined ? undefined : value >= 1000 ? `${fixed(value / 1000, 1)} ms` : `${fixed(value, 1)} µs`);
    const ms = (value) => (value === undefined ? undefined : `${fixed(value, 1)} ms`);
    const perSecond = (value) => (value === undefined ? undefined : `${grouped(value)}/s`);
    const numbers = {
        p50: [qorjs?.sequential.p50_us, node?.sequential.p50_us],
        p99: [qorjs?.sequential.p99_us, node?.sequential.p99_us],
        pipe: [qorjs?.pipelined.per_second, node?.pipelined.per_second],
        big1: [bigOf(qorjs, MiB)?.median_ms, bigOf(node, MiB)?.median_ms],
        big15: [bigOf(qorjs, 15 * MiB)?.median_ms, bigOf(node, 15 * MiB)?.median_ms],
        steps: [qorjs?.steps?.per_second, node?.steps?.per_second],
    };
    const ratio = (pair, better) => (pair[0] && pair[1] ? (better === 'lower' ? pair[1] / pair[0] : pair[0] / pair[1]) : undefined);
    const row = (label, pair, format, better, floor) => {
        const r = ratio(pair, better);
        rows.push([label, format(pair[0]) ?? '–', format(pair[1]) ?? '–', r === undefined ? '–' : times(r), floor ?? '–']);
    };
    row(`Sequential Runtime.evaluate \`1+1\`, p50 (${qorjs?.sequential.count ?? 0} / ${node?.sequential.count ?? 0} requests)`, numbers.p50, us, 'lower',
        plainFloor !== undefined ? `${us(plainFloor)} plain, ${us(pausedFloor)} like for like` : undefined);
    row('Sequential Runtime.evaluate `1+1`, p99', numbers.p99, us, 'lower', echo ? `${us(echo.sequential.p99_us)} echo` : undefined);
    row(`Pipelined Runtime.evaluate \`1+1\`, ${grouped(qorjs?.pipelined.count ?? 0)} requests`, numbers.pipe, perSecond, 'higher',
        echo ? `${perSecond(echo.pipelined.per_second)} echo` : undefined);
    row('Round trip of a 1 MiB message (median)', numbers.big1, ms, 'lower', bigOf(echo, MiB) ? `${ms(bigOf(echo, MiB).median_ms)} echo` : undefined);
    row('Round trip of a 15 MiB message (median)', numbers.big15, ms, 'lower', bigOf(echo, 15 * MiB) ? `${ms(bigOf(echo, 15 * MiB).median_ms)} echo` : undefined);
    row(`Debugger.stepOver through a loop (${qorjs?.steps?.count ?? 0} / ${node?.steps?.count ?? 0} steps)`, numbers.steps, perSecond, 'higher', undefined);
    rows.push(['In-process dispatch of the same request, paused (CPU)', dispatchPaused ? duration(dispatchPaused.cpu) : '–', '–', '–', dispatchWithText ? `${duration(dispatchWithText.cpu)} to a fresh session` : '–']);
    return { rows, numbers };
}
const debuggerTable = debuggerRows();
const n = debuggerTable.numbers;

const targets = [];
if (qorjs && node && plainFloor !== undefined) {
    targets.push(['Sequential p50 within 2× of the floor: echo round trip + dispatch to a fresh session (plain)',
        `${fixed(n.p50[0], 1)} µs against ${fixed(plainFloor, 1)} µs: ${times(n.p50[0] / plainFloor)}`, yes(n.p50[0] <= 2 * plainFloor)]);
    if (pausedFloor !== undefined)
        targets.push(['The same against the like-for-like floor: echo with an event first + dispatch to a paused session with Debugger enabled',
            `${fixed(n.p50[0], 1)} µs against ${fixed(pausedFloor, 1)} µs: ${times(n.p50[0] / pausedFloor)}`, yes(n.p50[0] <= 2 * pausedFloor)]);
    targets.push(['Sequential p50 at least 100× better than Node.js\'s',
        `${times(n.p50[1] / n.p50[0])}`, yes(n.p50[1] / n.p50[0] >= 100)]);
    targets.push(['Pipelined throughput at least 3× Node.js\'s',
        `${times(n.pipe[0] / n.pipe[1])}`, yes(n.pipe[0] / n.pipe[1] >= 3)]);
    targets.push(['15 MiB round trip no slower than Node.js\'s',
        `${fixed(n.big15[0], 1)} ms against ${fixed(n.big15[1], 1)} ms: ${times(n.big15[0] / n.big15[1])} of Node.js's time`, yes(n.big15[0] <= n.big15[1])]);
}
const libraryMisses = pairs.filter((pair) => pair.ratio > libraryTarget);
targets.unshift(['Every library operation within 1.10× of its raw V8 floor',
    libraryMisses.length === 0 ? `highest ${times(Math.max(...pairs.map((pair) => pair.ratio)))}`
        : `${libraryMisses.length} above: ${libraryMisses.map((pair) => `${pair.operation} ${times(pair.ratio)}`).join(', ')}`,
    yes(libraryMisses.length === 0)]);

// ---- why a debugger target is missed, in this run's figures ----------------------

function analysis() {
    if (!qorjs || !node || !dispatchPaused) return '';
    const notes = [];
    const v8Us = usOf(dispatchPaused);
    if (plainFloor !== undefined && n.p50[0] > 2 * plainFloor)
        notes.push(`- **Sequential p50 against the plain floor.** The plain floor is one message each way and a dispatch to a fresh session (${fixed(usOf(dispatchWithText), 1)} µs). The measured session is paused with the Debugger domain enabled: there V8 evaluates through its debugger and announces every evaluated script before answering, ${fixed(v8Us, 1)} µs of CPU per request in V8 alone, and two messages go back. The echo server with such an event before each answer takes ${fixed(echoNotify?.sequential.p50_us, 1)} µs; with the paused dispatch that makes the like-for-like floor of ${fixed(pausedFloor, 1)} µs, which qorjs is within ${times(n.p50[0] / pausedFloor)} of. Node.js, in the same state, takes ${fixed(n.p50[1] / 1000, 1)} ms.`);
    if (n.pipe[0] < 3 * n.pipe[1])
        notes.push(`- **Pipelined throughput.** 3× Node.js's would be ${grouped(3 * n.pipe[1])}/s. The V8 inspector's own work on each request (${fixed(v8Us, 1)} µs of CPU, paused, Debugger enabled) bounds one thread at ${grouped(1e6 / v8Us)}/s before any socket work, and the echo server, which does no work at all, answered ${grouped(echo?.pipelined.per_second ?? 0)}/s with Nagle's algorithm off and one write per message. The debugger reads, dispatches and writes every message on the isolate's thread, one write per message, with no queue (its design); Node.js's inspector does its socket work on a thread of its own and lets Nagle's algorithm merge its writes. qorjs's ${grouped(n.pipe[0])}/s is ${times(n.pipe[0] / n.pipe[1])} Node.js's.`);
    if (n.big15[0] > n.big15[1])
        notes.push(`- **15 MiB round trip.** qorjs took ${fixed(n.big15[0], 1)} ms, Node.js ${fixed(n.big15[1], 1)} ms; the echo server ${fixed(bigOf(echo, 15 * MiB)?.median_ms, 1)} ms. Most of a large evaluation is V8's: parsing the request, compiling the literal, announcing the script and serialising the answer.`);
    return notes.length ? `\n### Where a target is missed\n\n${notes.join('\n')}\n` : '';
}

// ---- history -------------------------------------------------------------------

function historySection() {
    if (!historyDir || !fs.existsSync(historyDir)) return '';
    const parts = [];
    for (const file of fs.readdirSync(historyDir).filter((name) => name.endsWith('.json')).sort()) {
        const earlier = readJson(path.join(historyDir, file));
        const notePath = path.join(historyDir, file.replace(/\.json$/, '.md'));
        const note = fs.existsSync(notePath) ? fs.readFileSync(notePath, 'utf8').trim() : '';
        const rows = [
            ['Sequential p50', `${fixed(earlier.sequential.p50_us, 1)} µs`, qorjs ? `${fixed(qorjs.sequential.p50_us, 1)} µs` : '–'],
            ['Sequential p99', `${fixed(earlier.sequential.p99_us, 1)} µs`, qorjs ? `${fixed(qorjs.sequential.p99_us, 1)} µs` : '–'],
            ['Pipelined', `${grouped(earlier.pipelined.per_second)}/s`, qorjs ? `${grouped(qorjs.pipelined.per_second)}/s` : '–'],
            ['1 MiB round trip', `${fixed(bigOf(earlier, MiB)?.median_ms, 1)} ms`, qorjs ? `${fixed(bigOf(qorjs, MiB)?.median_ms, 1)} ms` : '–'],
            ['15 MiB round trip', `${fixed(bigOf(earlier, 15 * MiB)?.median_ms, 1)} ms`, qorjs ? `${fixed(bigOf(qorjs, 15 * MiB)?.median_ms, 1)} ms` : '–'],
            ['Debugger.stepOver', `${fixed(earlier.steps?.per_second, 1)}/s`, qorjs?.steps ? `${fixed(qorjs.steps.per_second, 1)}/s` : '–'],
        ];
        parts.push(`${note}\n\n${table([`qorjs`, earlier.label ?? 'earlier', 'this run'], rows)}`);
    }
    return parts.length ? `## Earlier figures\n\n${parts.join('\n\n')}\n` : '';
}

// ---- the document ----------------------------------------------------------------

const machineRows = ['date', 'commit', 'cpu', 'cores', 'memory', 'kernel', 'compiler', 'build', 'qorjs', 'node', 'boost', 'benchmark', 'load before', 'load after']
    .filter((key) => environment[key] !== undefined)
    .map((key) => [key, environment[key].replaceAll('|', '\\|')]);

const echoCells = (result) => (result ? [
    `${fixed(result.sequential.p50_us, 1)} µs`, `${fixed(result.sequential.p99_us, 1)} µs`, `${grouped(result.pipelined.per_second)}/s`,
    `${fixed(bigOf(result, MiB)?.median_ms, 1)} ms`, `${fixed(bigOf(result, 15 * MiB)?.median_ms, 1)} ms`] : ['–', '–', '–', '–', '–']);
const figure = (figures) => (figures ? `${duration(figures.cpu)} (${duration(figures.real)})` : '–');

const highestCv = Math.max(...[...benchmarks.values()].map((figures) => figures.cv ?? 0));

const out = [];
out.push(`# Performance

Written by \`scripts/bench\` from one run; run it again to refresh. Every
ratio below divides two figures of that same run.${environment.quick === '1' ? '\n\n**A quick run (`--quick`): small counts, figures not worth keeping.**' : ''}

## Machine

${table(['', ''], machineRows)}

The machine is shared: other builds and tests ran beside this run (load
average above), so single figures move from run to run, and ratios, taken
within the run, are what to compare. The library's figures are medians of
CPU time over the repetitions, which waiting for a core does not inflate;
their coefficient of variation is given per pair (highest ${fixed(highestCv * 100, 1)} %). The
1 MB conversions are bimodal, in both halves alike: a repetition whose 1 MB
buffers come from pages that the C library has just returned to the system
pays a page fault per 4 KiB (costly on this virtual machine) and takes
milliseconds instead of about 0.25 ms. The debugger's figures are
wall-clock times on the loopback interface.

## Commands

\`\`\`sh
${commands.join('\n')}
\`\`\`

## The library against raw V8

Each library operation beside hand-written V8 code doing the same steps in
the same isolate and context (\`bench/library/\`): the floor the design allows.
Both halves open a \`v8::HandleScope\` per iteration. Median CPU time per call;
the target is 1.10× of the floor.

${table(['Operation', 'Library', 'Raw V8', 'Ratio', 'CV (library / raw)', 'Within 1.10×'], libraryRows)}

## The debugger against Node.js

One WebSocket connection from \`qorjs_debug_load\` (Boost.Beast, Nagle's
algorithm off on the client's side), with the target paused on the first
statement of \`bench/fixtures/step-loop.js\` after \`Runtime.enable\`,
\`Debugger.enable\` and \`Runtime.runIfWaitingForDebugger\`. Every
\`Runtime.evaluate\` names the context that \`Runtime.enable\` announced
(qorjs reports no default context). Sequential: ${qorjs?.sequential.count ?? '–'} round trips after a
warm-up, one at a time. Pipelined: all requests written back to back on
one connection while the answers are read, timed to the last answer. Large
messages: \`Runtime.evaluate\` of a string literal padded so that the request
is 1 MiB or 15 MiB; the answer carries the string back. Stepping:
\`Debugger.stepOver\` through the loop, each step ending with \`Debugger.paused\`.
A measurement that stalls stops at its time budget, so a slow target may
show fewer requests than asked for (counts given).

${table(['Measurement', 'qorjs', 'Node.js', 'qorjs better by', 'Floor'], debuggerTable.rows)}

## Floors

${table(['Floor', 'Sequential p50', 'p99', 'Pipelined', '1 MiB', '15 MiB'], [
    ['\`qorjs_echo_server\`, Nagle off', ...echoCells(echo)],
    ['the same, a 490-byte event before each echo', ...echoCells(echoNotify)],
    ['the same, Nagle on, no event', ...echoCells(echoNagle)],
])}

The echo server answers with the library defaults of Boost.Beast, as the
debugger's transport does: one write per message below 4 KiB, a longer
message in 4 KiB frames of one write each. With Nagle's algorithm on, a
write that follows another waits for the peer's acknowledgement.

In-process dispatch of the same \`Runtime.evaluate\` to a V8 inspector session without a socket (\`qorjs_bench\`, median CPU time; wall time in brackets):

- fresh session, answer left as V8's buffer: ${figure(dispatch)};
- fresh session, answer turned into host text as the debugger's channel does: ${figure(dispatchWithText)};
- paused session with Runtime and Debugger enabled, every message turned into host text: ${figure(dispatchPaused)}. Paused, V8 evaluates through its debugger and announces each evaluated script with \`Debugger.scriptParsed\` before it answers: that is the state in which both debuggers are measured above.

## Targets

${table(['Target', 'Measured', ''], targets)}
${analysis()}`);
const history = historySection();
if (history) out.push(history);
process.stdout.write(out.join('\n'));
