'use strict';
// The debugger serving a client while the program runs: pausing a busy loop, a breakpoint set between timers,
// evaluation while the program sleeps, a client attaching to --inspect at any time and again, --inspect-wait,
// --inspect-brk told to run before the debugger is enabled, and a client served after the program has ended.
// Each case but brk-run-first runs against the machine's Node.js first, whose debugger behaves the same way and
// shows the case is sound, then against qorjs.
//   node live.test.js QORJS_BINARY pause-busy-loop|breakpoint-in-timer|evaluate-between-timers|profile-after-end
//                                  |attach-again|inspect-wait|brk-run-first

const assert = require('assert/strict');
const path = require('path');
const { pathToFileURL } = require('url');
const { sleep, poll, start, waitsForLeave, exitsOnLeave, connect, evaluateOn, pausedAt, run } = require('./support');

const [binary, name] = process.argv.slice(2);
const fixture = (file) => path.join(__dirname, 'fixtures', file);
const urlOf = (file) => pathToFileURL(fixture(file)).href;
const ticksUpTo = (last) => Array.from({ length: last }, (_, i) => `tick ${i + 1}\n`).join('');

// `command` debugging `args`; its ports are those of every "Debugger listening" line so far, which
// Node.js prints with a session id after the port and qorjs without.
function startTarget(command, args) {
    const target = start(command, args);
    target.ports = () => [...target.err.matchAll(/Debugger listening on ws:\/\/127\.0\.0\.1:(\d+)/g)]
        .map((m) => Number(m[1]));
    target.attach = async () => connect({ host: '127.0.0.1', port: await poll(() => target.ports()[0], 'the port') });
    return target;
}

// The program ends with `client` attached, and the target exits once the client has left.
async function endsOnLeave(target, client, code, stdout) {
    await waitsForLeave(target);
    await exitsOnLeave(target, () => client.close(), code, stdout);
}

const cases = {
    async 'pause-busy-loop'(command) {
        const url = urlOf('busy.js');
        const target = startTarget(command, ['--inspect=0', fixture('busy.js')]);
        await poll(() => target.out === 'counting\n', 'the loop to start with no client attached');
        const client = await target.attach();
        await client.Debugger.enable();
        await client.Debugger.pause();
        const paused = await pausedAt(client, url, '', 6, { 'n > 0': true });
        const n = await evaluateOn(client, paused, 'n');
        await sleep(200);
        assert.equal(await evaluateOn(client, paused, 'n'), n, 'the loop went on counting while paused');
        await evaluateOn(client, paused, 'done = true');
        await client.Debugger.resume();
        await endsOnLeave(target, client, 0, 'counting\ncounted true\n');
    },

    async 'breakpoint-in-timer'(command) {
        const url = urlOf('clock.js');
        const target = startTarget(command, ['--inspect=0', fixture('clock.js')]);
        const client = await target.attach();
        await client.Debugger.enable();
        await poll(() => target.out.startsWith('tick 1\n'), 'the first tick');
        // Line 4 is the tick's console.log, after `seen` is set.
        const { breakpointId } = await client.Debugger.setBreakpointByUrl({ url, lineNumber: 4 });
        const paused = await pausedAt(client, url, 'tick', 4, { 'seen === ticks && seen > 1': true });
        assert.deepEqual(paused.hitBreakpoints, [breakpointId]);
        const seen = await evaluateOn(client, paused, 'stop(), seen');
        assert.equal(target.out, ticksUpTo(seen - 1));
        await client.Debugger.removeBreakpoint({ breakpointId });
        await client.Debugger.resume();
        await endsOnLeave(target, client, 0, ticksUpTo(seen));
    },

    async 'evaluate-between-timers'(command) {
        const target = startTarget(command, ['--inspect=0', fixture('clock.js')]);
        const client = await target.attach();
        await poll(() => target.out.startsWith('tick 1\n'), 'the first tick');
        // Three round trips in less than the second between ticks: answered while the program sleeps, not
        // when its next timer wakes it.
        const asked = Date.now();
        for (let i = 0; i < 3; i++)
            assert.ok((await client.Runtime.evaluate({ expression: 'ticks' })).result.value >= 1);
        assert.ok(Date.now() - asked < 900, `three evaluations took ${Date.now() - asked} ms`);
        const { result } = await client.Runtime.evaluate({ expression: 'stop(), ticks' });
        await endsOnLeave(target, client, 0, ticksUpTo(result.value));
    },

    async 'profile-after-end'(command) {
        const url = urlOf('spin.js');
        const target = startTarget(command, ['--inspect-wait=0', fixture('spin.js')]);
        const client = await target.attach();
        await client.Profiler.enable();
        await client.Profiler.start();
        await client.Runtime.runIfWaitingForDebugger();
        await waitsForLeave(target);

        // spin() ran from the top level and from the timer: both are in the profile.
        const { profile } = await client.Profiler.stop();
        const callerOf = new Map(profile.nodes.flatMap((node) => (node.children ?? []).map((id) => [id, node])));
        const callers = profile.nodes.filter(({ callFrame: { functionName, url: from } }) =>
            functionName === 'spin' && from === url).map((node) => callerOf.get(node.id).callFrame.functionName);
        assert.deepEqual([...new Set(callers)].sort(), ['', 'late']);
        // And the heap is still there to look at.
        const chunks = [];
        client.on('HeapProfiler.addHeapSnapshotChunk', ({ chunk }) => chunks.push(chunk));
        await client.HeapProfiler.takeHeapSnapshot({ reportProgress: false });
        assert.ok(JSON.parse(chunks.join('')).strings.includes('spun'), 'the snapshot has no global `spun`');
        await exitsOnLeave(target, () => client.close(), 1, '');
        assert.match(target.err, /Error: done spinning/);
    },

    async 'attach-again'(command) {
        const target = startTarget(command, ['--inspect=0', fixture('clock.js')]);
        await poll(() => target.out.startsWith('tick 1\n'), 'a tick with no client attached');
        const ticks = async (client) => (await client.Runtime.evaluate({ expression: 'ticks' })).result.value;
        const first = await target.attach();
        const before = await ticks(first);
        assert.ok(before >= 1);
        await first.close();
        await poll(() => target.out.includes(`tick ${before + 1}\n`), 'a tick after the client left');
        const second = await poll(() => target.attach().catch(() => false), 'the second attach');
        assert.ok(await ticks(second) > before);
        const { result } = await second.Runtime.evaluate({ expression: 'stop(), ticks' });
        await endsOnLeave(target, second, 0, ticksUpTo(result.value));
        const ports = target.ports();
        assert.deepEqual(ports.filter((port) => port !== ports[0]), [], 'the port changed');
    },

    async 'inspect-wait'(command) {
        const target = startTarget(command, ['--inspect-wait=0', fixture('loop.js')]);
        const client = await target.attach();
        await Promise.all([client.Runtime.enable(), client.Debugger.enable()]);
        await sleep(300);
        assert.equal(target.out, '', 'the script ran before Runtime.runIfWaitingForDebugger');
        await client.Runtime.runIfWaitingForDebugger();
        await waitsForLeave(target);
        assert.ok(!client.seen.some((m) => m.method === 'Debugger.paused'), 'the script paused');
        await exitsOnLeave(target, () => client.close(), 0, 'hello 6\n');
    },

    async 'brk-run-first'(command) {
        const target = startTarget(command, ['--inspect-brk=0', fixture('loop.js')]);
        const client = await target.attach();
        await client.Runtime.runIfWaitingForDebugger();
        await client.Debugger.enable();
        await pausedAt(client, urlOf('loop.js'), '', 0);
        assert.equal(target.out, '');
        await client.Debugger.resume();
        await endsOnLeave(target, client, 0, 'hello 6\n');
    },
};

// Node.js pauses on the first statement after Runtime.runIfWaitingForDebugger only when Debugger.enable
// reaches it before the script has started, in about two runs of three: no reference for that case.
const noReference = new Set(['brk-run-first']);

run(`live ${name}`, async () => {
    const targets = [['Node.js', process.execPath], ['qorjs', binary]];
    for (const [host, command] of targets.slice(noReference.has(name) ? 1 : 0)) {
        await cases[name](command).catch((error) => {
            console.error(`against ${host}:`);
            throw error;
        });
        console.log(`${name}: passed against ${host}`);
    }
});
