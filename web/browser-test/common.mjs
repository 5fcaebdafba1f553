// Shared by the browser tests: paths, the generated files (native reference decodes
// and broken files), the page server, and functions that run inside the page.
import { execFileSync } from 'node:child_process';
import { copyFileSync, mkdtempSync, readFileSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { dirname, join } from 'node:path';
import { fileURLToPath } from 'node:url';
import { startServer } from './server.mjs';

export const here = dirname(fileURLToPath(import.meta.url));
export const webDir = join(here, '..');
export const rootDir = join(webDir, '..');
export const distDir = join(webDir, 'dist');
export const samplesDir = join(rootDir, 'samples');
export const SAMPLES = ['astronaut', 'camera', 'chelsea', 'coffee', 'color'];
export const BROWSERS = (process.env.KDZ_BROWSERS ?? 'chromium,firefox').split(',');

export function kdzTool() {
  const build = process.env.KDZ_NATIVE_BUILD ?? join(rootDir, 'build');
  return join(build, 'tools', 'kdz', 'kdz');
}

// A folder of what the pages use besides the samples: the native decodes as PPM and
// files that must end in the error state.
export function makeGeneratedFiles() {
  const dir = mkdtempSync(join(tmpdir(), 'kdz-browser-test-'));
  for (const name of SAMPLES) {
    execFileSync(kdzTool(), ['decode', '--8bit', join(samplesDir, `${name}.kdz`), join(dir, `${name}-8bit.ppm`)]);
  }
  execFileSync(kdzTool(), ['decode', '--24bit', join(samplesDir, 'color.kdz'), join(dir, 'color-24bit.ppm')]);
  copyFileSync(join(samplesDir, 'color.kdz'), join(dir, 'color-noext'));
  writeFileSync(join(dir, 'garbage.kdz'), 'This is not a KDZ picture.\n');
  writeFileSync(join(dir, 'truncated.kdz'), readFileSync(join(samplesDir, 'color.kdz')).subarray(0, 300));
  writeFileSync(join(dir, 'empty.kdz'), '');
  writeFileSync(join(dir, 'other.swf'), 'FWS');
  return dir;
}

export function serve(generatedDir, extraMounts = {}, options = {}) {
  return startServer({
    mounts: { '/dist/': distDir, '/samples/': samplesDir, '/gen/': generatedDir,
              '/': join(here, 'pages'), ...extraMounts },
    lowercase: ['/samples/'],
    ...options,
  });
}

// The geometry oracle: the module's functions in Node, which the module's own tests
// prove equal to the native ones.
export async function geometry() {
  const kdz = await import(join(distDir, 'kdz.mjs'));
  await kdz.init(readFileSync(join(distDir, 'kdz.wasm')));
  return kdz;
}

// ---- functions run in the page (serialised by the driver: no closures)

// What an element shows: its box, its canvas backing, the bounding box of the drawn
// (opaque) canvas pixels, its message and its view state.
export function inspectInPage(id) {
  const el = document.getElementById(id) ??
    document.querySelector('iframe')?.contentDocument?.getElementById(id);
  if (!el) return null;
  const rect = el.getBoundingClientRect();
  const canvas = el.shadowRoot?.querySelector('canvas');
  let drawn = null;
  if (canvas && canvas.width > 0 && canvas.height > 0) {
    const { data, width, height } = canvas.getContext('2d').getImageData(0, 0, canvas.width, canvas.height);
    let left = width, top = height, right = -1, bottom = -1;
    for (let y = 0; y < height; y++) for (let x = 0; x < width; x++) {
      if (data[(y * width + x) * 4 + 3] !== 0) {
        if (x < left) left = x; if (x > right) right = x;
        if (y < top) top = y; if (y > bottom) bottom = y;
      }
    }
    drawn = right < 0 ? 'none' : [left, top, right + 1, bottom + 1];
  }
  const message = el.shadowRoot?.querySelector('.message');
  return {
    tag: el.localName, id: el.id, className: el.className, title: el.title,
    style: el.style.cssText, width: Math.round(rect.width), height: Math.round(rect.height),
    canvas: canvas ? [canvas.width, canvas.height] : null, drawn,
    message: message && !message.hidden ? message.textContent : null,
    role: el.getAttribute('role'), label: el.getAttribute('aria-label'),
    state: el.viewState, palette: el.hasAttribute('palette'),
  };
}

// Compares an element's canvas with a binary PPM (P6) of the same size, pixel for
// pixel; resolves to { width, height, differing, first }.
export async function compareWithPpmInPage([id, ppmUrl]) {
  const el = document.getElementById(id);
  const canvas = el.shadowRoot.querySelector('canvas');
  const bytes = new Uint8Array(await (await fetch(ppmUrl)).arrayBuffer());
  const fields = [];
  let at = 0;
  while (fields.length < 4) {
    while (/\s/.test(String.fromCharCode(bytes[at]))) at++;
    if (bytes[at] === 35) { while (bytes[at] !== 10) at++; continue; }  // a comment
    let field = '';
    while (!/\s/.test(String.fromCharCode(bytes[at]))) field += String.fromCharCode(bytes[at++]);
    fields.push(field);
  }
  at++;
  const [, width, height] = fields.map(Number);
  if (canvas.width !== width || canvas.height !== height) {
    return { width: canvas.width, height: canvas.height, expected: [width, height] };
  }
  const { data } = canvas.getContext('2d').getImageData(0, 0, width, height);
  let differing = 0, first = null;
  for (let i = 0; i < width * height; i++) {
    const r = bytes[at + 3 * i], g = bytes[at + 3 * i + 1], b = bytes[at + 3 * i + 2];
    if (data[4 * i] !== r || data[4 * i + 1] !== g || data[4 * i + 2] !== b || data[4 * i + 3] !== 255) {
      if (first === null) first = { x: i % width, y: Math.floor(i / width), got: [...data.subarray(4 * i, 4 * i + 4)], want: [r, g, b] };
      differing++;
    }
  }
  return { width, height, differing, first };
}

// The open menu's and information box's contents in an element's shadow root.
export function popupsInPage(id) {
  const root = document.getElementById(id).shadowRoot;
  const menu = root.querySelector('.menu');
  const info = root.querySelector('.info');
  const open = (el) => Boolean(el && el.matches(':popover-open'));
  return {
    menuOpen: open(menu),
    items: menu ? [...menu.querySelectorAll('[role=menuitem]')].map((b) => b.textContent) : [],
    focused: root.activeElement ? root.activeElement.textContent : null,
    hostFocused: document.activeElement === document.getElementById(id),
    infoOpen: open(info),
    caption: info ? info.querySelector('.caption').textContent : null,
    shown: info ? info.querySelector('pre').textContent : null,
    infoText: document.getElementById(id).infoText,
  };
}
