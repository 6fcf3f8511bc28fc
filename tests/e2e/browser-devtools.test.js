'use strict';
// The real DevTools frontend of a headless Chromium as the client of
// qorjs --inspect-brk: it shows the script paused on line 1, its Resume
// button lets the script finish, and its console receives the script's output,
// console.time's duration included.
//   node browser-devtools.test.js QORJS_BINARY

const assert = require('assert/strict');
const path = require('path');
const { pathToFileURL } = require('url');
const { freePort, poll, runTest, startQorjs, withTimeout } = require('./support');
const { startChromium, requireChromium } = require('./browser');

const qorjsBinary = process.argv[2];
const script = path.join(__dirname, 'fixtures', 'greet.js');
const scriptUrl = pathToFileURL(script).href;

// Run inside the frontend: its own modules tell what it knows.
const SDK = "await import('devtools://devtools/bundled/core/sdk/sdk.js')";

// Where the frontend's debugger model says the script is paused, or null.
const PAUSED_AT = `(async () => {
    const SDK = ${SDK};
    for (const model of SDK.TargetManager.TargetManager.instance().models(SDK.DebuggerModel.DebuggerModel)) {
        const details = model.debuggerPausedDetails();
        if (details) {
            const frame = details.callFrames[0];
            return { url: frame.script.sourceURL, line: frame.location().lineNumber + 1 };
        }
    }
    return null;
})()`;

// Keeps every message the frontend's console models receive from now on.
const RECORD_CONSOLE = `(async () => {
    const SDK = ${SDK};
    window.qorjsConsole = [];
    SDK.TargetManager.TargetManager.instance().addModelListener(
        SDK.ConsoleModel.ConsoleModel, SDK.ConsoleModel.Events.MessageAdded,
        ({ data }) => window.qorjsConsole.push({ text: data.messageText, type: data.type, url: data.url }));
    return true;
})()`;

// The centre of the Resume button, which lives inside shadow roots, once it
// is laid out.
const RESUME_BUTTON = `(() => {
    const find = (root) => {
        const button = root.querySelector('devtools-button[aria-label="Resume script execution"]');
        if (button) return button;
        for (const element of root.querySelectorAll('*')) {
            const inside = element.shadowRoot && find(element.shadowRoot);
            if (inside) return inside;
        }
        return null;
    };
    const button = find(document);
    const box = button && button.getBoundingClientRect();
    return box && box.width > 0 ? { x: box.x + box.width / 2, y: box.y + box.height / 2 } : null;
})()`;

let qorjs;
let browser;

async function click(session, { x, y }) {
    for (const type of ['mousePressed', 'mouseReleased'])
        await browser.send(session, 'Input.dispatchMouseEvent', { type, x, y, button: 'left', clickCount: 1 });
}

async function test() {
    requireChromium();
    // The frontend does not retry: the debuggee listens first.
    const port = await freePort();
    qorjs = startQorjs(qorjsBinary, [`--inspect-brk=${port}`, script]);
    await qorjs.listening();
    browser = await startChromium();

    const frontend = await browser.open(`devtools://devtools/bundled/js_app.html?ws=127.0.0.1:${port}/`);
    const paused = await poll(() => browser.evaluate(frontend, PAUSED_AT), 'the frontend to show the pause');
    assert.deepEqual(paused, { url: scriptUrl, line: 1 });
    assert.equal(qorjs.output.stdout, '', 'the script ran past its first line');

    await browser.evaluate(frontend, RECORD_CONSOLE);
    await click(frontend, await poll(() => browser.evaluate(frontend, RESUME_BUTTON), 'the Resume button'));

    await qorjs.printed('hello from browser');
    const { code, signal } = await withTimeout(qorjs.exited, 'qorjs to exit');
    assert.deepEqual({ code, signal }, { code: 0, signal: null }, qorjs.output.stderr);
    assert.ok(!qorjs.output.stderr.includes('Error: '), qorjs.output.stderr);
    const logged = await poll(() => browser.evaluate(frontend, 'window.qorjsConsole.length >= 2 && window.qorjsConsole'),
        "the frontend's console to receive the output");
    assert.deepEqual(logged[0], { text: 'hello from browser', type: 'log', url: scriptUrl });
    // The script spins for 25 ms between console.time and console.timeEnd.
    const timed = /^greeting: ([\d.]+) ?ms$/.exec(logged[1].text);
    assert.ok(timed && Number(timed[1]) >= 20, JSON.stringify(logged[1]));
}

runTest('DevTools frontend', test, {
    cleanup: async () => {
        if (browser) await browser.close();
        if (qorjs) qorjs.kill();
    },
});
