// KDZ pictures in browsers and Node: the decoder, the quantiser and the viewer's
// geometry and information text, compiled to WebAssembly from the library's C++
// sources (kdz.wasm), behind a small JavaScript interface. No bundler is needed.
//
//   import { init, decode } from './kdz.mjs';
//   await init();                                  // loads ./kdz-simd.wasm or ./kdz.wasm
//   const picture = await decode(bytes, { palette: true });
//   context.putImageData(new ImageData(picture.rgba, picture.width, picture.height), 0, 0);

// The library's error codes (kdz::Error), by value.
const ERROR_NAMES = [
  'kNone', 'kIo', 'kFileTooLarge', 'kEmpty', 'kNotKdz', 'kUnsupported', 'kMalformed',
  'kLimit', 'kBufferTooSmall', 'kOutOfMemory', 'kQuantFailed', 'kInvalidArgument',
];
export const ErrorCode = Object.freeze(Object.fromEntries(ERROR_NAMES.map((name, code) => [name, code])));

// The plug-in's pixel limit: larger than any browser window, and a decode of the worst
// file of that size takes about a second.
export const DEFAULT_MAX_PIXELS = 4096 * 4096;
// KDZ files are below 80000 bytes.
export const MAX_FILE_BYTES = 79999;

export const MENU_ITEMS = Object.freeze([
  Object.freeze({ id: 1000, text: 'Image Info ' }),
  Object.freeze({ id: 1001, text: 'Enlarge 50%' }),
  Object.freeze({ id: 1002, text: 'Reduce  50%' }),
]);
export const INFO_CAPTION = 'Image Info';
export const NOT_LOADED_TEXT = 'Image not finished loading';

// A refused file: `code` is the library's kdz::Error value, `codeName` its name, and
// the message names the cause.
export class KdzError extends Error {
  constructor(code, message) {
    super(message);
    this.name = 'KdzError';
    this.code = code;
    this.codeName = ERROR_NAMES[code] ?? `error ${code}`;
  }
}

// ---------------------------------------------------------------------------------
// Loading

const isNode = typeof process !== 'undefined' && process.versions != null &&
    process.versions.node != null;

let wasmModule = null;    // the compiled module, kept to start a fresh instance
let wasm = null;          // the live instance's exports
let loading = null;       // the promise of init()

// The WASI functions that wasi-libc's start-up and stdio name. The module reads no
// files, clock or environment; output to stdout and stderr goes to the console, for
// the library's own diagnostics should there be any.
function wasiImports(getMemory) {
  const EBADF = 8;
  const ESPIPE = 70;
  let pending = '';
  return {
    fd_write(fd, iovs, iovsLen, nwrittenPtr) {
      if (fd !== 1 && fd !== 2) return EBADF;
      const memory = getMemory();
      const view = new DataView(memory.buffer);
      let written = 0;
      for (let k = 0; k < iovsLen; ++k) {
        const ptr = view.getUint32(iovs + 8 * k, true);
        const len = view.getUint32(iovs + 8 * k + 4, true);
        pending += latin1(new Uint8Array(memory.buffer, ptr, len));
        written += len;
      }
      const lines = pending.split('\n');
      pending = lines.pop();
      for (const line of lines) console.error(`kdz.wasm: ${line}`);
      view.setUint32(nwrittenPtr, written, true);
      return 0;
    },
    fd_seek() { return ESPIPE; },
    fd_close() { return EBADF; },
  };
}

function imports() {
  const state = { memory: null };
  return { state, object: { wasi_snapshot_preview1: wasiImports(() => state.memory) } };
}

function start(instance, state) {
  state.memory = instance.exports.memory;
  instance.exports._initialize();
  const view = instance.exports.kdz_alloc(VIEW_SIZE);
  const plan = instance.exports.kdz_alloc(PLAN_SIZE);
  if (view === 0 || plan === 0) throw new KdzError(ErrorCode.kOutOfMemory, 'out of memory');
  return { ...instance.exports, memory: state.memory, viewPtr: view, planPtr: plan };
}

// Browsers' main threads refuse to instantiate all but tiny modules synchronously, so
// every instance that can be made asynchronously is.
async function instantiate(module) {
  const { state, object } = imports();
  return start(await WebAssembly.instantiate(module, object), state);
}

function instantiateNow(module) {
  const { state, object } = imports();
  return start(new WebAssembly.Instance(module, object), state);
}

// A module of one function that uses a 128-bit SIMD instruction: it validates only
// where the engine has wasm SIMD.
const SIMD_PROBE = new Uint8Array([0, 97, 115, 109, 1, 0, 0, 0, 1, 5, 1, 96, 0, 1, 123, 3,
  2, 1, 0, 10, 10, 1, 8, 0, 65, 0, 253, 15, 253, 98, 11]);

// Whether this engine runs the SIMD build of the module.
export function simdSupported() {
  try {
    return WebAssembly.validate(SIMD_PROBE);
  } catch {
    return false;
  }
}

// The default build: kdz-simd.wasm next to this file where the engine has SIMD (the same
// pictures, about a tenth faster), kdz.wasm elsewhere or when the SIMD build cannot be
// loaded (a site that copied kdz.wasm alone).
async function compileDefault() {
  const plain = new URL('./kdz.wasm', import.meta.url);
  if (!simdSupported()) return compileUrl(plain);
  try {
    return await compileUrl(new URL('./kdz-simd.wasm', import.meta.url));
  } catch {
    return compileUrl(plain);
  }
}

async function compile(source) {
  if (source instanceof WebAssembly.Module) return source;
  if (source instanceof ArrayBuffer || ArrayBuffer.isView(source)) return WebAssembly.compile(source);
  if (source === undefined) return compileDefault();
  return compileUrl(source instanceof URL ? source : new URL(String(source), baseUrl()));
}

async function compileUrl(url) {
  if (isNode && url.protocol === 'file:') {
    const { readFile } = await import('node:fs/promises');
    return WebAssembly.compile(await readFile(url));
  }
  const response = await fetch(url);
  if (!response.ok) throw new Error(`kdz: cannot load ${url}: HTTP ${response.status}`);
  // Streaming compilation needs the application/wasm type; without it, compile the bytes.
  if (WebAssembly.compileStreaming &&
      (response.headers.get('content-type') || '').startsWith('application/wasm')) {
    return WebAssembly.compileStreaming(response);
  }
  return WebAssembly.compile(await response.arrayBuffer());
}

function baseUrl() {
  if (typeof location !== 'undefined' && location.href) return location.href;
  if (isNode) return `file://${process.cwd()}/`;
  return import.meta.url;
}

// Loads and instantiates the module once; later calls return the same promise.
// source: the URL (or its text) of kdz.wasm, its bytes, or a compiled WebAssembly.Module;
// by default the build next to this file that suits the engine (see compileDefault).
export function init(source) {
  if (loading === null) {
    loading = compile(source).then(async (module) => {
      wasmModule = module;
      wasm = await instantiate(module);
    });
    loading.catch(() => { loading = null; });
  }
  return loading;
}

function exportsOrThrow() {
  if (wasm !== null) return wasm;
  // After a trap the old instance is dropped; a fresh one starts from the compiled module.
  if (wasmModule !== null) {
    wasm = instantiateNow(wasmModule);
    return wasm;
  }
  throw new Error('kdz: call init() first');
}

// Runs fn with the live exports. A trap (the library aborts only when memory cannot
// grow) leaves the instance unusable: it is dropped, and the call fails as out of memory.
function call(fn) {
  const w = exportsOrThrow();
  try {
    return fn(w);
  } catch (e) {
    if (e instanceof WebAssembly.RuntimeError) {
      wasm = null;
      throw new KdzError(ErrorCode.kOutOfMemory, `out of memory (${e.message})`);
    }
    throw e;
  }
}

// ---------------------------------------------------------------------------------
// Memory helpers

function latin1(bytes) {
  let s = '';
  for (let k = 0; k < bytes.length; k += 8192) {
    s += String.fromCharCode.apply(null, bytes.subarray(k, k + 8192));
  }
  return s;
}

function cString(w, ptr) {
  const bytes = new Uint8Array(w.memory.buffer, ptr);
  const end = bytes.indexOf(0);
  return latin1(bytes.subarray(0, end < 0 ? bytes.length : end));
}

function asBytes(bytes) {
  if (bytes instanceof Uint8Array) return bytes;
  if (bytes instanceof ArrayBuffer) return new Uint8Array(bytes);
  if (ArrayBuffer.isView(bytes)) return new Uint8Array(bytes.buffer, bytes.byteOffset, bytes.byteLength);
  throw new TypeError('kdz: bytes must be a Uint8Array, an ArrayBuffer or a typed array view');
}

// Copies bytes into the module's memory for the duration of fn(pointer, length).
function withBytes(w, bytes, fn) {
  const ptr = w.kdz_alloc(bytes.length);
  if (ptr === 0) throw new KdzError(ErrorCode.kOutOfMemory, 'out of memory');
  try {
    new Uint8Array(w.memory.buffer, ptr, bytes.length).set(bytes);
    return fn(ptr, bytes.length);
  } finally {
    w.kdz_free(ptr);
  }
}

// ---------------------------------------------------------------------------------
// Header

// Field order of kdz_header_fields (web/wasm/kdz_wasm.h).
const H = {
  error: 0, width: 1, height: 2, levels: 3, uncoded: 4, headerLength: 7, transformMode: 8,
  lumaBias: 9, planeOffset: 10, segmentOffset: 13, valueCount: 16, fileSize: 19, decodable: 20,
  count: 21,
};

function readHeaderWith(w, bytes) {
  return withBytes(w, bytes, (ptr, len) => {
    const h = w.kdz_read_header(ptr, len);
    if (h === 0) throw new KdzError(ErrorCode.kOutOfMemory, 'out of memory');
    try {
      const f = new Int32Array(w.memory.buffer, w.kdz_header_fields(h), H.count);
      if (f[H.error] !== 0) throw new KdzError(f[H.error], cString(w, w.kdz_header_message(h)));
      const triple = (at, unsigned) => [0, 1, 2].map((k) => (unsigned ? f[at + k] >>> 0 : f[at + k]));
      const problem = cString(w, w.kdz_header_message(h));
      return {
        // The first 8 bytes as they are (NUL included), fewer for a shorter file.
        signature: latin1(new Uint8Array(w.memory.buffer, w.kdz_header_signature(h), Math.min(8, len))),
        width: f[H.width],
        height: f[H.height],
        levels: f[H.levels],
        uncodedLevels: triple(H.uncoded),
        headerLength: f[H.headerLength],
        transformMode: f[H.transformMode],
        lumaBias: f[H.lumaBias],
        fileSize: f[H.fileSize] >>> 0,
        planeOffsets: triple(H.planeOffset, true),
        segmentOffsets: triple(H.segmentOffset, true),
        valueTableSizes: triple(H.valueCount).map((n) => (n < 0 ? null : n)),
        decodable: f[H.decodable] !== 0,
        problem: problem === '' ? null : problem,
      };
    } finally {
      w.kdz_header_free(h);
    }
  });
}

// What the header of the file says (synchronous, after init()): signature, picture
// size, levels, uncoded levels, header length, transform mode, luma bias, file size,
// plane and segment offsets, value-table sizes (null where outside the file), and
// whether the file decodes (and if not, `problem` says why). Throws KdzError only for
// an empty file or one that is not a KDZ file at all.
export function readHeader(bytes) {
  return call((w) => readHeaderWith(w, asBytes(bytes)));
}

// ---------------------------------------------------------------------------------
// Decoding

function fileTooLarge(size, limit) {
  // Above the format's limit the words are the library's own.
  return new KdzError(ErrorCode.kFileTooLarge, size >= 80000
      ? `file of ${size} bytes; KDZ files are below 80000 bytes`
      : `file of ${size} bytes; the limit is ${limit} bytes`);
}

function limitsOf(options) {
  const maxPixels = options.maxPixels ?? DEFAULT_MAX_PIXELS;
  const maxFileBytes = Math.min(options.maxFileBytes ?? MAX_FILE_BYTES, MAX_FILE_BYTES);
  if (!(maxPixels >= 0) || !(maxFileBytes >= 0)) {
    throw new KdzError(ErrorCode.kInvalidArgument, 'maxPixels and maxFileBytes must not be negative');
  }
  return { maxPixels: Math.floor(maxPixels), maxFileBytes: Math.floor(maxFileBytes) };
}

// Decodes into the bitmap as the viewer holds it, copied out of the module:
// { width, height, bitsPerPixel, colorsUsed, block } where block is the 40-byte
// information header, the 256-entry colour table (blue, green, red, 0) and the rows
// bottom-up, padded to 4 bytes: what a BMP file holds after its 14-byte file header.
export function decodeBitmap(bytes, options = {}) {
  const data = asBytes(bytes);
  const { maxPixels, maxFileBytes } = limitsOf(options);
  if (data.length > maxFileBytes) throw fileTooLarge(data.length, maxFileBytes);
  return call((w) => withBytes(w, data, (ptr, len) => {
    const picture = w.kdz_decode(ptr, len, options.palette ? 1 : 0, maxPixels);
    if (picture === 0) throw new KdzError(ErrorCode.kOutOfMemory, 'out of memory');
    try {
      const error = w.kdz_picture_error(picture);
      if (error !== 0) throw new KdzError(error, cString(w, w.kdz_picture_message(picture)));
      const block = new Uint8Array(w.memory.buffer, w.kdz_picture_block(picture),
          w.kdz_picture_block_size(picture)).slice();
      return {
        width: w.kdz_picture_width(picture),
        height: w.kdz_picture_height(picture),
        bitsPerPixel: w.kdz_picture_bits_per_pixel(picture),
        colorsUsed: w.kdz_picture_colors_used(picture),
        block,
      };
    } finally {
      w.kdz_picture_free(picture);
    }
  }));
}

const PIXELS_AT = 1064;

// The bitmap's rows, bottom-up and padded, as RGBA top row first; in palette mode also
// the indices top row first and the palette as R, G, B.
function unpack(bitmap) {
  const { width, height, block } = bitmap;
  const rgba = new Uint8ClampedArray(width * height * 4);
  if (bitmap.bitsPerPixel === 8) {
    const colorCount = bitmap.colorsUsed;
    const palette = new Uint8Array(colorCount * 3);
    const lookup = new Uint32Array(256);
    const rgbaWords = new Uint32Array(1);
    const rgbaBytes = new Uint8Array(rgbaWords.buffer);
    for (let k = 0; k < 256; ++k) {
      const at = 40 + 4 * k;
      rgbaBytes[0] = block[at + 2];
      rgbaBytes[1] = block[at + 1];
      rgbaBytes[2] = block[at];
      rgbaBytes[3] = 255;
      lookup[k] = rgbaWords[0];
      if (k < colorCount) palette.set([block[at + 2], block[at + 1], block[at]], 3 * k);
    }
    const indices = new Uint8Array(width * height);
    const out = new Uint32Array(rgba.buffer);
    const stride = (width + 3) & ~3;
    for (let y = 0; y < height; ++y) {
      const row = block.subarray(PIXELS_AT + stride * (height - 1 - y), PIXELS_AT + stride * (height - 1 - y) + width);
      indices.set(row, y * width);
      const base = y * width;
      for (let x = 0; x < width; ++x) out[base + x] = lookup[row[x]];
    }
    return { rgba, palette, indices, colorCount };
  }
  const stride = (width * 3 + 3) & ~3;
  for (let y = 0; y < height; ++y) {
    let s = PIXELS_AT + stride * (height - 1 - y);
    let d = y * width * 4;
    for (let x = 0; x < width; ++x, s += 3, d += 4) {
      rgba[d] = block[s + 2];
      rgba[d + 1] = block[s + 1];
      rgba[d + 2] = block[s];
      rgba[d + 3] = 255;
    }
  }
  return { rgba, palette: null, indices: null, colorCount: 0 };
}

function decodeNow(bytes, options = {}) {
  const started = performance.now();
  const data = asBytes(bytes);
  const bitmap = decodeBitmap(data, options);
  const { rgba, palette, indices, colorCount } = unpack(bitmap);
  const h = readHeader(data);
  const header = {
    signature: h.signature, width: h.width, height: h.height, levels: h.levels,
    uncodedLevels: h.uncodedLevels, headerLength: h.headerLength,
    transformMode: h.transformMode, lumaBias: h.lumaBias, fileSize: h.fileSize,
  };
  return {
    width: bitmap.width,
    height: bitmap.height,
    rgba,
    palette,
    indices,
    colorCount,
    header,
    fileSize: data.length,
    compressionRatio: compressionRatio(data.length, bitmap.width, bitmap.height),
    decodeMs: performance.now() - started,
  };
}

// Decodes a KDZ file in the calling thread.
// options: palette (false: the 24-bit picture; true: the plug-in's 256-colour picture),
// maxPixels (default 4096 x 4096), maxFileBytes (default and at most 79999).
// Resolves to { width, height, rgba, palette, indices, colorCount, header, fileSize,
// compressionRatio, decodeMs }; rejects with KdzError for a refused file.
export async function decode(bytes, options = {}) {
  await init();
  if (wasm === null) wasm = await instantiate(wasmModule);
  return decodeNow(bytes, options);
}

// ---------------------------------------------------------------------------------
// Geometry and information text: the plug-in's own functions, through kdz_view and
// kdz_paint_plan (web/wasm/kdz_wasm.h).

const VIEW_SIZE = 72;
const PLAN_SIZE = 64;

export function createViewState() {
  return {
    autoScale: 1, userScale: 1, panX: 0, panY: 0, displayWidth: 0, displayHeight: 0,
    exposedRight: { left: 0, top: 0, right: 0, bottom: 0 },
    exposedBelow: { left: 0, top: 0, right: 0, bottom: 0 },
  };
}

function putRect(view, at, r) {
  view.setInt32(at, r.left, true);
  view.setInt32(at + 4, r.top, true);
  view.setInt32(at + 8, r.right, true);
  view.setInt32(at + 12, r.bottom, true);
}

function getRect(view, at) {
  return {
    left: view.getInt32(at, true), top: view.getInt32(at + 4, true),
    right: view.getInt32(at + 8, true), bottom: view.getInt32(at + 12, true),
  };
}

function storeState(w, state) {
  const v = new DataView(w.memory.buffer, w.viewPtr, VIEW_SIZE);
  v.setFloat64(0, state.autoScale, true);
  v.setFloat64(8, state.userScale, true);
  v.setFloat64(16, state.panX, true);
  v.setFloat64(24, state.panY, true);
  v.setInt32(32, state.displayWidth, true);
  v.setInt32(36, state.displayHeight, true);
  putRect(v, 40, state.exposedRight);
  putRect(v, 56, state.exposedBelow);
}

function loadState(w, state) {
  const v = new DataView(w.memory.buffer, w.viewPtr, VIEW_SIZE);
  state.autoScale = v.getFloat64(0, true);
  state.userScale = v.getFloat64(8, true);
  state.panX = v.getFloat64(16, true);
  state.panY = v.getFloat64(24, true);
  state.displayWidth = v.getInt32(32, true);
  state.displayHeight = v.getInt32(36, true);
  state.exposedRight = getRect(v, 40);
  state.exposedBelow = getRect(v, 56);
}

// Plans one paint of an imageWidth x imageHeight picture in a windowWidth x windowHeight
// box and updates `state` as the plug-in's paint does. Returns the strips to erase
// first, whether to draw, the origin (minus the pan offset), and the destination and
// source extents.
export function planPaint(state, windowWidth, windowHeight, imageWidth, imageHeight) {
  return call((w) => {
    storeState(w, state);
    w.kdz_plan_paint(w.viewPtr, windowWidth, windowHeight, imageWidth, imageHeight, w.planPtr);
    loadState(w, state);
    const p = new DataView(w.memory.buffer, w.planPtr, PLAN_SIZE);
    const erase = [];
    for (let k = 0; k < p.getInt32(0, true); ++k) erase.push(getRect(p, 4 + 16 * k));
    return {
      erase,
      draw: p.getInt32(36, true) !== 0,
      originX: p.getInt32(40, true),
      originY: p.getInt32(44, true),
      destWidth: p.getInt32(48, true),
      destHeight: p.getInt32(52, true),
      srcWidth: p.getInt32(56, true),
      srcHeight: p.getInt32(60, true),
    };
  });
}

// A left click at box point (x, y): the new pan offset and the uncovered strips.
export function pan(state, windowWidth, windowHeight, imageWidth, imageHeight, x, y) {
  call((w) => {
    storeState(w, state);
    w.kdz_pan(w.viewPtr, windowWidth, windowHeight, imageWidth, imageHeight, x, y);
    loadState(w, state);
  });
}

// The menu's zoom commands: the user scale doubles or halves; the pan offset returns to 0.
export function enlarge(state) {
  call((w) => { storeState(w, state); w.kdz_enlarge(w.viewPtr); loadState(w, state); });
}
export function reduce(state) {
  call((w) => { storeState(w, state); w.kdz_reduce(w.viewPtr); loadState(w, state); });
}

// The information box's text, byte for byte the plug-in's ("\n\r" line ends, tabs).
export function imageInfoText(decodeTimeSeconds, ratio, imageWidth, imageHeight, state) {
  return call((w) => {
    storeState(w, state);
    return cString(w, w.kdz_image_info(decodeTimeSeconds, ratio, imageWidth, imageHeight, w.viewPtr));
  });
}

// The plug-in's compression ratio for a file of fileSize bytes and its picture size.
export function compressionRatio(fileSize, imageWidth, imageHeight) {
  return call((w) => w.kdz_compression_ratio(fileSize, imageWidth, imageHeight));
}

// Bytes of the module's heap in use, the most in use since the last call with
// resetPeak, and the size of its memory (which never shrinks): for tests of leaks and
// limits, and for pages that want to know what the decoder holds.
export function memoryStats({ resetPeak = false } = {}) {
  return call((w) => {
    const stats = {
      heapInUse: w.kdz_heap_in_use() >>> 0,
      heapPeak: w.kdz_heap_peak() >>> 0,
      memoryBytes: w.memory.buffer.byteLength,
    };
    if (resetPeak) w.kdz_heap_reset_peak();
    return stats;
  });
}

// ---------------------------------------------------------------------------------
// Decoding off the main thread

async function startWorker(url) {
  if (typeof Worker === 'function') {
    const worker = new Worker(url, { type: 'module' });
    return {
      post: (m, t) => worker.postMessage(m, t),
      onMessage: (f) => { worker.onmessage = (e) => f(e.data); },
      onError: (f) => { worker.onerror = (e) => { e.preventDefault?.(); f(new Error(e.message || 'worker failed')); }; },
      busy: () => {},
      idle: () => {},
      terminate: () => worker.terminate(),
    };
  }
  const { Worker: NodeWorker } = await import('node:worker_threads');
  const worker = new NodeWorker(url);
  return {
    post: (m, t) => worker.postMessage(m, t),
    onMessage: (f) => worker.on('message', f),
    onError: (f) => worker.on('error', f),
    // An idle worker does not keep Node running.
    busy: () => worker.ref(),
    idle: () => worker.unref(),
    terminate: () => worker.terminate(),
  };
}

// Decodes several pictures at once, each in a worker (kdz-worker.mjs). Workers start
// as decodes arrive, up to `size`; each compiles nothing, being handed the module
// compiled once here. Results are those of decode(), their pixel buffers transferred.
export class DecoderPool {
  #size;
  #workerUrl;
  #wasmSource;
  #module = null;
  #queue = [];
  #idle = [];
  #workers = new Set();
  #count = 0;
  #closed = false;

  constructor({ size, workerUrl, wasmUrl } = {}) {
    const cores = globalThis.navigator?.hardwareConcurrency || 2;
    this.#size = Math.max(1, Math.floor(size ?? Math.min(4, cores)));
    this.#workerUrl = workerUrl ?? new URL('./kdz-worker.mjs', import.meta.url);
    this.#wasmSource = wasmUrl;
  }

  get size() { return this.#size; }

  decode(bytes, options = {}) {
    if (this.#closed) return Promise.reject(new Error('kdz: the decoder pool is terminated'));
    let copy;
    try {
      // A copy, so that transferring it leaves the caller's buffer alone (a Node
      // Buffer's slice() would share it).
      const view = asBytes(bytes);
      copy = new Uint8Array(view.length);
      copy.set(view);
    } catch (e) {
      return Promise.reject(e);
    }
    return new Promise((resolve, reject) => {
      this.#queue.push({ bytes: copy, options: { ...options }, resolve, reject });
      this.#pump();
    });
  }

  terminate() {
    this.#closed = true;
    const stopped = new Error('kdz: the decoder pool is terminated');
    for (const job of this.#queue.splice(0)) job.reject(stopped);
    for (const w of this.#workers) {
      if (w.current !== null) w.current.reject(stopped);
      w.current = null;
      w.terminate();
    }
    this.#workers.clear();
    this.#idle = [];
    this.#count = 0;
  }

  #compiled() {
    if (this.#module === null) {
      this.#module = this.#wasmSource === undefined && wasmModule !== null
        ? Promise.resolve(wasmModule) : compile(this.#wasmSource);
      this.#module.catch(() => { this.#module = null; });
    }
    return this.#module;
  }

  #pump() {
    while (this.#queue.length > 0 && this.#idle.length > 0) this.#run(this.#idle.pop(), this.#queue.shift());
    if (this.#queue.length > 0 && this.#count < this.#size) {
      this.#count += 1;
      this.#spawn().then((w) => {
        if (this.#closed) {
          w.terminate();
          return;
        }
        this.#workers.add(w);
        this.#idle.push(w);
        this.#pump();
      }, (e) => {
        this.#count -= 1;
        for (const job of this.#queue.splice(0)) job.reject(e);
      });
    }
  }

  async #spawn() {
    const module = await this.#compiled();
    const w = await startWorker(this.#workerUrl);
    w.current = null;
    w.onMessage((m) => {
      const job = w.current;
      w.current = null;
      if (this.#closed) return;
      w.idle();
      this.#idle.push(w);
      if (job !== null) {
        if (m.error) job.reject(m.error.code === null ? new Error(m.error.message) : new KdzError(m.error.code, m.error.message));
        else job.resolve(m.result);
      }
      if (!this.#closed) this.#pump();
    });
    w.onError((e) => {
      // A worker that fails is replaced; its decode fails with the worker's error.
      if (this.#closed) return;
      const job = w.current;
      w.current = null;
      w.terminate();
      this.#workers.delete(w);
      this.#count -= 1;
      const at = this.#idle.indexOf(w);
      if (at >= 0) this.#idle.splice(at, 1);
      if (job !== null) job.reject(e);
      if (!this.#closed) this.#pump();
    });
    w.post({ type: 'init', module });
    w.idle();
    return w;
  }

  #run(w, job) {
    w.current = job;
    w.busy();
    w.post({ type: 'decode', bytes: job.bytes.buffer, options: job.options }, [job.bytes.buffer]);
  }
}
