// The extension, loaded unpacked, shows the KDZ pictures of a page that has no script
// tag, in the page and in its frame, in Chromium and in Firefox.
import { after, before, test } from 'node:test';
import assert from 'node:assert/strict';
import { existsSync, rmSync } from 'node:fs';
import { join } from 'node:path';
import { launchChromiumWithExtension, launchFirefoxWithExtension } from './browsers.mjs';
import { BROWSERS, distDir, makeGeneratedFiles, serve } from './common.mjs';

const extensionDir = join(distDir, 'extension');
let generated, server;
before(async () => {
  generated = makeGeneratedFiles();
  server = await serve(generated, {}, { csp: null });  // pages of the plug-in's day had none
});
after(async () => {
  await server.close();
  rmSync(generated, { recursive: true, force: true });
});

// Waits until the page and its frame show every picture; returns what they show.
async function shown(evaluate) {
  const read = () => {
    const frame = document.getElementById('frame').contentDocument;
    const views = [...document.querySelectorAll('kdz-image'), ...(frame ? frame.querySelectorAll('kdz-image') : [])];
    return {
      views: views.map((v) => `${v.id || '-'} ${v.complete ? v.naturalWidth : 'loading'}`),
      embeds: document.querySelectorAll('embed, object').length,
      mime: navigator.mimeTypes['image/qem-kdz']?.suffixes ?? null,
    };
  };
  const deadline = Date.now() + 30000;
  for (;;) {
    const result = await evaluate(read);
    if (result.views.length === 3 && !result.views.some((v) => v.endsWith('loading'))) return result;
    if (Date.now() > deadline) return result;
    await new Promise((r) => setTimeout(r, 200));
  }
}

const EXPECTED = { views: ['first 371', 'second 451', 'inframe 512'], embeds: 0, mime: 'kdz' };

for (const name of BROWSERS) {
  test(`${name}: the extension shows the pictures of a page without the script`, async (t) => {
    assert.ok(existsSync(join(extensionDir, 'manifest.json')), 'make web-extension has built the extension');
    if (name === 'chromium') {
      const browser = await launchChromiumWithExtension(extensionDir);
      try {
        const page = await browser.context.newPage();
        await page.goto(`${server.url}/plain.html`);
        assert.deepEqual(await shown((f) => page.evaluate(f)), EXPECTED);
      } finally {
        await browser.close();
      }
    } else {
      let browser;
      try {
        browser = await launchFirefoxWithExtension(extensionDir);
      } catch (error) {
        t.skip(`not run: Firefox did not take the extension (${error.message})`);
        return;
      }
      try {
        const page = await browser.browser.newPage();
        await page.goto(`${server.url}/plain.html`);
        assert.deepEqual(await shown((f) => page.evaluate(f)), EXPECTED);
      } finally {
        await browser.close();
      }
    }
  });
}
