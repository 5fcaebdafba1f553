// The module's JavaScript interface against the native tool: the header as `kdz info
// --json` reads it, the pixels of decode() as the native BMP holds them, and the same
// results through the worker pool.
import assert from 'node:assert/strict';
import { copyFileSync, mkdirSync, mkdtempSync, readFileSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { after, before, test } from 'node:test';

import { dist, eachLimited, missingNative, nativeKdz, run, samples, testFiles } from './helpers.mjs';

const notRun = missingNative();
if (notRun) console.log(`not run: ${notRun}`);

let kdz;
let tmp;
before(async () => {
  if (notRun) return;
  kdz = await import(join(dist, 'kdz.mjs'));
  await kdz.init();
  tmp = mkdtempSync(join(tmpdir(), 'kdz-web-api-'));
});
after(() => { if (tmp) rmSync(tmp, { recursive: true, force: true }); });

// The kdz tool's rendering of signature bytes: printable ASCII as is, else \xNN.
function byteText(c) {
  const b = c.charCodeAt(0);
  return b >= 0x20 && b < 0x7f && c !== '\\' ? c : `\\x${b.toString(16).toUpperCase().padStart(2, '0')}`;
}
const signatureText = (s) => [...s.padEnd(8, '\0')].map(byteText).join('');

const yiq = ([y, i, q]) => ({ y, i, q });

test('readHeader agrees with kdz info --json on every file', { skip: notRun ?? false }, async () => {
  const files = testFiles();
  const problems = [];
  await eachLimited(files, 2, async (file) => {
    const native = await run(nativeKdz, ['info', '--json', file]);
    let actual;
    try {
      const h = kdz.readHeader(readFileSync(file));
      actual = {
        code: 0,
        json: {
          file, size: h.fileSize, signature: signatureText(h.signature),
          version: `${byteText(h.signature.padEnd(8, '\0')[3])}.${byteText(h.signature.padEnd(8, '\0')[5])}`,
          width: h.width, height: h.height, levels: h.levels, uncodedLevels: yiq(h.uncodedLevels),
          headerLength: h.headerLength, transformMode: h.transformMode,
          planeOffsets: yiq(h.planeOffsets), segmentOffsets: yiq(h.segmentOffsets),
          valueTableSizes: yiq(h.valueTableSizes), lumaBias: h.lumaBias,
          decodable: h.decodable, problem: h.problem,
        },
      };
    } catch (e) {
      actual = { code: 1, stderr: `kdz: ${file}: ${e.message}\n` };
    }
    const expected = native.code === 0 ? { code: 0, json: JSON.parse(native.stdout) }
      : { code: native.code, stderr: native.stderr };
    try {
      assert.deepEqual(actual, expected);
    } catch (e) {
      problems.push(`${file}: ${e.message}`);
    }
  });
  assert.deepEqual(problems, []);
});

// RGBA top row first, indices and palette from a BMP file of the native tool.
function fromBmp(bmp) {
  const v = new DataView(bmp.buffer, bmp.byteOffset, bmp.byteLength);
  const width = v.getInt32(18, true);
  const height = v.getInt32(22, true);
  const bits = v.getUint16(28, true);
  const offBits = v.getUint32(10, true);
  const stride = (width * (bits / 8) + 3) & ~3;
  const rgba = new Uint8ClampedArray(width * height * 4);
  const indices = bits === 8 ? new Uint8Array(width * height) : null;
  for (let y = 0; y < height; ++y) {
    const row = offBits + stride * (height - 1 - y);
    for (let x = 0; x < width; ++x) {
      const d = 4 * (y * width + x);
      let bgr = row + 3 * x;
      if (indices) {
        indices[y * width + x] = bmp[row + x];
        bgr = 54 + 4 * bmp[row + x];
      }
      rgba.set([bmp[bgr + 2], bmp[bgr + 1], bmp[bgr], 255], d);
    }
  }
  const colorTable = bits === 8 ? bmp.subarray(54, 54 + 1024) : null;
  return { width, height, rgba, indices, colorTable };
}

test('decode() gives the pixels, indices and palette of the native BMP, top row first',
  { skip: notRun ?? false }, async () => {
    for (const file of samples()) {
      const bytes = readFileSync(file);
      for (const palette of [false, true]) {
        const out = join(tmp, 'native.bmp');
        const r = await run(nativeKdz, ['decode', palette ? '--8bit' : '--24bit', file, out]);
        assert.equal(r.code, 0, r.stderr);
        const want = fromBmp(readFileSync(out));
        const got = await kdz.decode(bytes, { palette });
        assert.deepEqual([got.width, got.height], [want.width, want.height]);
        assert.ok(Buffer.from(got.rgba.buffer).equals(Buffer.from(want.rgba.buffer)), `${file} rgba`);
        assert.equal(got.fileSize, bytes.length);
        assert.equal(got.header.signature, 'QEM2.3aZ');
        assert.ok(got.decodeMs > 0);
        if (!palette) {
          assert.deepEqual([got.palette, got.indices, got.colorCount], [null, null, 0]);
          continue;
        }
        assert.deepEqual(got.indices, want.indices);
        assert.ok(got.colorCount > 0 && got.colorCount <= 256);
        for (let k = 0; k < got.colorCount; ++k) {
          const c = want.colorTable.subarray(4 * k, 4 * k + 3);
          assert.deepEqual([...got.palette.subarray(3 * k, 3 * k + 3)], [c[2], c[1], c[0]]);
        }
        assert.ok(got.indices.reduce((a, b) => Math.max(a, b), 0) < got.colorCount);
      }
    }
  });

test('the worker pool gives the results of decode(), errors as KdzError, and leaves the bytes alone',
  { skip: notRun ?? false }, async () => {
    const pool = new kdz.DecoderPool({ size: 2 });
    try {
      const jobs = samples().flatMap((f) => [false, true].map((palette) => ({ bytes: readFileSync(f), palette })));
      const pooled = await Promise.all(jobs.map((j) => pool.decode(j.bytes, { palette: j.palette })));
      for (let k = 0; k < jobs.length; ++k) {
        const here = await kdz.decode(jobs[k].bytes, { palette: jobs[k].palette });
        assert.deepEqual({ ...pooled[k], decodeMs: 0 }, { ...here, decodeMs: 0 });
        assert.ok(jobs[k].bytes.length > 0, 'the caller keeps its bytes');
      }
      const notKdz = new TextEncoder().encode('GIF89a and more');
      const local = await kdz.decode(notKdz).catch((e) => e);
      const remote = await pool.decode(notKdz).catch((e) => e);
      assert.ok(remote instanceof kdz.KdzError);
      assert.deepEqual([remote.code, remote.codeName, remote.message], [local.code, local.codeName, local.message]);
      const limited = await pool.decode(jobs[0].bytes, { maxPixels: 10 }).catch((e) => e);
      assert.equal(limited.codeName, 'kLimit');
    } finally {
      pool.terminate();
    }
    await assert.rejects(pool.decode(new Uint8Array(1)), /terminated/);
  });

test('kdz.mjs beside kdz.wasm alone (no SIMD build) decodes what the default build decodes',
  { skip: notRun ?? false }, async () => {
    // A site that copied only kdz.mjs and kdz.wasm.
    const site = join(tmp, 'site');
    mkdirSync(site);
    copyFileSync(join(dist, 'kdz.mjs'), join(site, 'kdz.mjs'));
    copyFileSync(join(dist, 'kdz.wasm'), join(site, 'kdz.wasm'));
    const alone = await import(join(site, 'kdz.mjs'));
    await alone.init();
    const bytes = readFileSync(samples()[0]);
    for (const palette of [false, true]) {
      const a = await alone.decode(bytes, { palette });
      const b = await kdz.decode(bytes, { palette });
      assert.deepEqual([a.width, a.height, a.colorCount], [b.width, b.height, b.colorCount]);
      assert.ok(Buffer.from(a.rgba.buffer, a.rgba.byteOffset, a.rgba.byteLength)
        .equals(Buffer.from(b.rgba.buffer, b.rgba.byteOffset, b.rgba.byteLength)), `palette ${palette}`);
    }
  });
