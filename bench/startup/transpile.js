// The start-up workload's one step after the typescript bundle has loaded:
// ts.transpileModule on a small TypeScript text, its output printed. It runs
// where the bundle's `ts` is in scope: appended to the bundle in one script,
// or on its own in a context restored from a snapshot that the bundle left.
// It uses nothing but the language and console, so that qorjs and Node.js
// run the same text.
(() => {
    const source = [
        'interface Point { x: number; y: number }',
        'enum Direction { Up = 1, Down, Left, Right }',
        'export class Walker {',
        '    private position: Point = { x: 0, y: 0 };',
        '    constructor(readonly name: string) {}',
        '    step(direction: Direction, by: number = 1): Point {',
        '        const { x, y } = this.position;',
        '        switch (direction) {',
        '            case Direction.Up: this.position = { x, y: y - by }; break;',
        '            case Direction.Down: this.position = { x, y: y + by }; break;',
        '            case Direction.Left: this.position = { x: x - by, y }; break;',
        '            case Direction.Right: this.position = { x: x + by, y }; break;',
        '        }',
        '        return this.position;',
        '    }',
        '}',
        'export const walk = async (walker: Walker, steps: Direction[]): Promise<Point[]> =>',
        '    steps.map((direction) => walker.step(direction));',
    ].join('\n');
    const result = ts.transpileModule(source, {
        compilerOptions: { module: ts.ModuleKind.CommonJS, target: ts.ScriptTarget.ES2017 },
        fileName: 'walker.ts',
        reportDiagnostics: true,
    });
    if (result.diagnostics.length)
        throw new Error(`transpileModule reported ${result.diagnostics.length} diagnostics`);
    console.log(result.outputText);
})();
