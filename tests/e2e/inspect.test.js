'use strict';
// qorjs --inspect-brk driven by debuggers nobody here wrote: chrome-remote-interface finds it by port,
// breaks on start, sets breakpoints by URL, steps, evaluates, resumes and sees the console; a timer in an
// imported module pauses and keeps its order; the Node.js command-line debugger steps through as a user types.
//   node inspect.test.js QORJS_BINARY cri|timer-in-import|node-inspect

const assert = require('assert/strict');
const path = require('path');
const { pathToFileURL } = require('url');
const CDP = require('chrome-remote-interface');
const { sleep, poll, start, startQorjs, connect, pausedAt, run } = require('./support');

const [binary, name] = process.argv.slice(2);
const fixture = (file) => path.join(__dirname, 'fixtures', file);
const loop = fixture('loop.js');
const loopUrl = pathToFileURL(loop).href;

const cases = {
    async cri() {
        const qorjs = startQorjs(binary, ['--inspect-brk=0', loop]);
        const byPort = { host: '127.0.0.1', port: await qorjs.listening() };
        const { Browser, 'Protocol-Version': protocol, 'V8-Version': v8 } = await CDP.Version(byPort);
        assert.match(`${Browser} ${protocol} ${v8}`, /^QorJavaScript\/\S+ 1\.3 10\.2\./);
        const targets = await CDP.List(byPort);
        assert.deepEqual(targets.map((t) => [t.title, t.url, t.webSocketDebuggerUrl]),
            [['loop.js', loopUrl, `ws://127.0.0.1:${byPort.port}/${targets[0].id}`]]);
        // Asking for the protocol description is answered, and the target still waits.
        await assert.rejects(CDP({ ...byPort, local: false }), /protocol description/);

        const client = await connect(byPort);
        assert.equal((await client.Runtime.evaluate({ expression: '6 * 7' })).result.value, 42);
        await Promise.all([client.Runtime.enable(), client.Debugger.enable()]);
        await sleep(300);
        assert.equal(qorjs.out, '', 'the script ran before Runtime.runIfWaitingForDebugger');
        assert.ok(!client.seen.some((m) => m.params.url === loopUrl), 'the script was compiled too early');

        let breakpointId;
        const walk = [
            // [how the client goes on, where the script pauses, what the paused frame sees]
            ['Runtime.runIfWaitingForDebugger', '', 0, {}],
            ['Debugger.resume', '', 7, { total: 0, i: 1 }],  // the breakpoint set at the first pause
            ['Debugger.stepInto', 'add', 2, { 'a + b': 1 }],
            ['Debugger.stepOver', 'add', 3, { sum: 1 }],
        ];
        for (const [goOn, functionName, lineNumber, sees] of walk) {
            await client.send(goOn);
            const paused = await pausedAt(client, loopUrl, functionName, lineNumber, sees);
            if (goOn === 'Debugger.resume') assert.deepEqual(paused.hitBreakpoints, [breakpointId]);
            breakpointId ??= (await client.Debugger.setBreakpointByUrl({ url: loopUrl, lineNumber: 7 })).breakpointId;
        }
        await client.Debugger.removeBreakpoint({ breakpointId });
        await client.Debugger.resume();
        const logged = await client.next('Runtime.consoleAPICalled');
        assert.deepEqual([logged.type, logged.args.map((arg) => arg.value)], ['log', ['hello', 6]]);
        await qorjs.endsWith('hello 6\n', () => client.close());
    },

    async 'timer-in-import'() {
        const tickerUrl = pathToFileURL(fixture('timers/ticker.mjs')).href;
        const qorjs = startQorjs(binary, ['--inspect-brk=0', fixture('timers/main.mjs')]);
        const client = await connect({ target: `ws://127.0.0.1:${await qorjs.listening()}` });
        await client.Debugger.enable();
        // Set by URL before the module is imported: line 2 is the timer callback's console.log.
        const { breakpointId } = await client.Debugger.setBreakpointByUrl({ url: tickerUrl, lineNumber: 2 });
        await client.Runtime.runIfWaitingForDebugger();
        await client.next('Debugger.paused');
        await client.Debugger.resume();
        const paused = await pausedAt(client, tickerUrl, 'tick', 2, { seen: 'first ran' });
        assert.deepEqual(paused.hitBreakpoints, [breakpointId]);
        // The second timer fell due long ago; it waits for the paused one.
        await sleep(300);
        assert.equal(qorjs.out, '');
        await client.Debugger.resume();
        await qorjs.endsWith('first ran\nsecond ran\n', () => client.close());
    },

    async 'node-inspect'() {
        const qorjs = startQorjs(binary, ['--inspect-brk=0', loop]);
        const cli = start(process.execPath, ['inspect', `127.0.0.1:${await qorjs.listening()}`]);
        // [what the user types, what the debugger prints before its next prompt]
        const session = [[null, / in \S*loop\.js:1\n> 1 const greeting/], ['n', /break in \S*loop\.js:6\n/],
            ['exec greeting', /'hello'/]];
        for (const [typed, answer] of session) {
            const from = cli.out.length;
            if (typed) cli.child.stdin.write(`${typed}\n`);
            await poll(() => new RegExp(`${answer.source}[^]*debug> $`).test(cli.out.slice(from)), answer)
                .catch((error) => assert.fail(`${error.message}; the debugger printed:\n${cli.out}${cli.err}`));
            assert.equal(qorjs.out, '');
        }
        cli.child.stdin.write('c\n');
        await qorjs.endsWith('hello 6\n', () => cli.child.stdin.write('.exit\n'));
    },
};

run(`inspect ${name}`, cases[name]);
