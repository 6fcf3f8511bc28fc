#!/usr/bin/env node
// Turns the results that scripts/bench collected into docs/performance.md:
//   node bench/report.js RESULTS_DIR [HISTORY_DIR] > docs/performance.md
//   node bench/report.js --only startup|busy RESULTS_DIR > performance.md
// RESULTS_DIR holds environment.txt, commands.txt, library.json (Google
// Benchmark's JSON), per round R one JSON object per debugger target:
// qorjs-rR, node-rR, echo-rR, echo-notify-rR, echo-nagle-rR, the busy-loop
// runs (busy.txt, busy-runs.jsonl; bench/busy/report.js writes their
// section) and the start-up runs (startup.txt, startup-runs.jsonl;
// bench/startup/report.js writes theirs). HISTORY_DIR may hold earlier qorjs
// figures with a note, shown beside this run's. With --only, the results are
// those of `scripts/bench --only startup` or `--only busy` and the document
// has that section alone.
'use strict';

const fs = require('fs');
const path = require('path');
const { startupReport } = require('./startup/report.js');
const { busyReport } = require('./busy/report.js');

const only = process.argv[2] === '--only' ? process.argv[3] : undefined;
const onlySection = only !== undefined;
const [resultsDir, historyDir] = process.argv.slice(onlySection ? 4 : 2);
if (!resultsDir || (onlySection && only !== 'startup' && only !== 'busy')) {
    console.error('usage: node bench/report.js RESULTS_DIR [HISTORY_DIR]\n       node bench/report.js --only startup|busy RESULTS_DIR');
    process.exit(2);
}
// Paths in the document are relative to the repository.
const repository = path.resolve(__dirname, '..');

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
for (const entry of onlySection ? [] : readJson(path.join(resultsDir, 'library.json')).benchmarks) {
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

// The rounds of one debugger target, at their round's index (round 1 at 0):
// a round that a target could not be measured in is a hole, so that the
// ratios below never set figures of different rounds side by side.
function roundsOf(name) {
    const pattern = new RegExp(`^${name}-r(\\d+)\\.json$`);
    const results = [];
    for (const file of fs.readdirSync(resultsDir)) {
        const match = pattern.exec(file);
        if (match && fs.statSync(path.join(resultsDir, file)).size > 0)
            results[Number(match[1]) - 1] = readJson(path.join(resultsDir, file));
    }
    return results;
}
const qorjsRounds = roundsOf('qorjs');
const nodeRounds = roundsOf('node');
const echoRounds = roundsOf('echo');
const notifyRounds = roundsOf('echo-notify');
const nagleRounds = roundsOf('echo-nagle');
const rounds = Math.max(qorjsRounds.length, nodeRounds.length);

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
// V8's own share of the large round trips: the same request dispatched in
// process to a paused session, its answer left as V8 gives it.
const dispatchBig = {
    big1: statistics('inspector dispatch/Runtime.evaluate of a 1 MiB string paused/iterations:3'),
    big15: statistics('inspector dispatch/Runtime.evaluate of a 15 MiB string paused/iterations:3'),
};
const msOf = (figures) => (figures ? figures.median / 1e6 : undefined);

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
        if (!qorjsRounds[i] || !echoes[i]) continue;
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

// Pipelined, against the in-process floor: one thread doing nothing but V8's
// own work on each request, in the state the load client measures (paused,
// Runtime and Debugger enabled, every message turned into host text), could
// answer 1 / (its CPU time per request) a second. And against Node.js.
const pipelinedGoal = { floor: 0.80, node: 1.2 };
const percent = (share) => (share === undefined ? '–' : `${fixed(share * 100, 0)} %`);
const inProcessRate = dispatchPaused ? 1e6 / usOf(dispatchPaused) : undefined;
const pipelinedFloor = (() => {
    const all = qorjsRounds.map(measures.pipelined).filter((rate) => rate > 0 && inProcessRate).map((rate) => rate / inProcessRate);
    return { median: median(all), all };
})();
// Large messages, each round's qorjs round trip over the echo server's of the
// same round and size.
const bigGoal = { big1: 2, big15: 3 };
const bigFloor = {
    big1: ratioOf(qorjsRounds, echoRounds, 'big1', (q, echo) => q / echo),
    big15: ratioOf(qorjsRounds, echoRounds, 'big15', (q, echo) => q / echo),
};

const debuggerRows = [
    ['Sequential `Runtime.evaluate` of `1+1`, p50', 'p50', us, plain ? `${us(plain.floor)} plain, ${us(likeForLike?.floor)} like for like` : '–'],
    ['Sequential, p99', 'p99', us, `${us(medianOf(echoRounds, 'p99'))} echo`],
    ['Pipelined, messages per second', 'pipelined', perSecond, `${perSecond(medianOf(echoRounds, 'pipelined'))} echo, ${perSecond(inProcessRate)} in-process dispatch (qorjs at ${percent(pipelinedFloor.median)})`],
    ['Round trip of a 1 MiB message', 'big1', ms, `${ms(medianOf(echoRounds, 'big1'))} echo (qorjs at ${times(bigFloor.big1.median)})`],
    ['Round trip of a 15 MiB message', 'big15', ms, `${ms(medianOf(echoRounds, 'big15'))} echo (qorjs at ${times(bigFloor.big15.median)})`],
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
        `${us(measures.p50(q))} / ${us(measures.p50(n))}`,
        `${perSecond(measures.pipelined(q))} / ${perSecond(measures.pipelined(n))}`,
        `${ms(measures.big1(q))} / ${ms(measures.big1(n))}`,
        `${ms(measures.big15(q))} / ${ms(measures.big15(n))}`,
        `${perSecond(measures.steps(q))} / ${perSecond(measures.steps(n))}`,
        echoRounds[i] ? `${us(echoRounds[i].sequential.p50_us)}, ${us(notifyRounds[i]?.sequential.p50_us)}` : '–',
    ]);
}

// ---- targets ---------------------------------------------------------------------------

// Each target with the tool that measured it, so that no figure's source is
// in doubt: the same load client measured qorjs, Node.js and the echo server.
const byLibrary = '`qorjs_bench`, in process';
const byLoadClient = '`qorjs_debug_load`, both servers';
const byLoadClientAndLibrary = '`qorjs_debug_load` (qorjs) and `qorjs_bench` (in-process floor)';
const byLoadClientAndEcho = '`qorjs_debug_load`, qorjs and the echo server';
const byBusy = 'the program\'s own clock; `qorjs_debug_load --idle` attached';
const byStartup = '`qorjs_time_command`';
const spreadIn = (ratio) => (ratio.all.length > 1 ? `(${spreadOf(ratio)})` : '(one round)');

const libraryMisses = pairs.filter((pair) => pair.ratio > targetOf(pair.operation));
const targets = [[
    'Every library operation within 1.10× of its raw V8 floor (a host object\'s members 1.25×)',
    libraryMisses.length === 0 ? `highest ${times(Math.max(...pairs.map((pair) => pair.ratio)))}`
        : `${libraryMisses.length} above: ${libraryMisses.map((pair) => `${pair.operation.replace('/', ', ')} ${times(pair.ratio)}`).join('; ')}`,
    verdict(pairs.length > 0 && libraryMisses.length === 0), byLibrary,
]];
if (contextRatio !== undefined)
    targets.push(['A new context restored from a snapshot of a 1 MB library at most 0.10× of one that evaluates it',
        times(contextRatio), verdict(contextRatio <= contextTarget), byLibrary]);
if (rounds > 0 && plain) {
    targets.push(['Sequential p50 within 2× of the floor: echo round trip + dispatch to a fresh session (plain)',
        `${times(plain.median)} ${spreadIn(plain)}`, verdict(plain.median <= 2), '`qorjs_debug_load` (qorjs, echo server) and `qorjs_bench`']);
    if (likeForLike)
        targets.push(['The same against the like-for-like floor: echo with an event before the answer + dispatch to a paused session with Debugger enabled',
            `${times(likeForLike.median)} ${spreadIn(likeForLike)}`, verdict(likeForLike.median <= 2), '`qorjs_debug_load` (qorjs, echo server) and `qorjs_bench`']);
}
if (rounds > 0) {
    targets.push(['Sequential p50 at least 100× better than Node.js\'s', `${times(ratios.p50.median)} ${spreadIn(ratios.p50)}`,
        verdict(ratios.p50.median === undefined ? undefined : ratios.p50.median >= 100), byLoadClient]);
    targets.push([`Pipelined throughput (paused target) at least ${fixed(pipelinedGoal.floor * 100, 0)} % of the in-process floor: 1 / the CPU time of a dispatch to a paused session, ${perSecond(inProcessRate)}`,
        `${percent(pipelinedFloor.median)} ${pipelinedFloor.all.length > 1 ? `(${percent(Math.min(...pipelinedFloor.all))} to ${percent(Math.max(...pipelinedFloor.all))})` : '(one round)'}`,
        verdict(pipelinedFloor.median === undefined ? undefined : pipelinedFloor.median >= pipelinedGoal.floor), byLoadClientAndLibrary]);
    targets.push([`Pipelined throughput at least ${fixed(pipelinedGoal.node, 1)}× Node.js's`, `${times(ratios.pipelined.median)} ${spreadIn(ratios.pipelined)}`,
        verdict(ratios.pipelined.median === undefined ? undefined : ratios.pipelined.median >= pipelinedGoal.node), byLoadClient]);
    for (const [measure, size] of [['big1', '1 MiB'], ['big15', '15 MiB']])
        targets.push([`${size} round trip within ${fixed(bigGoal[measure], 0)}× of the echo server's`, `${times(bigFloor[measure].median)} ${spreadIn(bigFloor[measure])}`,
            verdict(bigFloor[measure].median === undefined ? undefined : bigFloor[measure].median <= bigGoal[measure]), byLoadClientAndEcho]);
    targets.push(['15 MiB round trip no slower than Node.js\'s', `${times(ratios.big15.median)} as fast ${spreadIn(ratios.big15)}`,
        verdict(ratios.big15.median === undefined ? undefined : ratios.big15.median >= 1), byLoadClient]);
}

const helpers = { median, table, times, fixed, verdict };
const busy = busyReport(resultsDir, helpers);
if (busy) targets.push(...busy.targets.map((row) => [...row, byBusy]));
const startup = startupReport(resultsDir, helpers);
if (startup) targets.push(...startup.targets.map((row) => [...row, byStartup]));

// Why a debugger target is missed, in this run's figures.
function analysis() {
    if (!rounds || !dispatchPaused) return '';
    const notes = [];
    const v8Us = usOf(dispatchPaused);
    if (plain && plain.median > 2)
        notes.push(`- **Sequential p50 against the plain floor.** The plain floor is one message each way and a dispatch to a fresh session (${fixed(usOf(dispatchWithText), 1)} µs). The measured session is paused with the Debugger domain enabled: there V8 evaluates through its debugger and announces every evaluated script before it answers, ${fixed(v8Us, 1)} µs of CPU per request in V8 alone, and two messages go back. The echo server with such an event before each answer takes ${us(medianOf(notifyRounds, 'p50'))}; with the paused dispatch that makes the like-for-like floor of ${us(likeForLike?.floor)}, which qorjs is within ${times(likeForLike?.median)} of. Node.js, in the same state, takes ${us(medianOf(nodeRounds, 'p50'))}.`);
    const pipelinedMissed = (pipelinedFloor.median !== undefined && pipelinedFloor.median < pipelinedGoal.floor)
        || (ratios.pipelined.median !== undefined && ratios.pipelined.median < pipelinedGoal.node);
    if (pipelinedMissed) {
        notes.push(`- **Pipelined throughput.** qorjs answered ${perSecond(medianOf(qorjsRounds, 'pipelined'))}: ${fixed(pipelinedFloor.median * 100, 0)} % of the in-process floor and ${times(ratios.pipelined.median)} Node.js's ${perSecond(medianOf(nodeRounds, 'pipelined'))}. The floor is V8's own work on each request (${fixed(v8Us, 1)} µs of CPU, paused, Debugger enabled), which bounds one thread at ${perSecond(inProcessRate)} before any socket work; ${fixed(pipelinedGoal.floor * 100, 0)} % of it is ${perSecond(pipelinedGoal.floor * inProcessRate)}, ${fixed(pipelinedGoal.node, 1)}× Node.js's is ${perSecond(pipelinedGoal.node * medianOf(nodeRounds, 'pipelined'))}. The echo server, which does no work on a message, answered ${perSecond(medianOf(echoRounds, 'pipelined'))} with Nagle's algorithm off and one write per message (${perSecond(medianOf(nagleRounds, 'pipelined'))} with it on). The load client and the server share the machine's ${environment.cores ?? 'two'} cores.`);
    }
    const bigMissed = [['big1', '1 MiB'], ['big15', '15 MiB']].filter(([measure]) => bigFloor[measure].median > bigGoal[measure]);
    if (bigMissed.length) {
        const each = bigMissed.map(([measure, size]) => `${size}: qorjs ${ms(medianOf(qorjsRounds, measure))}, ${times(bigFloor[measure].median)} the echo server's ${ms(medianOf(echoRounds, measure))} (the goal: ${fixed(bigGoal[measure], 0)}×), Node.js ${ms(medianOf(nodeRounds, measure))}`);
        notes.push(`- **Large messages against the echo server.** ${each.join('; ')}. The echo server only reads the message and writes it back; a debugger also hands it to V8, which parses it, compiles and runs the literal, announces the script and serialises the answer, and the answer is turned into text to send.`);
        const beyondV8 = bigMissed.filter(([measure]) => dispatchBig[measure]).map(([measure, size]) => {
            const v8Ms = msOf(dispatchBig[measure]);
            const rest = medianOf(qorjsRounds, measure) - v8Ms;
            return `${size}: V8 alone ${ms(v8Ms)} (${times(v8Ms / medianOf(echoRounds, measure))} the echo server's round trip, already past the goal), qorjs's own share the remaining ${ms(rest)} (${times(rest / medianOf(echoRounds, measure))} the echo server's)`;
        });
        if (beyondV8.length)
            notes.push(`- **V8's own share of the large round trips** (qorjs_bench, the same request dispatched in process to a paused session, CPU time): ${beyondV8.join('; ')}. The goals are below what this V8's inspector takes for the request by itself; what the debugger adds (reading, converting the answer to UTF-8, writing) is the share to compare with the echo server.`);
    }
    if (ratios.big15.median < 1)
        notes.push(`- **15 MiB round trip against Node.js.** qorjs took ${ms(medianOf(qorjsRounds, 'big15'))}, Node.js ${ms(medianOf(nodeRounds, 'big15'))}, the echo server ${ms(medianOf(echoRounds, 'big15'))}.`);
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

const targetHeader = ['Target', 'Measured', '', 'Measured by'];

// The document of `scripts/bench --only startup` or `--only busy`: the
// machine, the commands and that one section, with its targets.
function oneSection() {
    const [part, title, by] = only === 'startup' ? [startup, 'start-up', byStartup] : [busy, 'busy-loop', byBusy];
    return `# Performance: ${only === 'startup' ? 'start-up' : 'the busy loop'} alone

Written by \`scripts/bench --only ${only}\` from one run, with no other
section; \`scripts/bench\` writes docs/performance.md with all of them.${environment.quick === '1' ? '\n\n**A quick run (`--quick`): small counts, figures not worth keeping.**' : ''}

## Machine

${table(['', ''], machineRows)}

## Commands

\`\`\`sh
${commands.join('\n')}
\`\`\`

${part ? part.section : `The results hold no ${title} runs.\n`}
## Targets

${table(targetHeader, part ? part.targets.map((row) => [...row, by]) : [])}
`;
}

const document = onlySection ? oneSection() : `# Performance

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

Who measured: every round trip in this section and the next, qorjs's,
Node.js's and the echo server's alike, was measured by the same client,
\`qorjs_debug_load\` (\`bench/debugger/\`), the project's own C++ client on
Boost.Beast; no DevTools client written elsewhere took part. It reaches
qorjs and the echo server by their \`ws://\` addresses and Node.js through
\`/json/list\`. The in-process dispatch that gives the pipelined floor is
\`qorjs_bench\`'s (\`bench/library/DispatchBench.cc\`), with no socket or
client at all.

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
the rounds' own ratios (their range beside it). In the Floor column, "qorjs
at" is the median of the rounds' own ratios of qorjs's figure to that floor:
the share of the in-process rate that qorjs reached pipelined, and how many
times the echo server's round trip a large message took.

${table(['Measurement (client: qorjs_debug_load)', 'qorjs', 'Node.js', 'qorjs better by', 'range over the rounds', 'Floor'], debuggerRows)}

Per round, qorjs / Node.js:

${table(['Round', 'Sequential p50', 'Pipelined', '1 MiB', '15 MiB', 'Steps', 'Echo p50, with an event'], perRoundRows)}

## Floors

${table(['Floor (median of the rounds)', 'Sequential p50', 'p99', 'Pipelined', '1 MiB', '15 MiB'], [
    ['`qorjs_echo_server`, Nagle off', ...echoCells(echoRounds)],
    ['the same, a 490-byte event before each echo', ...echoCells(notifyRounds)],
    ['the same, Nagle on, no event', ...echoCells(nagleRounds)],
])}

The echo server answers with Boost.Beast's defaults: one write per message
up to 4 KiB, a longer message in 4 KiB frames of one write each. With Nagle's algorithm on, a small write
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

${busy ? `${busy.section}\n` : ''}${startup ? `${startup.section}\n` : ''}## Targets

${table(targetHeader, targets)}
${analysis()}${historySection()}`;

process.stdout.write(document.replaceAll(`${repository}/`, ''));
