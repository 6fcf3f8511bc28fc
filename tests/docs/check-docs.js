'use strict';
// Keeps the guides' code from rotting: every C++ and CMake block of docs/embedding.md and docs/debugging.md
// is an excerpt of examples/embed (which the tests build and run; a line "..." stands for code left out),
// every JSON block parses, and the debugging guide's client attaches to a real qorjs --inspect-brk.
//   node check-docs.js SOURCE_DIR QORJS_BINARY

const assert = require('assert/strict');
const { spawnSync } = require('child_process');
const fs = require('fs');
const os = require('os');
const path = require('path');
const { poll, startQorjs, run } = require('../e2e/support');

const [sourceDir, binary] = process.argv.slice(2);
const read = (file) => fs.readFileSync(path.join(sourceDir, file), 'utf8');
const squeeze = (text) => text.replace(/\s+/g, '');
const blocks = (markdown, language) => [...markdown.matchAll(new RegExp('```' + language + '\\n([^]*?)```', 'g'))]
    .map((match) => match[1]);

// A block's pieces between "..." lines, in the source in that order.
const excerpt = (block) => new RegExp(block.split(/^\s*\.\.\.\s*$/m).map(squeeze).filter(Boolean)
    .map((piece) => piece.replace(/[.*+?^${}()|[\]\\]/g, '\\$&')).join('[^]*'));

run('docs', async () => {
    const sources = { cpp: squeeze(read('examples/embed/main.cc')), cmake: squeeze(read('examples/embed/CMakeLists.txt')) };
    for (const guide of ['docs/embedding.md', 'docs/debugging.md']) {
        blocks(read(guide), 'json').forEach((block) => JSON.parse(block));
        for (const [language, source] of Object.entries(sources))
            for (const block of blocks(read(guide), language))
                assert.match(source, excerpt(block), `${guide}: this code is not in examples/embed:\n${block}`);
    }

    const [client] = blocks(read('docs/debugging.md'), 'js');
    const work = fs.mkdtempSync(path.join(os.tmpdir(), 'qorjs-docs-'));
    fs.writeFileSync(path.join(work, 'attach.js'), client);
    fs.writeFileSync(path.join(work, 'app.js'), 'const answer = 6 * 7;\nconsole.log("answer", answer);\n');
    const qorjs = startQorjs(binary, ['--inspect-brk=0', path.join(work, 'app.js')]);
    const attach = spawnSync(process.execPath, [path.join(work, 'attach.js'), String(await qorjs.listening())],
        { encoding: 'utf8', timeout: 30000, env: { ...process.env, NODE_PATH: `${__dirname}/../e2e/node_modules` } });
    fs.rmSync(work, { recursive: true, force: true });
    assert.equal(attach.status, 0, `the client failed:\n${attach.stdout}${attach.stderr}`);
    assert.match(attach.stdout, /paused at file:\/\/\/.*app\.js line 1\n[^]*console: answer 42/);
    // The client left on its own once told that the script had ended.
    assert.deepEqual([await poll(() => qorjs.status, 'the exit'), qorjs.out], [{ code: 0, signal: null }, 'answer 42\n']);
    assert.match(qorjs.err, /Waiting for the debugger to disconnect\.\.\.\n/);
});
