'use strict';
// Headless Chromium for the browser tests, driven through its own DevTools
// protocol endpoint: pages and the DevTools frontend are opened as targets
// and attached to as flat sessions.

const { spawn, execFileSync } = require('child_process');
const fs = require('fs');
const os = require('os');
const path = require('path');
const CDP = require('chrome-remote-interface');
const { poll, withTimeout } = require('./support');

// ctest's SKIP_RETURN_CODE for these tests: Chromium could not be installed.
const SKIPPED = 77;

// Only loopback traffic, and nothing of the browser's own on the network.
const FLAGS = ['--headless', '--no-sandbox', '--disable-gpu', '--disable-background-networking',
    '--disable-component-update', '--disable-sync', '--no-first-run', '--disable-quic'];

function chromiumBinary() {
    for (const name of ['chromium', 'chromium-browser']) {
        try {
            return execFileSync('sh', ['-c', `command -v ${name}`]).toString().trim();
        } catch {
            // not this one
        }
    }
    return null;
}

// Leaves the test with SKIPPED when there is no Chromium (install-chromium
// has said why).
function requireChromium() {
    const binary = chromiumBinary();
    if (!binary) {
        console.log('chromium is not installed and could not be installed: skipped');
        process.exit(SKIPPED);
    }
    return binary;
}

// Chromium's processes let go of the profile only a moment after they end.
function removeProfile(profile) {
    fs.rmSync(profile, { recursive: true, force: true, maxRetries: 10, retryDelay: 200 });
}

async function startChromium() {
    const binary = requireChromium();
    const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'qorjs-chromium-'));
    const browser = spawn(binary, [...FLAGS, `--user-data-dir=${profile}`, '--remote-debugging-port=0', 'about:blank'],
        { stdio: ['ignore', 'ignore', 'pipe'] });
    const exited = new Promise((resolve) => browser.on('exit', resolve));
    let stderr = '';
    let client;
    try {
        const endpoint = await withTimeout(new Promise((resolve, reject) => {
            browser.stderr.on('data', (chunk) => {
                stderr += chunk;
                const announced = /DevTools listening on (ws:\/\/\S+)/.exec(stderr);
                if (announced) resolve(announced[1]);
            });
            browser.on('exit', (code) => reject(new Error(`chromium ended (${code}) before it listened:\n${stderr}`)));
        }), 'chromium to listen', 30000);
        client = await CDP({ target: endpoint, local: true });
    } catch (error) {
        browser.kill('SIGKILL');
        await exited;
        removeProfile(profile);
        throw error;
    }

    return {
        client,
        // Opens `url` in a new target and returns the flat session attached
        // to it, once the page has loaded.
        async open(url) {
            const { targetId } = await client.Target.createTarget({ url });
            const { sessionId } = await client.Target.attachToTarget({ targetId, flatten: true });
            await poll(async () => {
                // A context of the page that is about to be replaced may answer first, or vanish.
                const { result } = await client.send('Runtime.evaluate', { expression:
                    'document.readyState === "complete" && location.href', returnByValue: true }, sessionId)
                    .catch(() => ({ result: {} }));
                return result.value === url;
            }, `${url} to load`);
            return sessionId;
        },
        send: (session, method, params = {}) => client.send(method, params, session),
        // The value of `expression` in the session's page, promises awaited.
        async evaluate(session, expression) {
            const { result, exceptionDetails } = await client.send('Runtime.evaluate',
                { expression, awaitPromise: true, returnByValue: true }, session);
            if (exceptionDetails) throw new Error(`evaluating in the browser: ${JSON.stringify(exceptionDetails)}`);
            return result.value;
        },
        // Every protocol event of the session, as it arrives.
        onEvent(session, listener) {
            client.on('event', (message) => {
                if (message.sessionId === session) listener(message);
            });
        },
        // Asks the browser to end, which ends its helper processes too, and
        // kills it if it has not within a few seconds.
        async close() {
            try {
                await withTimeout(client.Browser.close(), 'the browser to close', 5000);
            } catch {
                // gone already, or not answering: killed below
            }
            const ended = await Promise.race([exited.then(() => true), new Promise((r) => setTimeout(r, 5000, false))]);
            if (!ended) {
                browser.kill('SIGKILL');
                await exited;
            }
            try {
                await client.close();
            } catch {
                // its connection ended with the browser
            }
            removeProfile(profile);
        },
    };
}

module.exports = { startChromium, requireChromium };
