'use strict';
// qorjs --inspect-brk=0 stepped through by the command-line debugger that
// ships with Node.js, driven through its standard input as a user types:
// it finds the target by port, pauses on the first line, steps, evaluates,
// and lets the script run to its end.
//   node node-inspect.test.js QORJS_BINARY

const assert = require('assert/strict');
const { spawn } = require('child_process');
const path = require('path');
const { runTest, startQorjs, withTimeout } = require('./support');

const qorjsBinary = process.argv[2];
const script = path.join(__dirname, 'fixtures', 'steps.js');

let qorjs;
let debuggerCli;

// The CLI debugger on `port`, its output collected; `next(pattern)` waits
// for the pattern to appear in what it printed after the previous wait.
function startCli(port) {
    const cli = spawn(process.execPath, ['inspect', `127.0.0.1:${port}`], { stdio: ['pipe', 'pipe', 'pipe'] });
    let output = '';
    let seen = 0;
    const watchers = [];
    const check = () => watchers.splice(0).forEach((watch) => (watch() ? null : watchers.push(watch)));
    cli.stdout.on('data', (chunk) => { output += chunk; check(); });
    cli.stderr.on('data', (chunk) => { output += chunk; check(); });
    return {
        process: cli,
        output: () => output,
        type: (line) => cli.stdin.write(`${line}\n`),
        next: (pattern) => withTimeout(new Promise((resolve) => {
            const watch = () => {
                const match = pattern.exec(output.slice(seen));
                if (!match) return false;
                seen += match.index + match[0].length;
                resolve(match);
                return true;
            };
            if (!watch()) watchers.push(watch);
        }), `the CLI debugger to print ${pattern}`).catch((error) => {
            throw new Error(`${error.message}; it printed:\n${output}`);
        }),
    };
}

async function test() {
    qorjs = startQorjs(qorjsBinary, ['--inspect-brk=0', script]);
    await qorjs.listening();
    const port = Number(/Debugger listening on ws:\/\/127\.0\.0\.1:(\d+)\n/.exec(qorjs.output.stderr)[1]);

    debuggerCli = startCli(port);
    // It names the pause's reason (qorjs gives none) and the script's path.
    await debuggerCli.next(/ in \S*steps\.js:1\n> 1 const answer/);
    await debuggerCli.next(/debug> $/);
    assert.equal(qorjs.output.stdout, '', 'the script ran past its first line');

    debuggerCli.type('n');
    await debuggerCli.next(/break in \S*steps\.js:2\n/);
    await debuggerCli.next(/debug> $/);

    debuggerCli.type('exec answer');
    await debuggerCli.next(/\b42\b/);
    await debuggerCli.next(/debug> $/);

    debuggerCli.type('c');
    await qorjs.printed('doubled is 84');
    const { code, signal } = await withTimeout(qorjs.exited, 'qorjs to exit');
    assert.deepEqual({ code, signal }, { code: 0, signal: null }, qorjs.output.stderr);
    assert.ok(!qorjs.output.stderr.includes('Error: '), qorjs.output.stderr);
}

runTest('node inspect', test, {
    cleanup: async () => {
        if (debuggerCli) debuggerCli.process.kill('SIGKILL');
        if (qorjs) qorjs.kill();
    },
});
