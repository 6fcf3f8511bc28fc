'use strict';
// What the end-to-end scripts share: qorjs run with its output collected, a
// DevTools-protocol client that keeps every event, waits that give up, and a
// run that exits 0 only when every check passed, cleaning up on every way out.

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
    // qorjs announces both the port and the frontend's address each time it
    // listens anew; resolves with the port of the `times`th time.
    qorjs.listening = async (times = 1) => {
        const announced = () => [...qorjs.err.matchAll(/Debugger listening on ws:\/\/127\.0\.0\.1:(\d+)\n.*devtools:\/\/devtools\/bundled\/js_app\.html\?ws=127\.0\.0\.1:\1\b.*\n/g)];
        await poll(() => announced().length >= times, `qorjs to listen (${times})`);
        return Number(announced()[times - 1][1]);
    };
    qorjs.endsWith = async (stdout) => assert.deepEqual([await poll(() => qorjs.status, 'qorjs to exit'), qorjs.out],
        [{ code: 0, signal: null }, stdout], qorjs.err);
    return qorjs;
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

function run(name, test) {
    const finish = async (code) => {
        for (const cleanup of cleanups.reverse()) await cleanup().catch(() => {});
        process.exit(code);
    };
    const deadline = setTimeout(() => console.error(`${name}: deadline passed`) || finish(1), 90000);
    test().then(() => console.log(`${name}: all checks passed`) || 0, (error) => console.error(error) || 1)
        .then((code) => clearTimeout(deadline) || finish(code));
}

module.exports = { sleep, poll, start, startQorjs, connect, run, cleanups };
