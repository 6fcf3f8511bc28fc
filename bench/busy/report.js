// The busy-loop section of docs/performance.md, from what bench/busy/run left
// in the results directory: busy.txt and busy-runs.jsonl. bench/report.js
// calls busyReport with its own formatting helpers and places the section and
// its targets in the document.
'use strict';

const fs = require('fs');
const path = require('path');
const { readNotes, readRuns, loadRange: loadRangeOf } = require('../runs');

// The variants in the order of the tables, with what each one runs.
const variants = [
    ['qorjs-alone', 'qorjs, no debugger', '`qorjs busy-loop.js`'],
    ['qorjs-attached', 'qorjs, a client attached and idle', '`qorjs --inspect=0 busy-loop.js`, the idle client attached'],
    ['node-alone', 'Node.js, no debugger', '`node busy-loop.js`'],
    ['node-attached', 'Node.js, a client attached and idle', '`node --inspect=0 busy-loop.js`, the idle client attached'],
];
const pairs = [
    { a: 'qorjs-attached', b: 'qorjs-alone', goal: 1.05, label: 'qorjs with a client attached and idle against qorjs with no debugger' },
    { a: 'node-attached', b: 'node-alone', label: 'For reference: Node.js with a client attached and idle against Node.js with no debugger' },
];
const nameOf = new Map(variants.map(([id, name]) => [id, name]));


// Returns undefined when the results hold no busy-loop run; else the
// section's markdown and its rows for the targets table.
function busyReport(resultsDir, h) {
    const notesFile = path.join(resultsDir, 'busy.txt');
    const runsFile = path.join(resultsDir, 'busy-runs.jsonl');
    if (!fs.existsSync(notesFile) || !fs.existsSync(runsFile)) return undefined;
    const notes = readNotes(notesFile, ['failed', 'retried', 'not waiting']);
    const { median, table, times, fixed, verdict } = h;

    const runs = readRuns(runsFile);
    const of = (variant) => [...(runs.get(variant)?.values() ?? [])];
    const medianOf = (variant, key) => median(of(variant).map((run) => run[key]));
    const ms = (value) => (value === undefined ? '–' : `${fixed(value, 1)} ms`);
    const loadRange = (list) => loadRangeOf(list, fixed);
    const range = (values) => (values.length > 1 ? `${times(Math.min(...values))} to ${times(Math.max(...values))}` : '–');
    const rounds = Number(notes.rounds) || 0;
    // The goal is 5 %: the judged ratio with a third digit, so that a ratio
    // just over it never reads as the goal itself.
    const judged = (value) => (value === undefined ? '–' : `${fixed(value, 3)}×`);

    // A pair's ratio in each round where both halves were measured.
    function pairFigures(pair, key) {
        const ratios = [];
        const measured = [];
        for (const [round, a] of runs.get(pair.a) ?? []) {
            const b = runs.get(pair.b)?.get(round);
            if (!b || !(b[key] > 0)) continue;
            ratios.push(a[key] / b[key]);
            measured.push(a, b);
        }
        return { median: median(ratios), all: ratios, runs: measured };
    }

    const shown = variants.filter(([id]) => of(id).length || notes.failed.some((line) => line.startsWith(`${id}:`)));
    const variantRows = shown.map(([id, name, command]) => [
        name, command, ms(medianOf(id, 'loop_ms')), ms(of(id).length ? Math.min(...of(id).map((run) => run.loop_ms)) : undefined),
        ms(medianOf(id, 'wall_ms')), ms(medianOf(id, 'cpu_ms')), String(of(id).length), loadRange(of(id)),
    ]);
    // The fastest run of each half, the figure least disturbed by other work
    // on the machine: beside the judged ratio, not instead of it.
    const fastest = (id) => (of(id).length ? Math.min(...of(id).map((run) => run.loop_ms)) : undefined);
    const pairRows = pairs.filter((pair) => of(pair.a).length || of(pair.b).length).map((pair) => {
        const loop = pairFigures(pair, 'loop_ms');
        const cpu = pairFigures(pair, 'cpu_ms');
        const [a, b] = [fastest(pair.a), fastest(pair.b)];
        return [
            pair.label, `**${judged(loop.median)}**`, range(loop.all), times(a && b ? a / b : undefined), times(cpu.median),
            pair.goal ? `at most ${fixed(pair.goal)}×` : '–',
            pair.goal && loop.median !== undefined ? verdict(loop.median <= pair.goal) : '–',
            loadRange(loop.runs),
        ];
    });
    const roundRows = [];
    for (let round = 1; round <= rounds; ++round) {
        const first = shown.map(([id]) => runs.get(id)?.get(round)).find((run) => run);
        roundRows.push([String(round), first ? fixed(first.load) : '–', ...shown.map(([id]) => ms(runs.get(id)?.get(round)?.loop_ms))]);
    }

    // What the idle clients saw: how long before the loop they attached, and
    // whether the server sent them anything.
    const attachedRuns = [...of('qorjs-attached'), ...of('node-attached')];
    const lead = attachedRuns.map((run) => run.started_at_ms - run.attached_at_ms);
    const sent = (id) => of(id).reduce((sum, run) => sum + (run.messages || 0), 0);
    const [soonest, latest] = [Math.min(...lead), Math.max(...lead)].map((value) => fixed(value, 0));
    const messages = [['qorjs-attached', 'qorjs'], ['node-attached', 'Node.js']].filter(([id]) => of(id).length)
        .map(([id, name]) => `${sent(id)} (${name})`);
    const clientLine = attachedRuns.length
        ? `The idle clients attached ${soonest === latest ? soonest : `${soonest} to ${latest}`} ms before the loop
began and left after the program had printed its figure; the server${messages.length > 1 ? 's' : ''} sent
them ${messages.join(' and ')} message${messages.length === 1 && sent(attachedRuns[0].variant) === 1 ? '' : 's'} in all.`
        : '';

    const problems = [
        ...notes.failed.map((line) => `- **Failed**: ${line}; the variant was left out from then on.`),
        ...notes.retried.map((line) => `- Run again: ${line}.`),
        ...notes['not waiting'].map((line) => `- ${line}.`),
    ];

    const section = `## A busy program with a client attached

The workload: \`bench/fixtures/busy-loop.js\` waits ${notes['wait ms'] ?? '–'} ms on a timer, then runs
a fixed CPU-bound loop (xorshift rounds, ${notes.work === undefined || notes.work.includes('own') ? 'the fixture\'s own count' : `${notes.work} rounds`}) and prints the loop's own
time. It runs with no debugger, and with the debugger listening
(\`--inspect=0\`) and a client attached that sends nothing: the cost of a
debugger that serves its client while the program runs, when there is
nothing to serve. The client attaches while the program waits on its timer,
and the run counts only if it had attached before the loop began and was
still attached when it ended (a run that misses that is run again).

Who measured: the loop's time is the program's own (\`Date.now()\` in qorjs,
which has no \`performance.now()\`; \`performance.now()\` in Node.js); the
idle client, for qorjs and Node.js alike, is \`qorjs_debug_load --idle\`
(\`bench/debugger/\`), which connects to the address the server prints on
standard error, sends nothing, reads whatever comes, and leaves when the
server says it is waiting for the debugger to disconnect;
\`qorjs_time_command\` times each whole command (wall time, and CPU time of
the process and all its threads from \`wait4\`). \`bench/busy/run\` runs every
variant once unrecorded, then ${rounds} round${rounds === 1 ? '' : 's'}, each variant once, in the order
below in odd rounds and in reverse in even ones; a pair's ratio is the
median of each round's own ratio of loop times, with its range, the ratio of
the two halves' fastest loops and the ratio of whole-run CPU times beside it. The load column gives the one-minute load
average at the start of the runs it covers: ${notes['load before'] ?? '–'} before this section,
${notes['load after'] ?? '–'} after it.
${problems.length ? `\n${problems.join('\n')}\n` : ''}
${table(['Variant', 'Command', 'Loop, median', 'Loop, fastest', 'Whole run, wall', 'Whole run, CPU', 'Runs', 'Load'], variantRows)}

${table(['Pair (A against B)', 'A / B, loop', 'Range over the rounds', 'Fastest A / fastest B', 'A / B, whole-run CPU', 'Goal', '', 'Load'], pairRows)}

${clientLine}

Per round, the loop's time:

${table(['Round', 'Load', ...shown.map(([, name]) => name)], roundRows)}
`;

    const targets = pairs.filter((pair) => pair.goal).map((pair) => {
        const loop = pairFigures(pair, 'loop_ms');
        const label = `Busy loop: ${pair.label}, at most ${fixed(pair.goal)}×`;
        if (loop.median === undefined) {
            const missing = [pair.a, pair.b].filter((id) => !of(id).length)
                .map((id) => `${nameOf.get(id)}: ${notes.failed.some((line) => line.startsWith(`${id}:`)) ? '**failed**' : 'no runs'}`);
            return [label, `not measured (${missing.join('; ')})`, verdict(false)];
        }
        return [label, `${judged(loop.median)} (${range(loop.all) === '–' ? 'one round' : range(loop.all)})`, verdict(loop.median <= pair.goal)];
    });
    return { section, targets };
}

module.exports = { busyReport };
