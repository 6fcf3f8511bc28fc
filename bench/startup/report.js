// The start-up section of docs/performance.md, from what bench/startup/run
// left in the results directory: startup.txt and startup-runs.jsonl.
// bench/report.js calls startupReport with its own formatting helpers and
// places the section and its targets in the document.
'use strict';

const fs = require('fs');
const path = require('path');
const { readNotes, readRuns, loadRange: loadRangeOf } = require('../runs');

const MiB = 1 << 20;

// The variants in the order of the tables, with what each one runs.
const variants = [
    ['qorjs-cold', 'qorjs, no cache, no snapshot', '`qorjs app.js`'],
    ['qorjs-cache-first', 'qorjs, first run with the cache on', '`qorjs --compile-cache=DIR app.js`, DIR emptied before each run'],
    ['qorjs-cache-warm', 'qorjs, warm compile cache', '`qorjs --compile-cache=DIR app.js`, DIR written by earlier runs'],
    ['qorjs-snapshot', 'qorjs from its snapshot', '`qorjs --snapshot-blob FILE transpile.js`'],
    ['node-snapshot', 'Node.js from its snapshot', '`node --snapshot-blob FILE`'],
    ['node-cold', 'Node.js, no snapshot', '`node app.js`'],
];
const builds = [
    ['qorjs-build-snapshot', 'qorjs', 'qorjs-cold', '`qorjs --snapshot-blob FILE --build-snapshot typescript.js`'],
    ['node-build-snapshot', 'Node.js', 'node-cold', '`node --snapshot-blob FILE --build-snapshot node-snapshot-entry.js`'],
];
// The pairs judged, A's time over B's in the same round, and the two shown
// for reference.
const pairs = [
    { a: 'qorjs-cache-warm', b: 'qorjs-cold', goal: 0.40, label: 'qorjs with a warm compile cache against qorjs without one' },
    { a: 'qorjs-snapshot', b: 'node-snapshot', goal: 0.50, label: 'qorjs from its snapshot against Node.js from its own' },
    { a: 'qorjs-snapshot', b: 'qorjs-cold', goal: 0.20, label: 'qorjs from its snapshot against qorjs without one' },
    { a: 'qorjs-cache-first', b: 'qorjs-cold', goal: 1.10, label: 'qorjs\'s first run with the cache on (an empty directory) against a run without it' },
    { a: 'node-snapshot', b: 'node-cold', label: 'For reference: Node.js from its snapshot against Node.js without one' },
    { a: 'qorjs-cold', b: 'node-cold', label: 'For reference: qorjs against Node.js, neither with a cache or snapshot' },
];
const nameOf = new Map([...variants.map(([id, name]) => [id, name]), ...builds.map(([id, engine]) => [id, `${engine} writing its snapshot`])]);


// Returns undefined when the results hold no start-up run; else the section's
// markdown and its rows for the targets table.
function startupReport(resultsDir, h) {
    const notesFile = path.join(resultsDir, 'startup.txt');
    const runsFile = path.join(resultsDir, 'startup-runs.jsonl');
    if (!fs.existsSync(notesFile) || !fs.existsSync(runsFile)) return undefined;
    const notes = readNotes(notesFile, ['skipped', 'failed']);
    const { median, table, times, fixed, verdict } = h;

    const runs = readRuns(runsFile);
    const of = (variant) => [...(runs.get(variant)?.values() ?? [])];
    const medianOf = (variant, key) => median(of(variant).map((run) => run[key]));
    const ms = (value) => (value === undefined ? '–' : `${fixed(value, 1)} ms`);
    const mib = (bytes) => (Number.isFinite(bytes) ? `${fixed(bytes / MiB, 1)} MiB` : '–');
    const loadRange = (list) => loadRangeOf(list, fixed);
    const range = (values) => (values.length > 1 ? `${times(Math.min(...values))} to ${times(Math.max(...values))}` : '–');
    const rounds = Number(notes.rounds) || 0;
    const failedIds = new Set(notes.failed.map((line) => line.split(':')[0]));

    // A pair's ratio in each round where both were measured, of wall and of
    // CPU time; the loads its runs started at.
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

    const variantRows = variants.map(([id, name, command]) => [
        name, command, ms(medianOf(id, 'wall_ms')), ms(of(id).length ? Math.min(...of(id).map((run) => run.wall_ms)) : undefined),
        ms(medianOf(id, 'cpu_ms')), mib(medianOf(id, 'max_rss_kib') * 1024), String(of(id).length), loadRange(of(id)),
    ]);

    const pairRows = pairs.map((pair) => {
        const wall = pairFigures(pair, 'wall_ms');
        const cpu = pairFigures(pair, 'cpu_ms');
        return [
            pair.label, `**${times(wall.median)}**`, range(wall.all), times(cpu.median),
            pair.goal ? `at most ${fixed(pair.goal)}×` : '–',
            pair.goal && wall.median !== undefined ? verdict(wall.median <= pair.goal) : '–',
            loadRange(wall.runs),
        ];
    });

    // What the cache and the snapshots cost: the time to write them beside
    // a plain run, and their size on disk.
    const costRows = [];
    for (const [id, engine, cold, command] of builds) {
        const build = medianOf(id, 'wall_ms');
        const plain = medianOf(cold, 'wall_ms');
        costRows.push([`${engine}'s snapshot, written by ${command}`, ms(build),
            build !== undefined && plain !== undefined ? `${times(build / plain)} its run without one` : '–',
            mib(medianOf(id, 'bytes')), loadRange(of(id))]);
    }
    const writing = [];
    for (const [round, first] of runs.get('qorjs-cache-first') ?? []) {
        const plain = runs.get('qorjs-cold')?.get(round);
        if (plain) writing.push(first.wall_ms - plain.wall_ms);
    }
    const firstRatio = pairFigures(pairs[3], 'wall_ms');
    costRows.push(['qorjs\'s compile cache, written by its first run',
        writing.length ? `${ms(median(writing))} more than a run without it` : '–',
        firstRatio.median !== undefined ? `${times(firstRatio.median)} that run` : '–',
        mib(medianOf('qorjs-cache-first', 'bytes')), loadRange(of('qorjs-cache-first'))]);
    const warm = of('qorjs-cache-warm');
    costRows.push(['the same cache after the warm runs', '–', '–',
        warm.length ? mib(warm.reduce((last, run) => (run.round > last.round ? run : last)).bytes) : '–', '–']);

    const roundRows = [];
    for (let round = 1; round <= rounds; ++round) {
        const cells = variants.map(([id]) => ms(runs.get(id)?.get(round)?.wall_ms));
        const first = variants.map(([id]) => runs.get(id)?.get(round)).find((run) => run);
        roundRows.push([String(round), first ? fixed(first.load) : '–', ...cells]);
    }

    const problems = [
        ...notes.skipped.map((line) => `- Skipped: ${line}.`),
        ...notes.failed.map((line) => `- **Failed**: ${line}${nameOf.has(line.split(':')[0]) ? '; the variant was left out from then on' : ''}.`),
    ];
    const buildCount = Number(notes.builds) || 0;
    const bundleMiB = notes['bundle bytes'] ? `${fixed(Number(notes['bundle bytes']) / MiB, 1)} MiB` : 'its';

    const section = `## Start-up: the typescript bundle

The workload: ${notes.workload ?? 'the typescript package'}, whose ${bundleMiB}
\`lib/typescript.js\` is loaded, then \`ts.transpileModule\` called once on an
18-line TypeScript text and its output printed (\`bench/startup/transpile.js\`).
\`bench/startup/install-typescript\` installs the package at the version that
\`bench/startup/package.json\` pins. \`app.js\` is the bundle with
\`transpile.js\` appended: qorjs runs it as a classic script, Node.js as a
CommonJS module, where the bundle also finds \`module\` and makes its
\`ts.sys\` from Node.js's modules. qorjs builds its snapshot from the bundle
alone and, started from it, runs \`transpile.js\`. Node.js's snapshot entry is
the bundle followed by \`v8.startupSnapshot.setDeserializeMainFunction\` with
\`transpile.js\` as its body. Every run's output is checked against the
first's; a run that fails or prints anything else is named below.

Who measured: \`qorjs_time_command\` (\`bench/startup/\`) times each whole
command from its spawn to its reaping, start-up, the program and exit,
with its output written to a file; the CPU time is the process's user and
system time, from \`wait4\`. Every variant ran once before the rounds,
unrecorded (that first run gives the expected output, the snapshots and the
warm cache, and puts every file in the page cache). Then ${rounds} round${rounds === 1 ? '' : 's'}, each
running every variant once, in the order below in odd rounds and in reverse
in even ones, so that the two halves of a pair run back to back; a pair's
ratio is the median of each round's own ratio of wall times, with its range
and the ratio of CPU times beside it. The snapshot builds ran in ${buildCount}
round${buildCount === 1 ? '' : 's'} of their own after that. The load column gives the one-minute
load average at the start of the runs it covers: ${notes['load before'] ?? '–'} before
this section, ${notes['load after'] ?? '–'} after it.
${problems.length ? `\n${problems.join('\n')}\n` : ''}
${table(['Variant', 'Command', 'Wall, median', 'Wall, fastest', 'CPU, median', 'Peak RSS', 'Runs', 'Load'], variantRows)}

${table(['Pair (A against B)', 'A / B, wall', 'Range over the rounds', 'A / B, CPU', 'Goal', '', 'Load'], pairRows)}

What the cache and the snapshots cost:

${table(['Written', 'Time', 'Against', 'On disk', 'Load'], costRows)}

Per round, wall time:

${table(['Round', 'Load', ...variants.map(([, name]) => name)], roundRows)}
`;

    const targets = pairs.filter((pair) => pair.goal).map((pair) => {
        const wall = pairFigures(pair, 'wall_ms');
        const label = `Start-up: ${pair.label}, at most ${fixed(pair.goal)}×`;
        if (wall.median === undefined) {
            const missing = [pair.a, pair.b].filter((id) => !of(id).length)
                .map((id) => `${nameOf.get(id)}: ${failedIds.has(id) ? '**failed**' : notes.skipped.length ? 'skipped' : 'no runs'}`);
            return [label, `not measured (${missing.join('; ')})`, '–'];
        }
        return [label, `${times(wall.median)} (${range(wall.all) === '–' ? 'one round' : range(wall.all)})`, verdict(wall.median <= pair.goal)];
    });
    return { section, targets };
}

module.exports = { startupReport };
