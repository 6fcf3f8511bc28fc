// What the whole-command benchmarks (bench/startup/run, bench/busy/run) leave
// in the results directory, read back for their report sections: a notes
// file of "key: value" lines and a JSON line per recorded run.
'use strict';

const fs = require('fs');

// The notes as an object; the keys in `listKeys` may repeat and collect
// every value in order.
function readNotes(file, listKeys) {
    const notes = Object.fromEntries(listKeys.map((key) => [key, []]));
    for (const line of fs.readFileSync(file, 'utf8').split('\n')) {
        const colon = line.indexOf(':');
        if (colon <= 0) continue;
        const key = line.slice(0, colon);
        const value = line.slice(colon + 1).trim();
        if (Array.isArray(notes[key])) notes[key].push(value);
        else notes[key] = value;
    }
    return notes;
}

// Per variant, its runs by round, each with its CPU time (user and system).
function readRuns(file) {
    const runs = new Map();
    for (const line of fs.readFileSync(file, 'utf8').split('\n')) {
        if (!line.trim()) continue;
        const run = JSON.parse(line);
        run.cpu_ms = run.user_ms + run.sys_ms;
        if (!runs.has(run.variant)) runs.set(run.variant, new Map());
        runs.get(run.variant).set(run.round, run);
    }
    return runs;
}

// The machine load the runs in `list` started at, as a range.
function loadRange(list, fixed) {
    const loads = list.map((run) => run.load).filter((load) => load >= 0);
    if (!loads.length) return '–';
    const [low, high] = [Math.min(...loads), Math.max(...loads)];
    return low === high ? fixed(low) : `${fixed(low)} to ${fixed(high)}`;
}

module.exports = { readNotes, readRuns, loadRange };
