// The WebAssembly module decodes exactly as the native library: kdz-wasm against the
// native kdz tool, byte for byte, on every sample, fuzz seed and regression file, in
// both depths; refused files refused with the same error code and message.
import assert from 'node:assert/strict';
import { mkdtempSync, readFileSync, rmSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { basename, join } from 'node:path';
import { after, before, test } from 'node:test';

import {
  dist, eachLimited, missingNative, nativeKdz, nativeReference, run, samples, testFiles, wasmBuilds,
  wasmCli,
} from './helpers.mjs';

const notRun = missingNative();
if (notRun) console.log(`not run: ${notRun}`);

let tmp;
let kdz;
let files;

before(async () => {
  if (notRun) return;
  tmp = mkdtempSync(join(tmpdir(), 'kdz-web-'));
  kdz = await import(join(dist, 'kdz.mjs'));
  await kdz.init();
  // Besides the committed files: an empty file, and one of exactly the format's limit.
  const empty = join(tmp, 'empty.kdz');
  writeFileSync(empty, new Uint8Array(0));
  const large = join(tmp, 'large.kdz');
  const bytes = new Uint8Array(80000);
  bytes.set(readFileSync(samples()[0]).subarray(0, 1000));
  writeFileSync(large, bytes);
  files = [...testFiles(), empty, large];
});

after(() => { if (tmp) rmSync(tmp, { recursive: true, force: true }); });

// Both tools on one file, kdz-wasm on the given build of the module; null when they
// agree, else what differs.
async function compareTools(file, args, k, build) {
  const nativeOut = join(tmp, `native-${k}.bmp`);
  const wasmOut = join(tmp, `wasm-${k}.bmp`);
  const [n, w] = await Promise.all([
    run(nativeKdz, ['decode', ...args, file, nativeOut]),
    run(process.execPath, [wasmCli, 'decode', ...args, file, wasmOut], { env: { KDZ_WASM: build } }),
  ]);
  const what = `${basename(build)}: ${basename(file)} ${args.join(' ')}`;
  if (n.code !== w.code) return `${what}: exit ${w.code}, natively ${n.code} (${w.stderr.trim()})`;
  if (n.stderr !== w.stderr) return `${what}: says ${JSON.stringify(w.stderr)}, natively ${JSON.stringify(n.stderr)}`;
  if (n.code === 0 && !readFileSync(wasmOut).equals(readFileSync(nativeOut))) return `${what}: BMP differs`;
  return null;
}

test('every file decodes to the native BMP, or is refused with the native message, in both depths and both builds',
  { skip: notRun ?? false }, async (t) => {
    const cases = files.flatMap((f) => [[f, ['--24bit']], [f, ['--8bit']]]);
    // The pixel limit: the native tool's default, and one that a sample exceeds.
    cases.push([samples()[0], ['--8bit', '--max-pixels', '100000']]);
    // The largest pictures first, so that they do not end the run alone.
    const pixels = (file) => {
      try {
        const h = kdz.readHeader(readFileSync(file));
        return Math.max(0, h.width) * Math.max(0, h.height);
      } catch {
        return 0;
      }
    };
    const order = cases.map((c, k) => [pixels(c[0]), k]).sort((a, b) => b[0] - a[0])
      .flatMap(([, k]) => wasmBuilds.map((build) => [...cases[k], build]));
    const problems = [];
    let decoded = 0;
    await eachLimited(order, 2, async ([file, args, build], k) => {
      const problem = await compareTools(file, args, k, build);
      if (problem) problems.push(problem);
      else decoded += 1;
    });
    t.diagnostic(`${order.length} decodes compared, ${decoded} agree`);
    assert.deepEqual(problems, []);
  });

test('refused files carry the native error code and message; pictures the native size and colours',
  { skip: notRun ?? false }, async () => {
    // The module's default limit (the plug-in's), and one that every sample exceeds.
    for (const maxPixels of [kdz.DEFAULT_MAX_PIXELS, 100000]) {
      const { stdout } = await run(nativeReference, ['decode', String(maxPixels), ...files]);
      const native = stdout.trim().split('\n').map((line) => JSON.parse(line));
      assert.equal(native.length, files.length * 2);
      const refusedCodes = new Set();
      for (const expected of native) {
        let actual;
        try {
          const b = kdz.decodeBitmap(readFileSync(expected.file), { palette: expected.bits === 8, maxPixels });
          actual = { error: 0, message: '', width: b.width, height: b.height, colorsUsed: b.colorsUsed };
        } catch (e) {
          assert.ok(e instanceof kdz.KdzError, `${expected.file}: ${e}`);
          assert.equal(e.codeName, Object.keys(kdz.ErrorCode)[e.code]);
          actual = { error: e.code, message: e.message, width: 0, height: 0, colorsUsed: 0 };
          refusedCodes.add(e.codeName);
        }
        const { file, bits, ...want } = expected;
        assert.deepEqual(actual, want, `${basename(file)} at ${bits} bits, limit ${maxPixels}`);
      }
      // The files reach more than one refusal.
      assert.ok(refusedCodes.size >= 3, [...refusedCodes].join(' '));
    }
  });

test('kdz-wasm usage errors exit 2', { skip: notRun ?? false }, async () => {
  const sample = samples()[0];
  for (const args of [[], ['info', sample], ['decode', sample], ['decode', '--8bit', '--24bit', sample, 'x.bmp'],
    ['decode', sample, join(tmp, 'x.png')], ['decode', '--max-pixels', '0', sample, 'x.bmp'], ['decode', '--fast', sample, 'x.bmp']]) {
    const r = await run(process.execPath, [wasmCli, ...args]);
    assert.equal(r.code, 2, args.join(' '));
    assert.match(r.stderr, /^kdz: .*\nusage: /, args.join(' '));
  }
  const missing = join(tmp, 'missing.kdz');
  const [n, w] = await Promise.all([run(nativeKdz, ['decode', missing, join(tmp, 'm.bmp')]),
    run(process.execPath, [wasmCli, 'decode', missing, join(tmp, 'm.bmp')])]);
  assert.deepEqual([w.code, w.stderr], [n.code, n.stderr]);
});
