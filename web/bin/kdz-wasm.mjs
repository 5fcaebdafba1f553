#!/usr/bin/env node
// kdz-wasm: the kdz tool's decode command on the WebAssembly module, for machines
// where only Node is at hand. The BMP it writes is byte for byte the one `kdz decode`
// writes: the decoded bitmap as the viewer holds it, rows bottom-up, padded to 4 bytes.
//
//   node web/bin/kdz-wasm.mjs decode [--24bit|--8bit] [--max-pixels N] IN.kdz OUT.bmp
//
// KDZ_WASM=FILE.wasm picks a build of the module; by default the one that suits the
// engine (with SIMD where it has it).
//
// Exit status: 0 on success; 1 when a file cannot be read, decoded or written, with
// one line "kdz: FILE: reason" on stderr; 2 on a usage error.
import { readFile, open, rename, rm } from 'node:fs/promises';
import { resolve } from 'node:path';
import { pathToFileURL } from 'node:url';

const USAGE = 'usage: kdz-wasm decode [--24bit|--8bit] [--max-pixels N] IN.kdz OUT.bmp\n' +
    '       kdz-wasm --help\n';
const HELP = '\n' +
    'Decodes IN with the WebAssembly build of the decoder and writes the picture to the\n' +
    'BMP file OUT, exactly as `kdz decode` does.\n' +
    '      --24bit      the full-colour picture (the default)\n' +
    '      --8bit       the picture reduced to at most 256 colours, as the viewer shows it\n' +
    '      --max-pixels N\n' +
    '                   refuse pictures of more than N pixels (default 8192 x 8192)\n' +
    '\n' +
    'Exit status: 0 on success; 1 when a file cannot be read, decoded or written,\n' +
    'with one line "kdz: FILE: reason" on stderr; 2 on a usage error.\n';

const EXIT_FAILURE = 1;
const EXIT_USAGE = 2;
// The kdz tool's limits: its default pixel limit, and the largest input it reads.
const CLI_MAX_PIXELS = 8192 * 8192;
const MAX_INPUT_BYTES = 64 * 1024 * 1024;

class UsageError extends Error {}

class Failure extends Error {
  constructor(file, reason) {
    super(reason);
    this.file = file;
  }
}

// The C library's words for the errors a file operation meets, so that the messages
// read as the kdz tool's do.
const ERRNO_TEXT = {
  ENOENT: 'No such file or directory', EACCES: 'Permission denied', EISDIR: 'Is a directory',
  ENOTDIR: 'Not a directory', EROFS: 'Read-only file system', ENOSPC: 'No space left on device',
  EMFILE: 'Too many open files', ELOOP: 'Too many levels of symbolic links',
  ENAMETOOLONG: 'File name too long', EIO: 'Input/output error', EPERM: 'Operation not permitted',
};
function errnoText(e) { return ERRNO_TEXT[e.code] ?? e.message; }

// Options (leading "-", up to a lone "--") and operands; "--max-pixels N" becomes
// "--max-pixels=N".
function splitArgs(argv) {
  const options = [];
  const operands = [];
  let ended = false;
  for (let i = 0; i < argv.length; ++i) {
    let s = argv[i];
    if (!ended && s === '--') {
      ended = true;
    } else if (!ended && s.length > 1 && s[0] === '-') {
      if (s === '--max-pixels' && i + 1 < argv.length) s += `=${argv[++i]}`;
      options.push(s);
    } else {
      operands.push(s);
    }
  }
  return { options, operands };
}

function parseCount(text) {
  if (!/^[0-9]{1,20}$/.test(text)) return null;
  const v = BigInt(text);
  return v > 0n && v < 2n ** 64n ? v : null;
}

function parseDecodeArgs(argv) {
  const { options, operands } = splitArgs(argv);
  let depth = 0;
  let maxPixels = CLI_MAX_PIXELS;
  for (const o of options) {
    if (o === '--24bit' || o === '--8bit') {
      const d = o === '--8bit' ? 8 : 24;
      if (depth !== 0 && depth !== d) throw new UsageError('decode: --24bit and --8bit exclude each other');
      depth = d;
    } else if (o === '--max-pixels' || o.startsWith('--max-pixels=')) {
      const v = parseCount(o.slice('--max-pixels='.length));
      if (v === null) throw new UsageError('decode: --max-pixels needs a positive whole number');
      // Beyond 2^53 every picture is within the limit anyway.
      maxPixels = v > 2n ** 53n ? 2 ** 53 : Number(v);
    } else {
      throw new UsageError(`decode: unknown option ${o}`);
    }
  }
  if (operands.length !== 2) throw new UsageError('decode takes IN.kdz and OUT');
  const [input, output] = operands;
  const dot = output.lastIndexOf('.');
  if (dot < 0 || output.indexOf('/', dot) >= 0 || output.slice(dot + 1).toLowerCase() !== 'bmp') {
    throw new UsageError(`decode: ${output}: output must end in .bmp`);
  }
  return { eightBit: depth === 8, maxPixels, input, output };
}

async function readInput(path) {
  let bytes;
  try {
    bytes = await readFile(path);
  } catch (e) {
    throw new Failure(path, errnoText(e));
  }
  if (bytes.length > MAX_INPUT_BYTES) throw new Failure(path, `file is larger than ${MAX_INPUT_BYTES} bytes`);
  return bytes;
}

// The BMP file of a bitmap block: the 14-byte file header, the information header
// with the size of the padded rows, the colour table in 8-bit mode, the rows.
function bmpFile(bitmap) {
  const indexed = bitmap.bitsPerPixel === 8;
  const stride = (bitmap.width * (bitmap.bitsPerPixel / 8) + 3) & ~3;
  const rowBytes = stride * bitmap.height;
  const offBits = 14 + 40 + (indexed ? 1024 : 0);
  const out = new Uint8Array(offBits + rowBytes);
  const view = new DataView(out.buffer);
  out[0] = 0x42;
  out[1] = 0x4d;
  view.setUint32(2, offBits + rowBytes, true);
  view.setUint32(10, offBits, true);
  out.set(bitmap.block.subarray(0, 40), 14);
  // The decoder's header states width x height x 3 in both depths; a file states the
  // bytes of its own rows.
  view.setUint32(14 + 20, rowBytes, true);
  if (indexed) out.set(bitmap.block.subarray(40, 1064), 54);
  out.set(bitmap.block.subarray(1064, 1064 + rowBytes), offBits);
  return out;
}

// Written under OUT.tmp and renamed, so that no half-written OUT is ever left.
async function writeOutput(path, bytes) {
  const tmp = `${path}.tmp`;
  try {
    const file = await open(tmp, 'w');
    try {
      await file.writeFile(bytes);
    } finally {
      await file.close();
    }
    await rename(tmp, path);
  } catch (e) {
    await rm(tmp, { force: true }).catch(() => {});
    throw new Failure(path, errnoText(e));
  }
}

async function runDecode(argv) {
  const args = parseDecodeArgs(argv);
  const bytes = await readInput(args.input);
  const kdz = await import('../dist/kdz.mjs');
  await kdz.init(process.env.KDZ_WASM ? pathToFileURL(resolve(process.env.KDZ_WASM)) : undefined);
  let bitmap;
  try {
    bitmap = kdz.decodeBitmap(bytes, { palette: args.eightBit, maxPixels: args.maxPixels });
  } catch (e) {
    if (e instanceof kdz.KdzError) throw new Failure(args.input, e.message);
    throw e;
  }
  await writeOutput(args.output, bmpFile(bitmap));
}

async function main(argv) {
  for (const a of argv) {
    if (a === '--') break;
    if (a === '--help' || a === '-h') {
      process.stdout.write(USAGE + HELP);
      return 0;
    }
  }
  try {
    if (argv.length === 0) throw new UsageError('no command given');
    if (argv[0] !== 'decode') throw new UsageError(`unknown command '${argv[0]}'`);
    await runDecode(argv.slice(1));
    return 0;
  } catch (e) {
    if (e instanceof UsageError) {
      process.stderr.write(`kdz: ${e.message}\n${USAGE}`);
      return EXIT_USAGE;
    }
    if (e instanceof Failure) {
      // One line: breaks inside a reason would split it.
      process.stderr.write(`kdz: ${e.file}: ${e.message.replace(/[\r\n]/g, ' ')}\n`);
      return EXIT_FAILURE;
    }
    throw e;
  }
}

process.exitCode = await main(process.argv.slice(2));
