// Writes OUT/web/ (a page of the plug-in's day with the page script, the samples and
// one broken file) and screenshots of it in headless Chromium: OUT/web.png, OUT/web-menu.png
// (the right-click menu) and OUT/web-info.png (the information box).
// Usage: node web/demo/make-demo.mjs OUT
import { cpSync, mkdirSync, rmSync, writeFileSync } from 'node:fs';
import { dirname, join, resolve } from 'node:path';
import { fileURLToPath } from 'node:url';
import { launch } from '../browser-test/browsers.mjs';
import { startServer } from '../browser-test/server.mjs';

const here = dirname(fileURLToPath(import.meta.url));
const out = resolve(process.argv[2] ?? 'out/demo');
const site = join(out, 'web');
const dist = join(here, '..', 'dist');
const samples = join(here, '..', '..', 'samples');

rmSync(site, { recursive: true, force: true });
mkdirSync(join(site, 'kdz'), { recursive: true });
mkdirSync(join(site, 'pictures'), { recursive: true });
for (const file of ['index.html', 'demo.css', 'insert.js']) cpSync(join(here, file), join(site, file));
for (const file of ['kdz-polyfill.js', 'kdz-image.mjs', 'kdz.mjs', 'kdz-worker.mjs', 'kdz.wasm', 'kdz-simd.wasm']) {
  cpSync(join(dist, file), join(site, 'kdz', file));
}
for (const name of ['astronaut', 'camera', 'chelsea', 'coffee', 'color']) {
  cpSync(join(samples, `${name}.kdz`), join(site, 'pictures', `${name}.kdz`));
}
writeFileSync(join(site, 'pictures', 'broken.kdz'), 'QEM2.3aZ but nothing after the signature');

const server = await startServer({ mounts: { '/': site } });
const browser = await launch('chromium', { viewport: { width: 1100, height: 760 } });
try {
  const page = await browser.context.newPage();
  await page.goto(`${server.url}/index.html`);
  await page.waitForFunction(() => {
    const views = [...document.querySelectorAll('kdz-image')];
    return views.length === 6 && views.every((v) => v.complete);
  }, null, { timeout: 30000 });
  await page.screenshot({ path: join(out, 'web.png') });

  const box = await page.evaluate(() => {
    const r = document.querySelector('kdz-image[title="Astronaut"]').getBoundingClientRect();
    return { x: r.left, y: r.top };
  });
  await page.mouse.click(box.x + 60, box.y + 50, { button: 'right' });
  await page.screenshot({ path: join(out, 'web-menu.png') });
  await page.evaluate(() => document.querySelector('kdz-image[title="Astronaut"]').shadowRoot
    .querySelector('[role=menuitem]').click());
  await page.screenshot({ path: join(out, 'web-info.png') });
  console.log(`demo: ${site}/index.html; screenshots ${join(out, 'web.png')}, web-menu.png, web-info.png`);
} finally {
  await browser.close();
  await server.close();
}
