// Memory: decodes leave nothing behind in the module's heap, so that 1000 of them in
// one instance leave its memory no larger than the largest single decode needed plus
// a small margin; a picture over the pixel limit is refused before its buffers exist.
import assert from 'node:assert/strict';
import { readFileSync } from 'node:fs';
import { join } from 'node:path';
import { test } from 'node:test';

import { dist, repo, samples } from './helpers.mjs';

const kdz = await import(join(dist, 'kdz.mjs')).catch(() => null);
const notRun = kdz ? null : `${dist}/kdz.mjs is missing (make web)`;
if (notRun) console.log(`not run: ${notRun}`);

const MARGIN = 1 << 20;
const seed = (name) => readFileSync(join(repo, 'fuzz/corpus/decode_fuzzer', name));

test('a picture over the pixel limit is refused before anything is allocated for it',
  { skip: notRun ?? false }, async () => {
    await kdz.init();
    const cases = [
      // 8192 x 8192 and 32767 x 32767 under the default limit of 4096 x 4096, and a
      // 512 x 512 sample under a limit of 1000 pixels.
      [seed('crafted-limit-8192.kdz'), {}],
      [seed('crafted-reject-huge.kdz'), {}],
      [readFileSync(samples()[0]), { maxPixels: 1000, palette: true }],
    ];
    for (const [bytes, options] of cases) {
      const before = kdz.memoryStats({ resetPeak: true });
      await assert.rejects(kdz.decode(bytes, options), (e) => e.codeName === 'kLimit');
      const after = kdz.memoryStats();
      // The file's copy and the decoder's small state, nothing the size of a plane.
      assert.ok(after.heapPeak - before.heapInUse < bytes.length + 16384, `peak ${after.heapPeak}`);
      assert.equal(after.memoryBytes, before.memoryBytes);
      assert.equal(after.heapInUse, before.heapInUse);
    }
  });

test('1000 decodes in one instance leave memory within the largest single decode plus 1 MiB',
  { skip: notRun ?? false }, async () => {
    await kdz.init();
    const start = kdz.memoryStats({ resetPeak: true });
    const inputs = [
      ...samples().flatMap((f) => [false, true].map((palette) => [readFileSync(f), { palette }])),
      // Files refused at different stages: the signature, a bound, an empty file.
      [seed('crafted-reject-not-qem.kdz'), {}],
      [seed('crafted-reject-table-past-end.kdz'), { palette: true }],
      [new Uint8Array(0), {}],
    ];
    let largest = 0;
    const decodeOnce = async ([bytes, options]) => {
      try {
        await kdz.decode(bytes, options);
      } catch (e) {
        assert.ok(e instanceof kdz.KdzError, String(e));
      }
      const stats = kdz.memoryStats({ resetPeak: true });
      assert.equal(stats.heapInUse, start.heapInUse, 'heap in use after a decode');
      return stats;
    };
    for (const input of inputs) largest = Math.max(largest, (await decodeOnce(input)).heapPeak - start.heapInUse);
    for (let k = inputs.length; k < 1000; ++k) await decodeOnce(inputs[k % inputs.length]);
    const end = kdz.memoryStats();
    assert.ok(end.memoryBytes <= start.memoryBytes + largest + MARGIN,
      `memory ${end.memoryBytes} after 1000 decodes, ${start.memoryBytes} before, largest decode ${largest}`);
  });

test('a decode that needs more than the module can address fails as out of memory, and the next works',
  { skip: notRun ?? false }, async () => {
    await kdz.init();
    // 32767 x 32767 pixels need about 10 GB; wasm32 addresses 4 GB. After each failure
    // a fresh instance serves the next call, synchronous or not.
    const huge = seed('crafted-reject-huge.kdz');
    const sample = readFileSync(samples()[0]);
    const outOfMemory = (e) => e instanceof kdz.KdzError && e.codeName === 'kOutOfMemory';
    await assert.rejects(kdz.decode(huge, { maxPixels: 2 ** 31 }), outOfMemory);
    assert.equal(kdz.readHeader(sample).decodable, true);
    await assert.rejects(kdz.decode(huge, { maxPixels: 2 ** 31 }), outOfMemory);
    const picture = await kdz.decode(sample, { palette: true });
    assert.equal(picture.indices.length, picture.width * picture.height);
  });
