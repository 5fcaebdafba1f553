// The browser tests' and the demo's page server on 127.0.0.1: static files from a few
// folders, .wasm as application/wasm, and the pages under a strict content security
// policy (no inline script, no eval; the module may compile wasm).
import { createServer } from 'node:http';
import { readFile } from 'node:fs/promises';
import { extname, join, normalize, sep } from 'node:path';

const TYPES = {
  '.html': 'text/html; charset=utf-8', '.js': 'text/javascript', '.mjs': 'text/javascript',
  '.wasm': 'application/wasm', '.json': 'application/json', '.png': 'image/png',
  '.css': 'text/css', '.kdz': 'image/qem-kdz',
};

export const STRICT_CSP = "default-src 'self'; script-src 'self' 'wasm-unsafe-eval'; " +
  "worker-src 'self'; style-src 'self' 'unsafe-inline'; img-src 'self' data:; object-src 'none'";

// mounts: { '/dist/': '/abs/dir', ... }, longest prefix first; `lowercase` prefixes map
// file names to lower case (old servers were often case-blind). Returns { url,
// requests, close }.
export async function startServer({ mounts, lowercase = [], csp = STRICT_CSP, port = 0 }) {
  const prefixes = Object.keys(mounts).sort((a, b) => b.length - a.length);
  // path -> how many times a script fetched it (the browser's own requests for an
  // <img> or <embed> are not counted: their Sec-Fetch-Dest is not "empty")
  const requests = new Map();
  const server = createServer(async (request, response) => {
    const path = decodeURIComponent(new URL(request.url, 'http://x').pathname);
    if (request.headers['sec-fetch-dest'] === 'empty') requests.set(path, (requests.get(path) ?? 0) + 1);
    const prefix = prefixes.find((p) => path.startsWith(p));
    let file = null;
    if (prefix) {
      let rest = path.slice(prefix.length);
      if (lowercase.includes(prefix)) rest = rest.toLowerCase();
      if (rest === '' || rest.endsWith('/')) rest += 'index.html';
      const root = mounts[prefix];
      const candidate = normalize(join(root, rest));
      if (candidate.startsWith(root.endsWith(sep) ? root : root + sep)) file = candidate;
    }
    try {
      if (file === null) throw new Error('outside');
      const body = await readFile(file);
      const type = TYPES[extname(file).toLowerCase()] ?? 'application/octet-stream';
      const headers = { 'content-type': type, 'cache-control': 'no-store' };
      if (type.startsWith('text/html') && csp) headers['content-security-policy'] = csp;
      response.writeHead(200, headers);
      response.end(body);
    } catch {
      response.writeHead(404, { 'content-type': 'text/plain' });
      response.end('not found');
    }
  });
  await new Promise((resolve) => server.listen(port, '127.0.0.1', resolve));
  return { url: `http://127.0.0.1:${server.address().port}`, requests, close: () => new Promise((r) => server.close(r)) };
}
