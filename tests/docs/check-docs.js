'use strict';
// Keeps the guides' code from rotting:
//   node check-docs.js SOURCE_DIR QORJS_BINARY
// - every C++ and CMake block of docs/embedding.md and docs/debugging.md is
//   an excerpt of examples/embed (which the tests build and run); a line
//   "..." in a block stands for code left out;
// - every JSON block parses;
// - the JavaScript client in docs/debugging.md attaches to a real
//   `qorjs --inspect-brk` and sees the script pause, log and end.

const assert = require('assert/strict');
const fs = require('fs');
const path = require('path');
const { spawn } = require('child_process');

const [sourceDir, qorjs] = process.argv.slice(2);
const read = (file) => fs.readFileSync(path.join(sourceDir, file), 'utf8');
const squeeze = (text) => text.replace(/\s+/g, '');

function blocks(markdown, language) {
    const found = [];
    const fence = new RegExp('```' + language + '\\n([\\s\\S]*?)```', 'g');
    for (let match; (match = fence.exec(markdown));)
        found.push(match[1]);
    return found;
}

// Each piece between "..." lines stands in the source, in order.
function assertExcerpt(block, source, where) {
    let from = 0;
    for (const piece of block.split(/^\s*\.\.\.\s*$/m).map(squeeze).filter(Boolean)) {
        const at = source.indexOf(piece, from);
        assert.notEqual(at, -1, `${where}: this code is not in examples/embed:\n${block}`);
        from = at + piece.length;
    }
}

function checkExcerpts() {
    const cpp = squeeze(read('examples/embed/main.cc'));
    const cmake = squeeze(read('examples/embed/CMakeLists.txt'));
    let count = 0;
    for (const guide of ['docs/embedding.md', 'docs/debugging.md']) {
        const text = read(guide);
        for (const block of blocks(text, 'cpp')) { assertExcerpt(block, cpp, guide); ++count; }
        for (const block of blocks(text, 'cmake')) { assertExcerpt(block, cmake, guide); ++count; }
        for (const block of blocks(text, 'json')) { JSON.parse(block); ++count; }
    }
    return count;
}

async function runDebuggingClient() {
    const [client] = blocks(read('docs/debugging.md'), 'js');
    assert.ok(client, 'docs/debugging.md has no JavaScript client');
    const work = fs.mkdtempSync(path.join(require('os').tmpdir(), 'qorjs-docs-'));
    const clientFile = path.join(work, 'attach.js');
    const appFile = path.join(work, 'app.js');
    fs.writeFileSync(clientFile, client);
    fs.writeFileSync(appFile, 'const answer = 6 * 7;\nconsole.log("answer", answer);\n');

    const port = String(20000 + (process.pid % 20000));
    const run = (command, args, env) => {
        const child = spawn(command, args, { env: { ...process.env, ...env } });
        const output = { out: '', err: '' };
        child.stdout.on('data', (data) => (output.out += data));
        child.stderr.on('data', (data) => (output.err += data));
        output.done = new Promise((resolve) => child.on('exit', (code) => resolve(code)));
        output.child = child;
        return output;
    };
    const debuggee = run(qorjs, [`--inspect-brk=${port}`, appFile]);
    const attach = run(process.execPath, [clientFile, port],
                       { NODE_PATH: path.join(sourceDir, 'tests', 'e2e', 'node_modules') });
    const timer = setTimeout(() => { debuggee.child.kill(); attach.child.kill(); }, 30000);
    const [debuggeeStatus, clientStatus] = await Promise.all([debuggee.done, attach.done]);
    clearTimeout(timer);
    fs.rmSync(work, { recursive: true, force: true });

    assert.equal(clientStatus, 0, `the client failed:\n${attach.out}${attach.err}`);
    assert.equal(debuggeeStatus, 0, `qorjs failed:\n${debuggee.err}`);
    assert.match(attach.out, /paused at file:\/\/\/.*app\.js line 1/);
    assert.match(attach.out, /console: answer 42/);
    assert.match(debuggee.out, /answer 42/);
}

(async () => {
    const count = checkExcerpts();
    await runDebuggingClient();
    console.log(`${count} code blocks checked; the debugging client ran`);
})().catch((error) => {
    console.error(error.message);
    process.exit(1);
});
