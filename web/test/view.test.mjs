// The plug-in's geometry and information text, as the module gives them, agree with
// the native functions on a table of view scripts: fit, stretch, shrinking on either
// side and on a tie, zoom, pan, 16-bit window extents, a picture without pixels.
import assert from 'node:assert/strict';
import { join } from 'node:path';
import { test } from 'node:test';

import { dist, missingNative, nativeReference, run } from './helpers.mjs';

const notRun = missingNative();
if (notRun) console.log(`not run: ${notRun}`);

// One state runs through each script; `reset` starts a fresh one.
const SCRIPT = `
paint 200 200 400 300
info 1.07 5.147 400 300
paint 200 200 400 400
paint 200 400 400 100
paint 300 200 100 100
reset
paint 300 200 100 100
info 1.07 5.147 100 100
enlarge
paint 300 200 100 100
enlarge
enlarge
paint 64 48 64 48
info 0.004 24.3 64 48
reduce
reduce
reduce
reduce
paint 64 48 64 48
info 12.345 99.5 64 48
reset
paint 300 200 200 150
pan 300 200 200 150 50 20
paint 300 200 200 150
pan 300 200 200 150 10 5
paint 300 200 200 150
pan 300 200 200 150 0 0
reset
paint 100 80 512 512
pan 100 80 512 512 40 30
paint 100 80 512 512
info 0.5 24 512 512
enlarge
pan 100 80 512 512 33 17
paint 100 80 512 512
reset
paint 70000 200 400 300
paint 65535 65535 10 10
paint 22 22 15 15
paint 200 200 0 300
paint 200 200 400 -3
reset
set 0.6818181818181818 1 0 0 22 22
paint 15 15 22 22
info 1 1 22 22
set 1 3.3 17.5 -4.25 100 100
paint 50 50 20 20
pan 50 50 20 20 7 9
info 100000 1e9 32767 -32768
set 1 1e300 0 0 30000 30000
paint 10 10 30000 30000
info 1 1 40000 40000
ratio 2000 64 48
ratio 18000 512 512
ratio 79999 32767 32767
ratio 0 64 48
ratio 1 0 0
`.trim().split('\n');

// The same operations through the module; the lines it prints have the fields of
// kdz_web_reference's.
function runScript(kdz, lines) {
  let state = kdz.createViewState();
  const rect = (r) => [r.left, r.top, r.right, r.bottom];
  return lines.map((line) => {
    const [op, ...a] = line.split(' ');
    const n = a.map(Number);
    let result = null;
    if (op === 'reset') state = kdz.createViewState();
    else if (op === 'set') {
      [state.autoScale, state.userScale, state.panX, state.panY, state.displayWidth, state.displayHeight] = n;
    } else if (op === 'paint') {
      const p = kdz.planPaint(state, ...n);
      result = { ...p, erase: p.erase.map(rect) };
    } else if (op === 'pan') kdz.pan(state, ...n);
    else if (op === 'enlarge') kdz.enlarge(state);
    else if (op === 'reduce') kdz.reduce(state);
    else if (op === 'info') result = kdz.imageInfoText(...n, state);
    else if (op === 'ratio') result = kdz.compressionRatio(...n);
    else throw new Error(`unknown operation ${line}`);
    return {
      op: line,
      result,
      state: { ...state, exposedRight: rect(state.exposedRight), exposedBelow: rect(state.exposedBelow) },
    };
  });
}

const special = { NaN, Infinity, '-Infinity': -Infinity };
const revive = (key, value) => (typeof value === 'string' && value in special ? special[value] : value);

test('geometry, information text and compression ratio agree with the native functions',
  { skip: notRun ?? false }, async () => {
    const kdz = await import(join(dist, 'kdz.mjs'));
    await kdz.init();
    const { code, stdout, stderr } = await run(nativeReference, ['view'], { input: `${SCRIPT.join('\n')}\n` });
    assert.equal(code, 0, stderr);
    const native = stdout.trim().split('\n').map((line) => JSON.parse(line, revive));
    const wasm = runScript(kdz, SCRIPT);
    assert.equal(wasm.length, native.length);
    for (let k = 0; k < native.length; ++k) assert.deepEqual(wasm[k], native[k], SCRIPT[k]);

    // The table reaches every rule: the width's and the height's fit, stretching,
    // strips erased, and the information text of a known case.
    const plans = wasm.filter((r) => r.op.startsWith('paint')).map((r) => r.result);
    assert.ok(plans.some((p) => p.erase.length === 2) && plans.some((p) => !p.draw));
    assert.equal(wasm[1].result, 'Decompression Time\t 1.07 s\n\rCompression Ratio\t\t 5:1\n\r' +
      'Original Size\t\t400 x 300\n\rScaled Size\t\t200 x 150\n\rScaling factor\t\t0.50\n\r' +
      'User scaling factor:\t\t1.00');
  });
