'use strict';
// What the end-to-end scripts share: qorjs run with its output collected, a
// DevTools-protocol client that keeps every event, a program's end with a client
// attached, paused frames looked into, waits that give up, and a run that exits
// 0 only when every check passed, cleaning up on every way out.

const assert = require('assert/strict');
const { spawn } = require('child_process');
const CDP = require('chrome-remote-interface');

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));
const cleanups = [];

// The first truthy value of `probe`, tried every 50 ms.
async function poll(probe, what, ms = 15000) {
    for (const giveUp = Date.now() + ms; Date.now() < giveUp; await sleep(50)) {
        const value = await probe();
        if (value) return value;
    }
    throw new Error(`timed out waiting for ${what}`);
}

// `command` with its output collected and its exit status kept; killed on the way out.
function start(command, args) {
    const child = spawn(command, args);
    const started = { child, out: '', err: '' };
    child.stdout.on('data', (chunk) => { started.out += chunk; });
    child.stderr.on('data', (chunk) => { started.err += chunk; });
    child.on('exit', (code, signal) => { started.status = { code, signal }; });
    cleanups.push(async () => child.kill('SIGKILL'));
    return started;
}

function startQorjs(binary, args) {
    const qorjs = start(binary, args);
    // qorjs announces both the port and the frontend's address once, and
    // serves on that port for the whole run; resolves with the port.
    qorjs.listening = () => poll(() => Number(/Debugger listening on ws:\/\/127\.0\.0\.1:(\d+)\n.*devtools:\/\/devtools\/bundled\/js_app\.html\?ws=127\.0\.0\.1:\1\b.*\n/
        .exec(qorjs.err)?.[1]), 'qorjs to listen');
    // The program ends with a client attached, which `leave` sends away.
    qorjs.endsWith = async (stdout, leave) => {
        await waitsForLeave(qorjs);
        await exitsOnLeave(qorjs, leave, 0, stdout);
    };
    return qorjs;
}

// The program has ended with a client attached: the debugger says it waits for the client to leave, and does.
async function waitsForLeave(started) {
    await poll(() => started.err.includes('Waiting for the debugger to disconnect...\n'), 'the program to end');
    assert.equal(started.status, undefined, 'exited with a client attached');
}

// Once `leave` has sent the client away, the process exits with `code`, having printed `stdout`.
async function exitsOnLeave(started, leave, code, stdout) {
    await leave();
    assert.deepEqual([await poll(() => started.status, 'the exit'), started.out], [{ code, signal: null }, stdout],
        started.err);
}

// `local: true`: qorjs serves no protocol description, the client brings its own.
async function connect(options) {
    const client = await CDP({ local: true, ...options });
    cleanups.push(() => client.close());
    client.seen = [];
    client.on('event', (message) => client.seen.push(message));
    // Takes the first event of `method` not taken yet.
    client.next = (method) => poll(() => {
        const at = client.seen.findIndex((m) => m.method === method);
        return at >= 0 && client.seen.splice(at, 1)[0].params;
    }, method);
    return client;
}

// The value of `expression` in the top frame of `paused`; fails on an exception.
async function evaluateOn(client, paused, expression) {
    const { callFrameId } = paused.callFrames[0];
    const reply = await client.Debugger.evaluateOnCallFrame({ callFrameId, expression });
    assert.equal(reply.exceptionDetails, undefined, expression);
    return reply.result.value;
}

// The next pause: where its top frame is, in the script parsed from `url`, and what that frame sees.
async function pausedAt(client, url, functionName, lineNumber, sees = {}) {
    const paused = await client.next('Debugger.paused');
    const [top] = paused.callFrames;
    const parsed = client.seen.find((m) => m.method === 'Debugger.scriptParsed' && m.params.url === url);
    assert.deepEqual([top.functionName, top.location.lineNumber, top.location.scriptId],
        [functionName, lineNumber, parsed?.params.scriptId]);
    for (const [expression, value] of Object.entries(sees))
        assert.deepEqual(await evaluateOn(client, paused, expression), value, expression);
    return paused;
}

function run(name, test) {
    const finish = async (code) => {
        for (const cleanup of cleanups.reverse()) await cleanup().catch(() => {});
        process.exit(code);
    };
    const deadline = setTimeout(() => console.error(`${name}: deadline passed`) || finish(1), 90000);
    test().then(() => console.log(`${name}: all checks passed`) || 0, (error) => console.error(error) || 1)
        .then((code) => clearTimeout(deadline) || finish(code));
}

module.exports = {
    sleep, poll, start, startQorjs, waitsForLeave, exitsOnLeave, connect, evaluateOn, pausedAt, run, cleanups,
};
