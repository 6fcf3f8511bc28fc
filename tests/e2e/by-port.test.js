'use strict';
// qorjs --inspect-brk=0 found by its port alone, as chrome-remote-interface
// scripts find a target: the version and target list, then a session whose
// Runtime.evaluate names no execution context.
//   node by-port.test.js QORJS_BINARY

const assert = require('assert/strict');
const dns = require('dns').promises;
const path = require('path');
const { pathToFileURL } = require('url');
const CDP = require('chrome-remote-interface');
const { runTest, startQorjs, withTimeout } = require('./support');

const qorjsBinary = process.argv[2];
const script = path.join(__dirname, 'fixtures', 'steps.js');

let qorjs;
let client;

// The port qorjs announced: with port 0, the one the system chose.
function announcedPort(stderr) {
    return Number(/Debugger listening on ws:\/\/127\.0\.0\.1:(\d+)\n/.exec(stderr)[1]);
}

async function test() {
    qorjs = startQorjs(qorjsBinary, ['--inspect-brk=0', script]);
    await qorjs.listening();
    const port = announcedPort(qorjs.output.stderr);
    assert.notEqual(port, 0);
    // The client's default host is "localhost"; qorjs listens on 127.0.0.1
    // only, which a machine that resolves localhost to ::1 first does not reach.
    const byPort = (await dns.lookup('localhost')).address === '127.0.0.1' ? { port } : { host: '127.0.0.1', port };

    const version = await CDP.Version(byPort);
    assert.match(version.Browser, /^QorJavaScript\//);
    assert.equal(version['Protocol-Version'], '1.3');
    assert.match(version['V8-Version'], /^10\.2\./);

    const targets = await CDP.List(byPort);
    assert.equal(targets.length, 1, JSON.stringify(targets));
    const [target] = targets;
    assert.equal(target.title, 'steps.js');
    assert.equal(target.url, pathToFileURL(script).href);
    assert.equal(target.webSocketDebuggerUrl, `ws://127.0.0.1:${port}/${target.id}`);

    // No protocol description is served, so the client must bring its own;
    // asking for it is answered and leaves the target waiting.
    await assert.rejects(CDP(byPort), /protocol description/);
    client = await CDP({ ...byPort, local: true });

    const { result } = await client.Runtime.evaluate({ expression: '6 * 7' });
    assert.deepEqual(result, { type: 'number', value: 42, description: '42' });

    await client.Debugger.enable();
    const paused = withTimeout(new Promise((resolve) => client.once('Debugger.paused', resolve)), 'the pause');
    await client.Runtime.runIfWaitingForDebugger();
    assert.equal((await paused).callFrames[0].location.lineNumber, 0);
    await client.Debugger.resume();

    await qorjs.printed('doubled is 84');
    const { code, signal } = await withTimeout(qorjs.exited, 'qorjs to exit');
    assert.deepEqual({ code, signal }, { code: 0, signal: null }, qorjs.output.stderr);
    assert.ok(!qorjs.output.stderr.includes('Error: '), qorjs.output.stderr);
}

runTest('chrome-remote-interface by port', test, {
    cleanup: async () => {
        if (client) await client.close().catch(() => {});
        if (qorjs) qorjs.kill();
    },
});
