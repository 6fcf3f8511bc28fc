// Module programs in qorjs: static and dynamic imports resolved against the
// importing file, each file one module, JSON modules, import.meta, and import
// failures that name the specifier, the importer and the reason.
#include "support/QorjsRun.h"

namespace qorjs::test {
namespace {

using namespace ::testing;

TEST(QorjsModules, ImportsResolveAgainstTheImporterAndEachFileIsOneModule)
{
    const std::string counted = "globalThis.runs = (globalThis.runs ?? 0) + 1;\nexport const id = {};\n";
    const Scratch dir({
        {"lib/counted.mjs", counted},
        // Static, dynamic, through another path, a symbolic link and an absolute path: one module.
        {"once.mjs", "import { id } from './lib/counted.mjs';\nconst a = await import('./lib/counted.mjs');\n"
                     "const b = await import(import.meta.url.slice(7).replace('once.mjs', 'lib/counted.mjs'));\n"
                     "const c = await import('./lib/../alias/./counted.mjs');\nconsole.log(runs, a.id === id && b.id === id && c.id === id);\n"},
        // Relative to the importing module, also from eval code in it, not to the program.
        {"dyn.mjs", "const m = await import('./lib/x.mjs');\nconsole.log(await m.y(), (await m.load()).id !== undefined, runs);\n"},
        {"lib/x.mjs", "export const y = async () => (await import('./y.mjs')).name;\n"
                      "export const load = () => eval(\"import('./counted.mjs')\");\n"},
        {"lib/y.mjs", "export const name = 'lib/y';\n"},
        {"lib/classic.js", "import('./counted.mjs').then(m => console.log('classic', runs));\n"},
        // A cycle closed by import() while the module is still being evaluated.
        {"cycle.mjs", "const a = await import('./a.mjs');\nconsole.log(await a.viaB());\n"},
        {"a.mjs", "export { viaB } from './b.mjs';\nexport const name = 'a';\n"},
        {"b.mjs", counted + "export const viaB = async () => { const a = await import('./a.mjs'); return [a.name, a.viaB === viaB, runs].join(' '); };\n"},
        {"data/config.json", "{\"list\": [1, {\"deep\": null}]}\n"},
        {"json.mjs", "import config from './data/config.json' assert { type: 'json' };\nconst again = await import('./data/config.json', "
                     "{ assert: { type: 'json' } });\nconsole.log(JSON.stringify(config), again.default === config, Object.keys(again).join());\n"},
        {"my dir/meta.mjs", "console.log(import.meta.url, import.meta.resolve('../alias/counted.mjs'), import.meta.resolve('./not/yet.mjs'));\n"
                            "try { import.meta.resolve('lodash'); } catch (e) { console.log(e.name, (await import('./sub/n.mjs')).n); }\n"
                            "throw new Error('where am I');\n"},
        {"my dir/sub/n.mjs", "export const n = 'nested';\n"},
    });
    fs::create_directory_symlink(dir.root / "lib", dir.root / "alias");
    const std::string blank = dir.url("my%20dir");
    expectRuns(dir, {
        {{"once.mjs"}, "", "1 true\n", "", 0},
        {{"dyn.mjs"}, "", "lib/y true 1\n", "", 0},
        {{"lib/classic.js"}, "", "classic 1\n", "", 0},
        {{"-e", "import('./lib/counted.mjs').then(() => console.log('eval', runs))"}, "", "eval 1\n", "", 0},
        {{"cycle.mjs"}, "", "a true 1\n", "", 0},
        {{"json.mjs"}, "", "{\"list\":[1,{\"deep\":null}]} true default\n", "", 0},
        {{"my dir/meta.mjs"}, "", blank + "/meta.mjs " + dir.url("lib/counted.mjs ") + blank + "/not/yet.mjs\nTypeError nested\n",
         HasSubstr(blank + "/meta.mjs:3:7: Error: where am I"), 1},
    });
}

TEST(QorjsModules, AFailedImportNamesTheSpecifierTheImporterAndTheReason)
{
    const Scratch dir({{"lib/syntax.mjs", "// fine\nexport const x = ;\n"}, {"lib/link.mjs", "import { absent } from './exports.mjs';\n"},
                       {"lib/exports.mjs", "export const present = 1;\n"}, {"lib/deep.mjs", "import './missing.mjs';\n"},
                       {"good.json", "{\"a\": 1}\n"}, {"bad.json", "{\"a\": 1,}\n"}, {"code.mjs", "export default 1;\n"},
                       {"throws.mjs", "console.log('ran');\nthrow new RangeError('boom');\n"}});
    const std::string root = dir.root.string(), lib = root + "/lib", missing = lib + "/missing.mjs: No such file or directory";
    const std::string syntax = "SyntaxError: Unexpected token ';' at " + dir.url("lib/syntax.mjs:2:18");
    std::vector<Row> rows = {
        // Statically imported: the program never starts.
        {{"lib/deep.mjs"}, "", "", HasSubstr("cannot import './missing.mjs' from " + lib + "/deep.mjs: " + missing), 1},
        {{"-m", "-"}, "import 'lodash';", "", HasSubstr("cannot import 'lodash'"), 1},
        {{"-m", "-"}, "import './lib/syntax.mjs';", "",
         HasSubstr("'./lib/syntax.mjs' from " + root + "/[stdin]: it does not compile:\n" + dir.url("lib/syntax.mjs:2:18: SyntaxError")), 1},
        {{"-m", "-"}, "import './good.json';", "", HasSubstr(root + "/good.json is JSON: import it with assert"), 1},
        {{"throws.mjs"}, "", "ran\n", HasSubstr(dir.url("throws.mjs:2:7: RangeError: boom")), 1},
        // Evaluated once, it rejects each import with what it threw.
        {{"-m", "-"}, "const e = await import('./throws.mjs').catch(e => e);\n"
                      "print(e instanceof RangeError, e === await import('./throws.mjs').catch(e => e));", "ran\ntrue true\n", "", 0},
        {{"-e", "import('./throws.mjs')"}, "", "ran\n",
         AllOf(HasSubstr("nothing handled it"), HasSubstr(dir.url("throws.mjs:2:7: RangeError: boom"))), 1},
        {{"-m", "-"}, "await null;\nawait Promise.reject(new Error('nope'));\nprint('after');", "", HasSubstr("[stdin]:2:22: Error: nope"), 1},
        {{"-m", "-"}, "await new Promise(() => {});\nprint('after');", "", HasSubstr("top-level await"), 1},
    };
    const struct {
        std::string specifier, options, reason;
    } dynamic[] = {
        {"./none.mjs", "", root + "/none.mjs: No such file or directory"},
        {"./lib", "", "cannot read " + lib + ": not a regular file"},
        {"lodash", "", "only paths starting with ./, ../ or /"},
        {"./lib/syntax.mjs", "", "it does not compile: " + syntax},
        {"./lib/link.mjs", "", "SyntaxError: The requested module './exports.mjs' does not provide an export named 'absent'"},
        {"./lib/deep.mjs", "", "cannot import './missing.mjs' from " + lib + "/deep.mjs: " + missing},
        {"./good.json", "", root + "/good.json is JSON: import it with assert { type: \"json\" }"},
        {"./good.json", ", { assert: { type: 'css' } }", root + "/good.json: unknown module type \"css\""},
        {"./bad.json", ", { assert: { type: 'json' } }", root + "/bad.json is not valid JSON: SyntaxError: Unexpected token }"},
        {"./code.mjs", ", { assert: { type: 'json' } }", root + "/code.mjs is not valid JSON"},
    };
    for (const auto& d : dynamic)
        rows.push_back({{"-e", "import('" + d.specifier + "'" + d.options + ").then(() => print('loaded'), e => print(String(e)))"}, "",
                        HasSubstr("Error: cannot import '" + d.specifier + "' from " + root + "/[eval]: " + d.reason), "", 0});
    expectRuns(dir, rows);
}

}  // namespace
}  // namespace qorjs::test
