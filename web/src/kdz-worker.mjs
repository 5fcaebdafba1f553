// A decode worker: a module worker in browsers, a worker_threads worker in Node.
// DecoderPool (kdz.mjs) starts it and sends
//   { type: 'init', module }                   a compiled WebAssembly.Module (or URL)
//   { type: 'decode', id, bytes, options }     bytes: an ArrayBuffer, transferred
// and gets back { id, result } with the pixel buffers transferred, or
// { id, error: { code, message } } (code null when the failure is not the library's).
import { init, decode, KdzError } from './kdz.mjs';

const port = typeof self !== 'undefined' && typeof self.postMessage === 'function'
  ? { post: (m, t) => self.postMessage(m, t), listen: (f) => { self.onmessage = (e) => f(e.data); } }
  : await (async () => {
    const { parentPort } = await import('node:worker_threads');
    return { post: (m, t) => parentPort.postMessage(m, t), listen: (f) => parentPort.on('message', f) };
  })();

let ready = null;

async function handle(message) {
  if (message.type === 'init') {
    ready = init(message.module);
    ready.catch(() => {});
    return;
  }
  const { id, bytes, options } = message;
  try {
    await ready;
    const result = await decode(new Uint8Array(bytes), options);
    const transfer = [result.rgba.buffer];
    if (result.palette) transfer.push(result.palette.buffer);
    if (result.indices) transfer.push(result.indices.buffer);
    port.post({ id, result }, transfer);
  } catch (e) {
    port.post({
      id,
      error: { code: e instanceof KdzError ? e.code : null, message: String(e && e.message || e) },
    });
  }
}

port.listen((message) => { handle(message); });
