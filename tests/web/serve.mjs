// A static file server on 127.0.0.1 for the browser tests and the benchmark:
// the folders given, each under its URL prefix, with the types a browser
// needs for modules and WebAssembly. Nothing outside the folders is served.
import { createServer } from 'node:http';
import { readFile } from 'node:fs/promises';
import { extname, join, normalize, sep } from 'node:path';

const TYPES = { '.html': 'text/html; charset=utf-8', '.js': 'text/javascript', '.mjs': 'text/javascript',
  '.css': 'text/css', '.wasm': 'application/wasm', '.json': 'application/json', '.map': 'application/json' };

// mounts: { '/': '/path/to/site', '/node_modules/': '/path/to/node_modules' }. Resolves to the server
// and its origin once it listens on a free port.
export function serve(mounts) {
  const prefixes = Object.keys(mounts).sort((a, b) => b.length - a.length);
  const server = createServer(async (request, response) => {
    const path = decodeURIComponent(new URL(request.url, 'http://x').pathname);
    const prefix = prefixes.find((p) => path.startsWith(p));
    const root = mounts[prefix];
    const file = normalize(join(root, path.slice(prefix.length) || 'index.html'));
    if (!file.startsWith(normalize(root + sep)) && file !== normalize(root)) {
      response.writeHead(403).end();
      return;
    }
    try {
      const body = await readFile(file.endsWith(sep) ? join(file, 'index.html') : file);
      response.writeHead(200, { 'Content-Type': TYPES[extname(file)] ?? 'application/octet-stream',
        'Cache-Control': 'no-store' });
      response.end(body);
    } catch {
      response.writeHead(404).end();
    }
  });
  return new Promise((resolve) => {
    server.listen(0, '127.0.0.1', () => resolve({ server, origin: `http://127.0.0.1:${server.address().port}` }));
  });
}
