'use strict';
// A web page served from 127.0.0.1 opens a WebSocket to qorjs --inspect in a
// real browser: the upgrade is refused with 403 and the script does not run.
// Then a tool that sends no Origin attaches and runs it.
//   node browser-page.test.js QORJS_BINARY

const assert = require('assert/strict');
const http = require('http');
const path = require('path');
const { freePort, poll, runTest, sleep, startQorjs, connectToQorjs, withTimeout } = require('./support');
const { startChromium, requireChromium } = require('./browser');

const qorjsBinary = process.argv[2];
const script = path.join(__dirname, 'fixtures', 'greet.js');

let qorjs;
let browser;
let server;
let tool;

async function servePage() {
    server = http.createServer((request, response) => {
        response.writeHead(200, { 'content-type': 'text/html; charset=utf-8' });
        response.end('<!doctype html><title>a page on 127.0.0.1</title>');
    });
    await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
    return `http://127.0.0.1:${server.address().port}`;
}

async function test() {
    requireChromium();
    const port = await freePort();
    qorjs = startQorjs(qorjsBinary, [`--inspect=${port}`, script]);
    await qorjs.listening(1);
    const pageOrigin = await servePage();
    browser = await startChromium();

    const page = await browser.open(`${pageOrigin}/`);
    const handshakeErrors = [];
    browser.onEvent(page, (message) => {
        if (message.method === 'Network.webSocketFrameError') handshakeErrors.push(message.params.errorMessage);
    });
    await browser.send(page, 'Network.enable');
    const outcome = await browser.evaluate(page, `new Promise((resolve) => {
        const socket = new WebSocket('ws://127.0.0.1:${port}');
        socket.onopen = () => resolve('open');
        socket.onclose = (event) => resolve('closed with ' + event.code);
    })`);
    assert.equal(outcome, 'closed with 1006', 'the page got a connection');
    await poll(() => handshakeErrors.length > 0, 'the browser to report the failed handshake');
    assert.match(handshakeErrors[0], /Unexpected response code: 403/);

    // Refused, qorjs says whom it refused and listens again, the script unrun.
    await qorjs.listening(2);
    assert.ok(qorjs.output.stderr.includes(`Error: refused a DevTools connection from Origin "${pageOrigin}"`),
        qorjs.output.stderr);
    await sleep(300);
    assert.equal(qorjs.output.stdout, '', 'the script ran for the refused page');

    tool = await connectToQorjs(port);
    await tool.Runtime.enable();
    await tool.Runtime.runIfWaitingForDebugger();
    await qorjs.printed('hello from browser');
    const { code, signal } = await withTimeout(qorjs.exited, 'qorjs to exit');
    assert.deepEqual({ code, signal }, { code: 0, signal: null }, qorjs.output.stderr);
    assert.equal(qorjs.output.stdout, 'hello from browser\n');
    assert.equal((qorjs.output.stderr.match(/Error: /g) || []).length, 1, qorjs.output.stderr);
}

runTest('browser page refused', test, {
    cleanup: async () => {
        if (tool) await tool.close().catch(() => {});
        if (browser) await browser.close();
        if (server) server.close();
        if (qorjs) qorjs.kill();
    },
});
