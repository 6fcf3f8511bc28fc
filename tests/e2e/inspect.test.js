'use strict';
// qorjs --inspect-brk driven end to end by a DevTools-protocol client:
//   node inspect.test.js QORJS_BINARY
// Exits 0 when every check passes; the whole run is bounded by a deadline.

const assert = require('assert/strict');
const { spawn } = require('child_process');
const path = require('path');
const { pathToFileURL } = require('url');
const { connectToQorjs: connect, freePort, sleep, withTimeout } = require('./support');

const qorjs = process.argv[2];
const script = path.join(__dirname, 'fixtures', 'loop.js');
const scriptUrl = pathToFileURL(script).href;
const deadlineMs = 60000;

// Lines of fixtures/loop.js, counted from 0 as the protocol does.
const line = { first: 0, addBody: 2, addReturn: 3, callSite: 7 };

// Every notification in arrival order; waitFor takes the first that matches.
class Events {
    constructor(client) {
        this.seen = [];
        this.waiters = [];
        client.on('event', (message) => {
            this.seen.push(message);
            this.waiters = this.waiters.filter((waiter) => !waiter());
        });
    }
    take(method, predicate) {
        const index = this.seen.findIndex((m) => m.method === method && predicate(m.params));
        return index < 0 ? undefined : this.seen.splice(index, 1)[0].params;
    }
    waitFor(method, predicate = () => true) {
        return withTimeout(new Promise((resolve) => {
            const attempt = () => {
                const found = this.take(method, predicate);
                if (found) resolve(found);
                return Boolean(found);
            };
            if (!attempt()) this.waiters.push(attempt);
        }), method);
    }
    any(method, predicate = () => true) {
        return this.seen.some((m) => m.method === method && predicate(m.params));
    }
}

async function evaluate(client, callFrameId, expression) {
    const { result, exceptionDetails } = await client.Debugger.evaluateOnCallFrame({ callFrameId, expression });
    assert.equal(exceptionDetails, undefined, `evaluating ${expression}`);
    return result.value;
}

function where(paused) {
    const top = paused.callFrames[0];
    return { functionName: top.functionName, lineNumber: top.location.lineNumber, scriptId: top.location.scriptId };
}

async function main() {
    const port = await freePort();
    const runner = spawn(qorjs, [`--inspect-brk=${port}`, script], { stdio: ['ignore', 'pipe', 'pipe'] });
    let stdout = '';
    let stderr = '';
    runner.stdout.on('data', (chunk) => { stdout += chunk; });
    const exited = new Promise((resolve) => runner.on('exit', (code, signal) => resolve({ code, signal })));
    const announced = new RegExp(`Debugger listening on ws://127\\.0\\.0\\.1:${port}\n` +
                                 `.*devtools://devtools/bundled/js_app\\.html\\?ws=127\\.0\\.0\\.1:${port}\\b.*\n`);
    const listening = new Promise((resolve) => {
        runner.stderr.on('data', (chunk) => {
            stderr += chunk;
            // Both lines whole, however the output is cut into chunks.
            if (announced.test(stderr)) resolve();
        });
    });
    const deadline = setTimeout(() => {
        console.error(`deadline passed; runner's stderr:\n${stderr}`);
        runner.kill('SIGKILL');
        process.exit(1);
    }, deadlineMs);

    try {
        await withTimeout(listening, 'the runner to announce where it listens');

        const client = await connect(port);
        let closeCode;
        client._ws.on('close', (code) => { closeCode = code; });
        const events = new Events(client);

        await client.Runtime.enable();
        await client.Debugger.enable();
        // The script must wait for the client's word.
        await sleep(300);
        assert.equal(stdout, '', 'the script ran before Runtime.runIfWaitingForDebugger');
        assert.ok(!events.any('Debugger.scriptParsed', (p) => p.url === scriptUrl), 'script compiled too early');

        await client.Runtime.runIfWaitingForDebugger();
        const parsed = await events.waitFor('Debugger.scriptParsed', (p) => p.url === scriptUrl);
        let paused = await events.waitFor('Debugger.paused');
        assert.deepEqual(where(paused), { functionName: '', lineNumber: line.first, scriptId: parsed.scriptId });

        // A breakpoint by URL and line, hit with the loop's locals in view.
        const { breakpointId } = await client.Debugger.setBreakpointByUrl({ url: scriptUrl, lineNumber: line.callSite });
        await client.Debugger.resume();
        paused = await events.waitFor('Debugger.paused');
        assert.equal(where(paused).lineNumber, line.callSite);
        assert.deepEqual(paused.hitBreakpoints, [breakpointId]);
        let frame = paused.callFrames[0].callFrameId;
        assert.equal(await evaluate(client, frame, 'total'), 0);
        assert.equal(await evaluate(client, frame, 'i'), 1);

        await client.Debugger.stepInto();
        paused = await events.waitFor('Debugger.paused');
        assert.deepEqual(where(paused), { functionName: 'add', lineNumber: line.addBody, scriptId: parsed.scriptId });
        frame = paused.callFrames[0].callFrameId;
        assert.equal(await evaluate(client, frame, 'a + b'), 1);

        await client.Debugger.stepOver();
        paused = await events.waitFor('Debugger.paused');
        assert.deepEqual(where(paused), { functionName: 'add', lineNumber: line.addReturn, scriptId: parsed.scriptId });
        assert.equal(await evaluate(client, paused.callFrames[0].callFrameId, 'sum'), 1);

        await client.Debugger.removeBreakpoint({ breakpointId });
        await client.Debugger.resume();
        const logged = await events.waitFor('Runtime.consoleAPICalled');
        assert.equal(logged.type, 'log');
        assert.deepEqual(logged.args.map((arg) => arg.value), ['hello', 6]);

        const { code, signal } = await withTimeout(exited, 'the runner to exit');
        assert.deepEqual({ code, signal }, { code: 0, signal: null }, `runner's stderr:\n${stderr}`);
        assert.equal(stdout, 'hello 6\n');
        await withTimeout(new Promise((resolve) => {
            if (client._ws.readyState === 3) resolve();
            else client._ws.once('close', resolve);
        }), 'the socket to close');
        assert.equal(closeCode, 1000);
        console.log('inspect end to end: all checks passed');
    } finally {
        clearTimeout(deadline);
        runner.kill('SIGKILL');
    }
}

main().catch((error) => {
    console.error(error);
    process.exit(1);
});
