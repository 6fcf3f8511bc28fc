'use strict';
// A breakpoint in a timer callback of a module that qorjs loads with
// import(), set by URL before the module exists: it is hit with the
// callback's arguments in view, and while the callback is paused the timer
// due after it does not run.
//   node timer-in-import.test.js QORJS_BINARY

const assert = require('assert/strict');
const path = require('path');
const { pathToFileURL } = require('url');
const { connectToQorjs, runTest, sleep, startQorjs, withTimeout } = require('./support');

const qorjsBinary = process.argv[2];
const fixtures = path.join(__dirname, 'fixtures', 'timers');
const tickerUrl = pathToFileURL(path.join(fixtures, 'ticker.mjs')).href;
const tickLine = 3;  // `console.log(seen)` in ticker.mjs, counted from 0

let qorjs;
let client;

function nextPause() {
    return withTimeout(new Promise((resolve) => client.once('Debugger.paused', resolve)), 'a pause');
}

async function test() {
    qorjs = startQorjs(qorjsBinary, ['--inspect-brk=0', path.join(fixtures, 'main.mjs')]);
    await qorjs.listening();
    const port = Number(/ws:\/\/127\.0\.0\.1:(\d+)/.exec(qorjs.output.stderr)[1]);
    client = await connectToQorjs(port);

    const parsed = new Map();
    client.on('Debugger.scriptParsed', ({ url, scriptId }) => parsed.set(url, scriptId));
    await client.Debugger.enable();
    const { breakpointId } = await client.Debugger.setBreakpointByUrl({ url: tickerUrl, lineNumber: tickLine });

    let pause = nextPause();
    await client.Runtime.runIfWaitingForDebugger();
    await pause;  // --inspect-brk: the main module's first line
    pause = nextPause();
    await client.Debugger.resume();

    const paused = await pause;
    assert.deepEqual(paused.hitBreakpoints, [breakpointId]);
    const [top] = paused.callFrames;
    assert.equal(top.functionName, 'tick');
    assert.equal(top.location.scriptId, parsed.get(tickerUrl));
    assert.equal(top.location.lineNumber, tickLine);
    const { result } = await client.Debugger.evaluateOnCallFrame({ callFrameId: top.callFrameId, expression: 'seen' });
    assert.equal(result.value, 'first ran');

    // The second timer fell due long ago; it waits for the paused one.
    await sleep(300);
    assert.equal(qorjs.output.stdout, '');

    await client.Debugger.resume();
    const { code, signal } = await withTimeout(qorjs.exited, 'qorjs to exit');
    assert.deepEqual({ code, signal }, { code: 0, signal: null }, qorjs.output.stderr);
    assert.equal(qorjs.output.stdout, 'first ran\nsecond ran\n');
}

runTest('breakpoint in a timer callback of an imported module', test, {
    cleanup: async () => {
        if (client) await client.close().catch(() => {});
        if (qorjs) qorjs.kill();
    },
});
