'use strict';
// Pieces shared by the end-to-end tests: ports, time limits, and qorjs itself.

const { spawn } = require('child_process');
const net = require('net');
const CDP = require('chrome-remote-interface');

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

// A port on 127.0.0.1 that was free a moment ago.
function freePort() {
    return new Promise((resolve, reject) => {
        const server = net.createServer();
        server.once('error', reject);
        server.listen(0, '127.0.0.1', () => {
            const { port } = server.address();
            server.close(() => resolve(port));
        });
    });
}

function withTimeout(promise, what, ms = 10000) {
    let timer;
    const timeout = new Promise((_, reject) => {
        timer = setTimeout(() => reject(new Error(`timed out waiting for ${what}`)), ms);
    });
    return Promise.race([promise, timeout]).finally(() => clearTimeout(timer));
}

// Runs `test` and exits 0 when it resolves, 1 when it throws or when the
// whole run passes `deadlineMs`; `cleanup` runs on every way out.
function runTest(name, test, { deadlineMs = 60000, cleanup = async () => {} } = {}) {
    const deadline = setTimeout(async () => {
        console.error(`${name}: deadline of ${deadlineMs} ms passed`);
        await cleanup();
        process.exit(1);
    }, deadlineMs);
    test()
        .then(() => console.log(`${name}: all checks passed`), (error) => {
            console.error(error);
            process.exitCode = 1;
        })
        .finally(async () => {
            clearTimeout(deadline);
            await cleanup();
            process.exit(process.exitCode || 0);
        });
}

// qorjs with these arguments, its output collected as it comes. For
// --inspect and --inspect-brk, `listening(times)` resolves once both lines
// announcing the port have been printed that many times: qorjs announces
// again each time it listens anew.
function startQorjs(binary, args) {
    const runner = spawn(binary, args, { stdio: ['ignore', 'pipe', 'pipe'] });
    const output = { stdout: '', stderr: '' };
    const watchers = [];
    const check = () => watchers.splice(0).forEach((watch) => (watch() ? null : watchers.push(watch)));
    runner.stdout.on('data', (chunk) => { output.stdout += chunk; check(); });
    runner.stderr.on('data', (chunk) => { output.stderr += chunk; check(); });
    const exited = new Promise((resolve) => runner.on('exit', (code, signal) => resolve({ code, signal })));
    const until = (predicate, what) => withTimeout(new Promise((resolve) => {
        const watch = () => (predicate(output) ? (resolve(), true) : false);
        if (!watch()) watchers.push(watch);
    }), what);
    const announcements = (text) => (text.match(/Debugger listening on ws:\/\/127\.0\.0\.1:\d+\n.*devtools:\/\/devtools\/bundled\/js_app\.html\?ws=127\.0\.0\.1:\d+\b.*\n/g) || []).length;
    return {
        output,
        exited,
        listening: (times = 1) => until((o) => announcements(o.stderr) >= times, `qorjs to listen (${times})`),
        printed: (text) => until((o) => o.stdout.includes(text), `qorjs to print ${JSON.stringify(text)}`),
        kill: () => runner.kill('SIGKILL'),
    };
}

// A DevTools-protocol client attached to qorjs by its ws:// address.
// `local: true` keeps the client from asking for /json/protocol, which qorjs
// does not serve. qorjs announces the port once it listens; a refused
// connect is still tried again for a while, which costs nothing.
async function connectToQorjs(port) {
    const started = Date.now();
    for (;;) {
        try {
            return await CDP({ target: `ws://127.0.0.1:${port}`, local: true });
        } catch (error) {
            if (error.code !== 'ECONNREFUSED' || Date.now() - started > 3000) throw error;
            await sleep(50);
        }
    }
}

// Calls `probe` every 100 ms until it gives something truthy, and returns that.
async function poll(probe, what, ms = 15000) {
    const giveUp = Date.now() + ms;
    for (;;) {
        const value = await probe();
        if (value) return value;
        if (Date.now() > giveUp) throw new Error(`timed out waiting for ${what}`);
        await sleep(100);
    }
}

module.exports = { sleep, freePort, withTimeout, runTest, startQorjs, connectToQorjs, poll };
