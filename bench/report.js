#!/usr/bin/env node
// Turns the results that scripts/bench collected into docs/performance.md:
//   node bench/report.js RESULTS_DIR [HISTORY_DIR] > docs/performance.md
//   node bench/report.js --only startup RESULTS_DIR > performance.md
// RESULTS_DIR holds environment.txt, commands.txt, library.json (Google
// Benchmark's JSON), per round R one JSON object per debugger target:
// qorjs-rR, node-rR, echo-rR, echo-notify-rR, echo-nagle-rR, and the
// start-up runs (startup.txt, startup-runs.jsonl; bench/startup/report.js
// writes their section). HISTORY_DIR may hold earlier qorjs figures with a
// note, shown beside this run's. With --only startup, the results are those
// of `scripts/bench --only startup` and the document has that section alone.
'use strict';

const fs = require('fs');
const path = require('path');
const { startupReport } = require('./startup/report.js');

const onlyStartup = process.argv[2] === '--only';
const [resultsDir, historyDir] = process.argv.slice(onlyStartup ? 4 : 2);
if (!resultsDir || (onlyStartup && process.argv[3] !== 'startup')) {
    console.error('usage: node bench/report.js RESULTS_DIR [HISTORY_DIR]\n       node bench/report.js --only startup RESULTS_DIR');
    process.exit(2);
}

const readJson = (file) => JSON.parse(fs.readFileSync(file, 'utf8'));
const MiB = 1 << 20;

// ---- statistics and formatting ------------------------------------------------

const sorted = (values) => [...values].sort((a, b) => a - b);
function median(values) {
    const s = sorted(values.filter((value) => typeof value === 'number' && !Number.isNaN(value)));
    if (!s.length) return undefined;
    const middle = Math.floor(s.length / 2);
    return s.length % 2 ? s[middle] : (s[middle - 1] + s[middle]) / 2;
}
function duration(ns) {
    if (ns === undefined) return '–';
    if (ns >= 1e6) return `${(ns / 1e6).toFixed(2)} ms`;
    if (ns >= 1e3) return `${(ns / 1e3).toFixed(2)} µs`;
    return `${ns.toFixed(1)} ns`;
}
const fixed = (value, digits = 2) => (value === undefined || value === null || Number.isNaN(value) ? '–' : value.toFixed(digits));
const grouped = (value) => (value === undefined ? '–' : Math.round(value).toLocaleString('en-US'));
const times = (value) => (value === undefined ? '–' : `${fixed(value)}×`);
const us = (value) => (value === undefined ? '–' : value >= 1000 ? `${fixed(value / 1000, 1)} ms` : `${fixed(value, 1)} µs`);
const ms = (value) => (value === undefined ? '–' : `${fixed(value, 1)} ms`);
const perSecond = (value) => (value === undefined ? '–' : `${grouped(value)}/s`);
const verdict = (ok) => (ok === undefined ? '–' : ok ? 'met' : '**not met**');
function table(header, rows) {
    const line = (cells) => `| ${cells.join(' | ')} |`;
    return [line(header), line(header.map(() => '---')), ...rows.map(line)].join('\n');
}

// ---- inputs ---------------------------------------------------------------------

const environment = {};
for (const line of fs.readFileSync(path.join(resultsDir, 'environment.txt'), 'utf8').split('\n')) {
    const colon = line.indexOf(':');
    if (colon > 0) environment[line.slice(0, colon)] = line.slice(colon + 1).trim();
}
const commands = fs.readFileSync(path.join(resultsDir, 'commands.txt'), 'utf8').trim().split('\n');

// Per benchmark: the CPU and wall times of its repetitions, per call. A
// benchmark whose iteration is a JavaScript loop of host calls says how many
// in its `calls` counter.
const benchmarks = new Map();
for (const entry of onlyStartup ? [] : readJson(path.join(resultsDir, 'library.json')).benchmarks) {
    if (entry.run_type !== 'iteration' || entry.error_occurred) continue;
    const runs = benchmarks.get(entry.run_name) || { cpu: [], real: [] };
    const calls = entry.calls > 0 ? entry.calls : 1;
    runs.cpu.push(entry.cpu_time / calls);
    runs.real.push(entry.real_time / calls);
    benchmarks.set(entry.run_name, runs);
}
function statistics(name) {
    const runs = benchmarks.get(name);
    if (!runs) return undefined;
    const mean = runs.cpu.reduce((sum, value) => sum + value, 0) / runs.cpu.length;
    const spread = Math.sqrt(runs.cpu.reduce((sum, value) => sum + (value - mean) ** 2, 0) / Math.max(1, runs.cpu.length - 1));
    return { min: Math.min(...runs.cpu), median: median(runs.cpu), real: median(runs.real), cv: spread / mean, count: runs.cpu.length };
}

// The rounds of one debugger target, in order.
function roundsOf(name) {
    const pattern = new RegExp(`^${name}-r(\\d+)\\.json$`);
    return fs.readdirSync(resultsDir)
        .map((file) => [file, pattern.exec(file)])
        .filter(([file, match]) => match && fs.statSync(path.join(resultsDir, file)).size > 0)
        .sort((a, b) => Number(a[1][1]) - Number(b[1][1]))
        .map(([file]) => readJson(path.join(resultsDir, file)));
}
const qorjsRounds = roundsOf('qorjs');
const nodeRounds = roundsOf('node');
const echoRounds = roundsOf('echo');
const notifyRounds = roundsOf('echo-notify');
const nagleRounds = roundsOf('echo-nagle');
const rounds = Math.min(qorjsRounds.length, nodeRounds.length);

// The figures the tables use, read from one result.
const bigOf = (result, bytes) => result?.big.find((big) => big.bytes === bytes);
const measures = {
    p50: (result) => result?.sequential.p50_us,
    p99: (result) => result?.sequential.p99_us,
    pipelined: (result) => result?.pipelined.per_second,
    big1: (result) => bigOf(result, MiB)?.median_ms,
    big15: (result) => bigOf(result, 15 * MiB)?.median_ms,
    steps: (result) => result?.steps?.per_second,
    sequentialCount: (result) => result?.sequential.count,
    stepCount: (result) => result?.steps?.count,
    pipelinedCount: (result) => result?.pipelined.count,
};
const medianOf = (results, measure) => median(results.map(measures[measure]));
// The ratio of two targets measured in the same round, and its median over
// the rounds: each round's two figures were taken back to back.
function ratioOf(aRounds, bRounds, measure, divide) {
    const ratios = [];
    for (let i = 0; i < Math.min(aRounds.length, bRounds.length); ++i) {
        const a = measures[measure](aRounds[i]);
        const b = measures[measure](bRounds[i]);
        if (a && b) ratios.push(divide(a, b));
    }
    return { median: median(ratios), all: ratios };
}
const lowerIsBetter = (q, n) => n / q;
const higherIsBetter = (q, n) => q / n;
const spreadOf = (ratio) => (ratio.all.length > 1 ? `${times(Math.min(...ratio.all))} to ${times(Math.max(...ratio.all))}` : '');

// ---- the library against raw V8 -----------------------------------------------------

const libraryTarget = 1.10;
// A host object's member is a generic callback with its receiver's check
// and the host's exceptions caught: 1.25× of the hand-made class is its goal.
const targetOf = (operation) => (operation.startsWith('host object/') ? 1.25 : libraryTarget);
// Scripts, calls, names, conversions, errors, then the runtime's script,
// call, timer and making, then the bindings: a fixed order, since random
// interleaving shuffles the JSON's.
const operationOrder = ['runJavaScriptSource', 'callJsFunction/', 'callJsFunctionGetError', 'getPropertyNames', 'qor_string', 'v8_string', 'V8Error::get',
    'V8Runtime::runScript', 'V8Runtime::call', 'V8Runtime::runReady', 'V8Runtime made', 'expose/', 'callAs/', 'host object/'];
const rank = (operation) => {
    const index = operationOrder.findIndex((prefix) => operation.startsWith(prefix));
    return index < 0 ? operationOrder.length : index;
};
const pairs = [];
// A new context restored from a snapshot against one that evaluates the
// library: no floor of the library's, but a gain, judged by its own goal.
const contextOperation = 'new context with a 1 MB library/restored vs evaluated';
const contextTarget = 0.10;
const restoredContext = statistics(`${contextOperation}/library`);
const evaluatedContext = statistics(`${contextOperation}/raw`);
const contextRatio = restoredContext && evaluatedContext ? restoredContext.min / evaluatedContext.min : undefined;
for (const name of benchmarks.keys()) {
    if (!name.endsWith('/library') || name.startsWith(contextOperation)) continue;
    const operation = name.slice(0, -'/library'.length);
    const library = statistics(name);
    const floor = statistics(`${operation}/raw`);
    if (!floor) continue;
    pairs.push({ operation, library, floor, ratio: library.min / floor.min, medianRatio: library.median / floor.median });
}
pairs.sort((a, b) => rank(a.operation) - rank(b.operation) || a.operation.localeCompare(b.operation));
const libraryRows = pairs.map((pair) => [
    pair.operation.replace('/', ', '),
    duration(pair.library.min),
    duration(pair.floor.min),
    `**${times(pair.ratio)}**`,
    times(pair.medianRatio),
    `${fixed(pair.library.cv * 100, 1)} % / ${fixed(pair.floor.cv * 100, 1)} %`,
    pair.ratio <= targetOf(pair.operation) ? 'yes' : '**no**',
]);
const repetitions = pairs.length ? pairs[0].library.count : 0;

// Measured beside the host object's pair, without a pair of its own.
const plainRead = statistics('host object/property read/plain JavaScript object');
const callByHand = statistics('callAs/two numbers, numeric result/V8Runtime::call by hand');

const dispatch = statistics('inspector dispatch/Runtime.evaluate 1+1');
const dispatchWithText = statistics('inspector dispatch/Runtime.evaluate 1+1 with response text');
const dispatchPaused = statistics('inspector dispatch/Runtime.evaluate 1+1 paused with response text');

// ---- the debugger against Node.js -----------------------------------------------------

// Two floors for a sequential round trip, each the echo server's round trip
// in that round plus the inspector's own CPU time for the same request
// without a socket (median over the repetitions):
// - plain: one message each way, dispatched to a fresh session;
// - like for like: an event and the answer back, dispatched to a session
//   that is paused with Runtime and Debugger enabled, as the measured one is.
const usOf = (figures) => (figures ? figures.median / 1e3 : undefined);
function floorRatio(echoes, dispatched) {
    const ratios = [];
    const floors = [];
    for (let i = 0; i < Math.min(qorjsRounds.length, echoes.length); ++i) {
        const floor = echoes[i].sequential.p50_us + usOf(dispatched);
        floors.push(floor);
        ratios.push(qorjsRounds[i].sequential.p50_us / floor);
    }
    return { median: median(ratios), all: ratios, floor: median(floors) };
}
const plain = dispatchWithText ? floorRatio(echoRounds, dispatchWithText) : undefined;
const likeForLike = dispatchPaused ? floorRatio(notifyRounds, dispatchPaused) : undefined;

const ratios = {
    p50: ratioOf(qorjsRounds, nodeRounds, 'p50', lowerIsBetter),
    p99: ratioOf(qorjsRounds, nodeRounds, 'p99', lowerIsBetter),
    pipelined: ratioOf(qorjsRounds, nodeRounds, 'pipelined', higherIsBetter),
    big1: ratioOf(qorjsRounds, nodeRounds, 'big1', lowerIsBetter),
    big15: ratioOf(qorjsRounds, nodeRounds, 'big15', lowerIsBetter),
    steps: ratioOf(qorjsRounds, nodeRounds, 'steps', higherIsBetter),
};

const debuggerRows = [
    ['Sequential `Runtime.evaluate` of `1+1`, p50', 'p50', us, plain ? `${us(plain.floor)} plain, ${us(likeForLike?.floor)} like for like` : '–'],
    ['Sequential, p99', 'p99', us, `${us(medianOf(echoRounds, 'p99'))} echo`],
    ['Pipelined, messages per second', 'pipelined', perSecond, `${perSecond(medianOf(echoRounds, 'pipelined'))} echo`],
    ['Round trip of a 1 MiB message', 'big1', ms, `${ms(medianOf(echoRounds, 'big1'))} echo`],
    ['Round trip of a 15 MiB message', 'big15', ms, `${ms(medianOf(echoRounds, 'big15'))} echo`],
    ['`Debugger.stepOver` through a loop, steps per second', 'steps', perSecond, '–'],
].map(([label, measure, format, floor]) => [
    label, format(medianOf(qorjsRounds, measure)), format(medianOf(nodeRounds, measure)),
    times(ratios[measure].median), spreadOf(ratios[measure]) || '–', floor,
]);

const perRoundRows = [];
for (let i = 0; i < rounds; ++i) {
    const q = qorjsRounds[i];
    const n = nodeRounds[i];
    perRoundRows.push([
        String(i + 1),
        `${us(q.sequential.p50_us)} / ${us(n.sequential.p50_us)}`,
        `${perSecond(q.pipelined.per_second)} / ${perSecond(n.pipelined.per_second)}`,
        `${ms(bigOf(q, MiB)?.median_ms)} / ${ms(bigOf(n, MiB)?.median_ms)}`,
        `${ms(bigOf(q, 15 * MiB)?.median_ms)} / ${ms(bigOf(n, 15 * MiB)?.median_ms)}`,
        `${perSecond(q.steps?.per_second)} / ${perSecond(n.steps?.per_second)}`,
        echoRounds[i] ? `${us(echoRounds[i].sequential.p50_us)}, ${us(notifyRounds[i]?.sequential.p50_us)}` : '–',
    ]);
}

// ---- targets ---------------------------------------------------------------------------

const libraryMisses = pairs.filter((pair) => pair.ratio > targetOf(pair.operation));
const targets = [[
    'Every library operation within 1.10× of its raw V8 floor (a host object\'s members 1.25×)',
    libraryMisses.length === 0 ? `highest ${times(Math.max(...pairs.map((pair) => pair.ratio)))}`
        : `${libraryMisses.length} above: ${libraryMisses.map((pair) => `${pair.operation.replace('/', ', ')} ${times(pair.ratio)}`).join('; ')}`,
    verdict(pairs.length > 0 && libraryMisses.length === 0),
]];
if (contextRatio !== undefined)
    targets.push(['A new context restored from a snapshot of a 1 MB library at most 0.10× of one that evaluates it',
        times(contextRatio), verdict(contextRatio <= contextTarget)]);
if (rounds > 0 && plain) {
    targets.push(['Sequential p50 within 2× of the floor: echo round trip + dispatch to a fresh session (plain)',
        `${times(plain.median)} ${plain.all.length > 1 ? `(${spreadOf(plain)})` : ''}`, verdict(plain.median <= 2)]);
    if (likeForLike)
        targets.push(['The same against the like-for-like floor: echo with an event before the answer + dispatch to a paused session with Debugger enabled',
            `${times(likeForLike.median)} ${likeForLike.all.length > 1 ? `(${spreadOf(likeForLike)})` : ''}`, verdict(likeForLike.median <= 2)]);
    targets.push(['Sequential p50 at least 100× better than Node.js\'s', `${times(ratios.p50.median)} (${spreadOf(ratios.p50) || 'one round'})`, verdict(ratios.p50.median >= 100)]);
    targets.push(['Pipelined throughput at least 3× Node.js\'s', `${times(ratios.pipelined.median)} (${spreadOf(ratios.pipelined) || 'one round'})`, verdict(ratios.pipelined.median >= 3)]);
    targets.push(['15 MiB round trip no slower than Node.js\'s', `${times(ratios.big15.median)} as fast (${spreadOf(ratios.big15) || 'one round'})`, verdict(ratios.big15.median >= 1)]);
}

const startup = startupReport(resultsDir, { median, table, times, fixed, verdict });
if (startup) targets.push(...startup.targets);

// Why a debugger target is missed, in this run's figures.
function analysis() {
    if (!rounds || !dispatchPaused) return '';
    const notes = [];
    const v8Us = usOf(dispatchPaused);
    if (plain && plain.median > 2)
        notes.push(`- **Sequential p50 against the plain floor.** The plain floor is one message each way and a dispatch to a fresh session (${fixed(usOf(dispatchWithText), 1)} µs). The measured session is paused with the Debugger domain enabled: there V8 evaluates through its debugger and announces every evaluated script before it answers, ${fixed(v8Us, 1)} µs of CPU per request in V8 alone, and two messages go back. The echo server with such an event before each answer takes ${us(medianOf(notifyRounds, 'p50'))}; with the paused dispatch that makes the like-for-like floor of ${us(likeForLike?.floor)}, which qorjs is within ${times(likeForLike?.median)} of. Node.js, in the same state, takes ${us(medianOf(nodeRounds, 'p50'))}.`);
    if (ratios.pipelined.median < 3) {
        const node = medianOf(nodeRounds, 'pipelined');
        notes.push(`- **Pipelined throughput.** 3× Node.js's would be ${perSecond(3 * node)}. The V8 inspector's own work on each request (${fixed(v8Us, 1)} µs of CPU, paused, Debugger enabled) bounds one thread at ${perSecond(1e6 / v8Us)} before any socket work, and the echo server, which does no work at all, answered ${perSecond(medianOf(echoRounds, 'pipelined'))} with Nagle's algorithm off and one write per message (${perSecond(medianOf(nagleRounds, 'pipelined'))} with it on). The debugger reads, dispatches and writes every message on the isolate's thread, one write per message, with no queue: that is its design. Node.js's inspector does its socket work on a thread of its own, with Nagle's algorithm on. qorjs's ${perSecond(medianOf(qorjsRounds, 'pipelined'))} is ${times(ratios.pipelined.median)} Node.js's.`);
    }
    if (ratios.big15.median < 1)
        notes.push(`- **15 MiB round trip.** qorjs took ${ms(medianOf(qorjsRounds, 'big15'))}, Node.js ${ms(medianOf(nodeRounds, 'big15'))}, the echo server ${ms(medianOf(echoRounds, 'big15'))}. Most of a large evaluation is V8's: parsing the request, compiling the literal, announcing the script and serialising the answer.`);
    return notes.length ? `\n### Where a target is missed\n\n${notes.join('\n')}\n` : '';
}

// ---- earlier figures -------------------------------------------------------------------

function historySection() {
    if (!historyDir || !fs.existsSync(historyDir)) return '';
    const parts = [];
    for (const file of fs.readdirSync(historyDir).filter((name) => name.endsWith('.json')).sort()) {
        const earlier = readJson(path.join(historyDir, file));
        const notePath = path.join(historyDir, file.replace(/\.json$/, '.md'));
        const note = fs.existsSync(notePath) ? fs.readFileSync(notePath, 'utf8').trim() : '';
        const now = (measure, format) => (rounds ? format(medianOf(qorjsRounds, measure)) : '–');
        const rows = [
            ['Sequential p50', us(measures.p50(earlier)), now('p50', us)],
            ['Sequential p99', us(measures.p99(earlier)), now('p99', us)],
            ['Pipelined', perSecond(measures.pipelined(earlier)), now('pipelined', perSecond)],
            ['1 MiB round trip', ms(measures.big1(earlier)), now('big1', ms)],
            ['15 MiB round trip', ms(measures.big15(earlier)), now('big15', ms)],
            ['`Debugger.stepOver`', perSecond(measures.steps(earlier)), now('steps', perSecond)],
        ];
        parts.push(`${note}\n\n${table(['qorjs', earlier.label ?? 'earlier', 'this run (median of the rounds)'], rows)}`);
    }
    return parts.length ? `\n## Earlier figures\n\n${parts.join('\n\n')}\n` : '';
}

// ---- the document ------------------------------------------------------------------------

const machineRows = ['date', 'commit', 'cpu', 'cores', 'memory', 'kernel', 'compiler', 'build', 'qorjs', 'node', 'boost', 'benchmark', 'rounds', 'load before', 'load after', 'node crashes']
    .filter((key) => environment[key] !== undefined)
    .map((key) => [key, environment[key].replaceAll('|', '\\|')]);
const echoCells = (results) => (results.length ? [
    us(medianOf(results, 'p50')), us(medianOf(results, 'p99')), perSecond(medianOf(results, 'pipelined')),
    ms(medianOf(results, 'big1')), ms(medianOf(results, 'big15'))] : ['–', '–', '–', '–', '–']);
const figure = (figures) => (figures ? `${duration(figures.median)} (${duration(figures.real)})` : '–');
const highestCv = Math.max(0, ...pairs.flatMap((pair) => [pair.library.cv, pair.floor.cv]));

// The document of `scripts/bench --only startup`: the machine, the commands
// and the start-up section, with its targets.
function writeStartupOnly() {
    process.stdout.write(`# Performance: start-up alone

Written by \`scripts/bench --only startup\` from one run, with no other
section; \`scripts/bench\` writes docs/performance.md with all of them.${environment.quick === '1' ? '\n\n**A quick run (`--quick`): small counts, figures not worth keeping.**' : ''}

## Machine

${table(['', ''], machineRows)}

## Commands

\`\`\`sh
${commands.join('\n')}
\`\`\`

${startup ? startup.section : 'The results hold no start-up runs.\n'}
## Targets

${table(['Target', 'Measured', ''], startup ? startup.targets : [])}
`);
}

if (onlyStartup) writeStartupOnly();
else process.stdout.write(`# Performance

Written by \`scripts/bench\` from one run; run it again to refresh. Every
ratio below divides figures of that same run.${environment.quick === '1' ? '\n\n**A quick run (`--quick`): small counts, figures not worth keeping.**' : ''}

## Machine

${table(['', ''], machineRows)}

The machine is shared with other work, which the load averages above (on two
cores) show for this run; single figures move from run to run, so the
ratios, each taken between figures measured side by side, are what to
compare. The 1 MB conversions are bimodal in both halves alike: a repetition
whose 1 MB buffers come from pages that the C library has just handed back
to the system pays a page fault per 4 KiB, costly on this virtual machine,
and takes milliseconds instead of about 0.25 ms.

## Commands

\`\`\`sh
${commands.join('\n')}
\`\`\`

## The library against raw V8

Each library operation beside hand-written V8 code doing the same steps in
the same isolate and context (\`bench/library/\`): the floor the design
allows. Both halves open a \`v8::HandleScope\` per iteration, and they run
interleaved at random over ${repetitions} repetitions. The ratio judged is that of the
fastest repetition of each half (CPU time per call), the estimate least
disturbed by the other work on the machine; the ratio of the medians and
the coefficients of variation show how much that disturbance was (highest
CV ${fixed(highestCv * 100, 1)} %). The target is 1.10× of the floor, 1.25× for a host object's members.

${table(['Operation', 'Library', 'Raw V8', 'Ratio', 'Ratio of medians', 'CV (library / raw)', 'Within target'], libraryRows)}

${contextRatio === undefined ? '' : `A new context that starts with a 1 MB library's state (\`bench/library/SnapshotBench.cc\`:
2,000 modules of a bundle, each a table, a class and closures), in a runtime
restored from a snapshot that holds it: ${duration(restoredContext.min)} (CPU time, fastest
repetition), against ${duration(evaluatedContext.min)} for a new context that compiles and runs the
library: **${times(contextRatio)}**, ratio of medians ${times(restoredContext.median / evaluatedContext.median)} (goal: at most ${times(contextTarget)}).
Both halves read one of the library's globals in the new context.

`}The rows named \`V8Runtime…\` compare the runtime with the same steps
written by hand with the library's static operations, in an isolate made by
hand as the runtime makes its own (counting allocator, failure handlers,
\`V8Limits\`, one context, the timer and console functions made with
\`v8::Function::New\`). "The promise jobs" are, in both halves,
\`performMicrotaskCheckpoint\` and V8's own tasks (\`PumpMessageLoop\`):
\`runScript\` against \`runJavaScriptSource\` then the promise jobs; \`call\` by
path against \`callJsFunctionGetError\` then the promise jobs; a
\`setTimeout(f, 0)\` callback fired by \`runReady\` (which sets the next timer)
against a hand-written loop of a multimap of deadlines and a \`v8::Global\` per
timer, which calls the callback under the limits the one way the static
operations can, \`callJsFunction\` on a holder object, between the promise
jobs; and making and destroying a runtime with timers and a console against
making and disposing of that isolate.

The rows named \`limits set: …\` measure the cost of \`V8Limits\`: there the
Library column is the library call with limits set on the isolate (never
reached), the Raw V8 column the same library call without them.

The rows named \`expose\` and \`host object\` time a JavaScript loop of host
calls in a runtime, warmed up until TurboFan has compiled it, and give the
time per host call. Their floors are \`v8::FunctionTemplate\` callbacks
written by hand that check the argument count and types and convert; a
hand-made \`v8::CFunction\` for the fast calls (the library turns V8's fast
calls on as it starts the engine); and a class made by hand as the library makes one: one
internal field, the method on the prototype with a \`v8::Signature\`, the
property an accessor of each instance. \`callAs\` is measured against the
numbers made by hand, \`callJsFunctionGetError\` and the promise jobs, and
the result checked and read by hand: a floor without the runtime's limits
and loop turn, which every call through the runtime pays. \`V8Runtime::call\`
with the numbers made and read by hand takes
${callByHand ? duration(callByHand.min) : '–'} a call, the part of callAs's
cost that is no conversion. For reference, the same loop reading a plain
object's data property takes ${plainRead ? duration(plainRead.min) : '–'} a read.

## The debugger against Node.js

Who measured: every figure in this section and the next, qorjs's and
Node.js's alike, was measured by the same client, \`qorjs_debug_load\`
(\`bench/debugger/\`), the project's own C++ client on Boost.Beast; no
DevTools client written elsewhere took part. It reaches qorjs by its \`ws://\`
address and Node.js through \`/json/list\`.

One WebSocket connection from \`qorjs_debug_load\` (Nagle's algorithm off
on the client's side), with the target paused on the first
statement of \`bench/fixtures/step-loop.js\` after \`Runtime.enable\`,
\`Debugger.enable\` and \`Runtime.runIfWaitingForDebugger\`. Every
\`Runtime.evaluate\` names the context that \`Runtime.enable\` announced. Sequential: ${grouped(medianOf(qorjsRounds, 'sequentialCount'))} round trips after 300
for warm-up, one at a time. Pipelined: ${grouped(medianOf(qorjsRounds, 'pipelinedCount'))} requests written back to back
on one connection while the answers are read, timed to the last answer.
Large messages: \`Runtime.evaluate\` of a string literal padded so that the
request is 1 MiB or 15 MiB (the answer carries the string back), median of
5 after one unmeasured. Stepping: ${grouped(medianOf(qorjsRounds, 'stepCount'))} \`Debugger.stepOver\` through the loop after
20 for warm-up, each ending with \`Debugger.paused\`. A measurement that stalls
stops at its time budget with the count it reached (Node.js: ${grouped(medianOf(nodeRounds, 'sequentialCount'))} sequential, ${grouped(medianOf(nodeRounds, 'stepCount'))} steps).

The servers are measured in ${rounds} round${rounds === 1 ? '' : 's'}, qorjs and Node.js back to back in each;
figures are medians over the rounds, and "qorjs better by" is the median of
the rounds' own ratios (their range beside it).

${table(['Measurement (client: qorjs_debug_load)', 'qorjs', 'Node.js', 'qorjs better by', 'range over the rounds', 'Floor'], debuggerRows)}

Per round, qorjs / Node.js:

${table(['Round', 'Sequential p50', 'Pipelined', '1 MiB', '15 MiB', 'Steps', 'Echo p50, with an event'], perRoundRows)}

## Floors

${table(['Floor (median of the rounds)', 'Sequential p50', 'p99', 'Pipelined', '1 MiB', '15 MiB'], [
    ['`qorjs_echo_server`, Nagle off', ...echoCells(echoRounds)],
    ['the same, a 490-byte event before each echo', ...echoCells(notifyRounds)],
    ['the same, Nagle on, no event', ...echoCells(nagleRounds)],
])}

The echo server answers with Boost.Beast's defaults, as the debugger's
transport does: one write per message up to 4 KiB, a longer message in
4 KiB frames of one write each. With Nagle's algorithm on, a small write
that follows another waits for the peer's acknowledgement, or for enough
bytes to fill a segment.

In-process dispatch of the same \`Runtime.evaluate\` to a V8 inspector
session without a socket (\`qorjs_bench\`, median CPU time, wall time in
brackets):

- fresh session, answer left as V8's buffer: ${figure(dispatch)};
- fresh session, answer turned into host text as the debugger's channel does: ${figure(dispatchWithText)};
- paused session with Runtime and Debugger enabled, every message turned
  into host text: ${figure(dispatchPaused)}. Paused, V8 evaluates through its
  debugger and announces each evaluated script with \`Debugger.scriptParsed\`
  before it answers: the state in which both debuggers are measured above.

${startup ? `${startup.section}\n` : ''}## Targets

${table(['Target', 'Measured', ''], targets)}
${analysis()}${historySection()}`);
