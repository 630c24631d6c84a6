// Times the npm package jsonrepair on the "input" field of every line of a JSON-lines corpus.
// Usage: node jsonrepair_bench.js CORPUS [REPEATS]. Prints one JSON object: per-document
// latencies (ns, best of REPEATS) and each repaired text (null when jsonrepair threw).
const fs = require("fs");
const { jsonrepair } = require("jsonrepair");

const [corpus, repeatsArg] = process.argv.slice(2);
const repeats = Number(repeatsArg || 3);
const docs = fs.readFileSync(corpus, "utf8").split("\n").filter((l) => l.length).map((l) => JSON.parse(l).input);
const latencies = [];
const outputs = [];
for (const input of docs) {
  let best = Infinity;
  let out = null;
  for (let r = 0; r < repeats; r++) {
    const t0 = process.hrtime.bigint();
    try {
      out = jsonrepair(input);
    } catch (e) {
      out = null;
    }
    best = Math.min(best, Number(process.hrtime.bigint() - t0));
  }
  latencies.push(best);
  outputs.push(out);
}
process.stdout.write(JSON.stringify({ latencies, outputs }));
