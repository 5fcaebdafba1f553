// The web benchmark: the same pictures decoded natively in process
// (kdz_web_native_bench) and in WebAssembly under Node, per picture and in total, in
// both depths. The WebAssembly column times decodeBitmap(), the native decode's
// counterpart (the file copied in, the bitmap copied out); "decode()" adds the
// conversion to RGBA that pages use.
//
//   node web/bench/decode-bench.mjs [NATIVE_BUILD] [--rounds N] [--wasm FILE.wasm]...
//                                   [--instructions]
//
// Each figure is the median of N rounds after one decode to warm up. Timings on a
// shared machine are noisy: compare the ratios, and rerun before believing a change.
// --instructions counts instead, under callgrind, the instructions of one round of
// all pictures in each depth: natively, and in the WebAssembly code that V8 compiles
// with its optimising compiler (node --no-liftoff); each count is the difference of
// two runs of 1 and 1 + N rounds, divided by N, so that start-up and compilation drop
// out. It takes some minutes.
import { execFileSync, spawnSync } from 'node:child_process';
import { readFileSync } from 'node:fs';
import { basename, join, resolve } from 'node:path';
import { fileURLToPath } from 'node:url';

const repo = resolve(fileURLToPath(new URL('../..', import.meta.url)));
const args = process.argv.slice(2);
let build = join(repo, 'build');
let rounds = null;
let instructions = false;
let drive = null;
const modules = [];
for (let k = 0; k < args.length; ++k) {
  if (args[k] === '--rounds') rounds = Math.max(0, Math.floor(Number(args[++k])) || 0);
  else if (args[k] === '--wasm') modules.push(resolve(args[++k]));
  else if (args[k] === '--instructions') instructions = true;
  else if (args[k] === '--drive') drive = { wasm: args[++k], bits: Number(args[++k]) };
  else build = resolve(args[k]);
}
if (modules.length === 0) modules.push(join(repo, 'web/dist/kdz.wasm'), join(repo, 'web/dist/kdz-simd.wasm'));

const pictures = ['astronaut', 'camera', 'chelsea', 'coffee', 'color']
  .map((n) => join(repo, 'samples', `${n}.kdz`));

function median(values) {
  const sorted = [...values].sort((a, b) => a - b);
  return sorted[Math.floor(sorted.length / 2)];
}

function nativeTimes() {
  const out = execFileSync(join(build, 'web/kdz_web_native_bench'), [String(rounds), ...pictures], { encoding: 'utf8' });
  const times = new Map();
  for (const line of out.trim().split('\n')) {
    const r = JSON.parse(line);
    times.set(`${r.file} ${r.bits}`, r.medianMs);
  }
  return times;
}

// Each module in a fresh instance of kdz.mjs (a query string makes a new module record).
async function wasmTimes(wasmFile, tag) {
  const kdz = await import(`${join(repo, 'web/dist/kdz.mjs')}?${tag}`);
  await kdz.init(readFileSync(wasmFile));
  const bitmap = new Map();
  const full = new Map();
  for (const file of pictures) {
    const bytes = readFileSync(file);
    for (const palette of [false, true]) {
      const key = `${file} ${palette ? 8 : 24}`;
      kdz.decodeBitmap(bytes, { palette });
      const a = [];
      const b = [];
      for (let r = 0; r < rounds; ++r) {
        let t = performance.now();
        kdz.decodeBitmap(bytes, { palette });
        a.push(performance.now() - t);
        t = performance.now();
        await kdz.decode(bytes, { palette });
        b.push(performance.now() - t);
      }
      bitmap.set(key, median(a));
      full.set(key, median(b));
    }
  }
  return { bitmap, full };
}

// The WebAssembly side of a count: one decode of each picture, then `rounds` more.
async function driveDecodes() {
  const kdz = await import(join(repo, 'web/dist/kdz.mjs'));
  await kdz.init(readFileSync(drive.wasm));
  const files = pictures.map((f) => readFileSync(f));
  for (const bytes of files) {
    for (let r = 0; r <= rounds; ++r) kdz.decodeBitmap(bytes, { palette: drive.bits === 8 });
  }
}

function callgrind(command) {
  const r = spawnSync('valgrind', ['--tool=callgrind', '--callgrind-out-file=/dev/null',
    '--smc-check=all-non-file', ...command], { encoding: 'utf8' });
  const m = /Collected : (\d+)/.exec(r.stderr);
  if (!m) throw new Error(`callgrind failed: ${r.stderr.slice(-500)}`);
  return Number(m[1]);
}

// Instructions of one round of every picture, at `bits` bits per pixel.
function countRound(commandFor) {
  return (callgrind(commandFor(1 + rounds)) - callgrind(commandFor(1))) / rounds;
}

function countInstructions() {
  console.log(`instructions of one decode of each of ${pictures.length} pictures, millions ` +
      `(callgrind, ${rounds} rounds)`);
  console.log(`${'module'.padEnd(60)} ${'24-bit'.padStart(8)} ${'ratio'.padStart(6)} ${'8-bit'.padStart(8)} ${'ratio'.padStart(6)}`);
  const native = {};
  for (const bits of [24, 8]) {
    native[bits] = countRound((n) => [join(build, 'web/kdz_web_native_bench'), String(n - 1), `--${bits}bit`, ...pictures]);
  }
  const row = (name, c) => console.log(`${name.padEnd(60)} ${(c[24] / 1e6).toFixed(1).padStart(8)} ` +
      `${(c[24] / native[24]).toFixed(2).padStart(6)} ${(c[8] / 1e6).toFixed(1).padStart(8)} ${(c[8] / native[8]).toFixed(2).padStart(6)}`);
  row(`native (${build})`, native);
  for (const wasm of modules) {
    const counts = {};
    for (const bits of [24, 8]) {
      counts[bits] = countRound((n) => [process.execPath, '--no-liftoff', fileURLToPath(import.meta.url),
        '--rounds', String(n - 1), '--drive', wasm, String(bits)]);
    }
    row(wasm, counts);
  }
}

if (drive) {
  await driveDecodes();
  process.exit(0);
}
if (instructions) {
  rounds = Math.max(1, rounds ?? 3);
  countInstructions();
  process.exit(0);
}
rounds = Math.max(1, rounds ?? 15);
const native = nativeTimes();
const results = [];
for (let k = 0; k < modules.length; ++k) results.push(await wasmTimes(modules[k], k));

const fmt = (ms) => ms.toFixed(2).padStart(8);
for (let k = 0; k < modules.length; ++k) {
  const { bitmap, full } = results[k];
  console.log(`\n${modules[k]} (${readFileSync(modules[k]).length} bytes), median of ${rounds} rounds, ms`);
  for (const bits of [24, 8]) {
    console.log(`\n${bits}-bit      picture    native      wasm   wasm/native   decode()`);
    let totalNative = 0;
    let totalWasm = 0;
    let totalFull = 0;
    for (const file of pictures) {
      const key = `${file} ${bits}`;
      const n = native.get(key);
      const w = bitmap.get(key);
      totalNative += n;
      totalWasm += w;
      totalFull += full.get(key);
      console.log(`${basename(file).padStart(18)}  ${fmt(n)}  ${fmt(w)}  ${(w / n).toFixed(2).padStart(12)}  ${fmt(full.get(key))}`);
    }
    console.log(`${'total'.padStart(18)}  ${fmt(totalNative)}  ${fmt(totalWasm)}  ${(totalWasm / totalNative).toFixed(2).padStart(12)}  ${fmt(totalFull)}`);
  }
}
