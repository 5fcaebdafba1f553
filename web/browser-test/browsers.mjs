// Starts Debian's Chromium and Firefox ESR for the tests and the demo, headless, with a
// fresh profile each time; never a browser of the driving packages' own.
import { mkdtempSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { chromium, firefox } from 'playwright-core';

export const CHROMIUM = '/usr/bin/chromium';
export const FIREFOX = '/usr/bin/firefox-esr';
const CHROMIUM_FLAGS = ['--no-sandbox', '--disable-gpu', '--disable-background-networking',
  '--disable-component-update', '--disable-sync', '--no-first-run'];

// Resolves to { name, context, newContext(options), close }: a browser with one
// context at device-pixel ratio 1; Playwright gives each launch a fresh profile.
export async function launch(name, { viewport = { width: 1000, height: 800 } } = {}) {
  const browser = name === 'chromium'
    ? await chromium.launch({ executablePath: CHROMIUM, headless: true, args: CHROMIUM_FLAGS })
    : await firefox.launch({ channel: 'moz-firefox', executablePath: FIREFOX, headless: true,
                             env: { ...process.env, HOME: process.env.HOME || '/root' } });
  const context = await browser.newContext({ viewport, deviceScaleFactor: 1 });
  return {
    name, context,
    newContext: (options) => browser.newContext({ viewport, ...options }),
    close: () => browser.close(),
  };
}

// Chromium with an unpacked extension: a persistent context in a fresh profile, with
// extensions allowed (Playwright disables them unless told otherwise).
export async function launchChromiumWithExtension(extensionDir) {
  const profile = mkdtempSync(join(tmpdir(), 'kdz-chromium-ext-'));
  const context = await chromium.launchPersistentContext(profile, {
    executablePath: CHROMIUM, headless: true, ignoreDefaultArgs: ['--disable-extensions'],
    args: [...CHROMIUM_FLAGS, `--disable-extensions-except=${extensionDir}`, `--load-extension=${extensionDir}`],
  });
  return {
    context,
    async close() {
      await context.close().catch(() => {});
      rmSync(profile, { recursive: true, force: true });
    },
  };
}

// Firefox with an unpacked extension installed: Playwright cannot load extensions into
// Firefox, WebDriver BiDi can (puppeteer-core's browser.installExtension).
export async function launchFirefoxWithExtension(extensionDir) {
  const puppeteer = (await import('puppeteer-core')).default;
  const profile = mkdtempSync(join(tmpdir(), 'kdz-firefox-ext-'));
  const browser = await puppeteer.launch({
    browser: 'firefox', executablePath: FIREFOX, headless: true, userDataDir: profile,
    env: { ...process.env, HOME: process.env.HOME || '/root' },
  });
  await browser.installExtension(extensionDir);
  return {
    browser,
    async close() {
      await browser.close().catch(() => {});
      rmSync(profile, { recursive: true, force: true });
    },
  };
}
