// Run with: scripts/qorjs examples/hello.js [NAME...]
const who = arguments.length > 0 ? arguments.join(" and ") : "world";
print(`Hello, ${who}, from V8 ${typeof gc === "function" ? "(with gc exposed)" : ""}`);

// Twelve rows of Pascal's triangle, centred.
const rows = [[1]];
while (rows.length < 12) {
    const last = rows[rows.length - 1];
    rows.push([1, ...last.slice(1).map((n, i) => n + last[i]), 1]);
}
const width = rows[rows.length - 1].join(" ").length;
for (const row of rows) {
    const line = row.join(" ");
    print(" ".repeat((width - line.length) >> 1) + line);
}

// A few things a modern engine does.
const primes = Array.from({ length: 50 }, (_, n) => n).filter(
    (n) => n > 1 && [...Array(n).keys()].slice(2).every((d) => n % d !== 0));
console.log("primes below 50:", primes);
console.log("2 ** 100 =", (2n ** 100n).toString());
console.log("sorted by length:", ["kiwi", "fig", "banana", "apple"].sort((a, b) => a.length - b.length));
