// What the web tests share: where the repository, the native build and the module
// are, the files every test decodes, and running a program.
import { execFile } from 'node:child_process';
import { existsSync, readdirSync } from 'node:fs';
import { join, resolve } from 'node:path';
import { fileURLToPath } from 'node:url';

export const repo = resolve(fileURLToPath(new URL('../..', import.meta.url)));
export const nativeBuild = resolve(process.env.KDZ_NATIVE_BUILD ?? join(repo, 'build'));
export const nativeKdz = join(nativeBuild, 'tools/kdz/kdz');
export const nativeReference = join(nativeBuild, 'web/kdz_web_reference');
export const wasmCli = join(repo, 'web/bin/kdz-wasm.mjs');
export const dist = join(repo, 'web/dist');
// Both builds of the module: without SIMD, and the one engines with SIMD load.
export const wasmBuilds = [join(dist, 'kdz.wasm'), join(dist, 'kdz-simd.wasm')];

// Why the native side cannot be consulted, or null when it can.
export function missingNative() {
  for (const p of [nativeKdz, nativeReference, ...wasmBuilds]) {
    if (!existsSync(p)) return `${p} is missing (make build-native web)`;
  }
  return null;
}

function filesIn(dir, keep = () => true) {
  const abs = join(repo, dir);
  if (!existsSync(abs)) return [];
  return readdirSync(abs, { withFileTypes: true })
    .filter((e) => e.isFile() && keep(e.name))
    .map((e) => join(abs, e.name))
    .sort();
}

// The committed samples, every fuzz seed and every regression file.
export function testFiles() {
  const corpus = join(repo, 'fuzz/corpus');
  const seeds = existsSync(corpus)
    ? readdirSync(corpus, { withFileTypes: true }).filter((e) => e.isDirectory())
      .flatMap((e) => filesIn(join('fuzz/corpus', e.name)))
    : [];
  return [
    ...filesIn('samples', (n) => n.endsWith('.kdz')),
    ...seeds,
    ...filesIn('tests/regressions', (n) => n !== 'README' && !n.endsWith('.md')),
  ];
}

export function samples() {
  return filesIn('samples', (n) => n.endsWith('.kdz'));
}

// Runs a program; resolves to { code, stdout, stderr } whatever its exit status.
export function run(file, args, { input, encoding = 'utf8', env } = {}) {
  return new Promise((resolvePromise, reject) => {
    const options = { encoding, maxBuffer: 64 << 20, env: env ? { ...process.env, ...env } : process.env };
    const child = execFile(file, args, options, (error, stdout, stderr) => {
      if (error && typeof error.code !== 'number') {
        reject(error);
        return;
      }
      resolvePromise({ code: error ? error.code : 0, stdout, stderr });
    });
    if (input !== undefined) child.stdin.end(input);
  });
}

// Runs task over items, `width` at a time.
export async function eachLimited(items, width, task) {
  let next = 0;
  const workers = Array.from({ length: Math.min(width, items.length) }, async () => {
    while (next < items.length) {
      const k = next++;
      await task(items[k], k);
    }
  });
  await Promise.all(workers);
}
