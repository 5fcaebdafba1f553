// <kdz-image>: one KDZ picture in a page, with the plug-in's behaviour. The geometry
// (automatic scale, stretch, shrink, zoom, pan) and the information text come from the
// WebAssembly module, the same functions the plug-in paints by; decodes run in the
// module's worker pool, never on the page's main thread. Each element keeps its own
// view state: zoom and pan act on one picture at a time (the plug-in shared one state
// among all its windows).
import * as kdz from './kdz.mjs';

const moduleBase = new URL('./', import.meta.url);

// What the plug-in said when a file left it nothing to show.
const MESSAGES = Object.freeze({
  decodeFailed: 'File not found or format incorrect, Error in decoding image',
  quantFailed: 'Color quant 2 encountered an error!',
  noMemory: "Couldn't Allocate Image Buffer",
  emptyFile: "Can't allocate file buffers size of 0!",
});

const ZOOM_KEYS = new Set(['+', '=', 'Add']);
const REDUCE_KEYS = new Set(['-', '_', 'Subtract']);
const PAN_STEP = 16;  // box pixels per arrow key press

// One pool and one module instance per document; created on first use.
let ready = null;
let pool = null;
function moduleReady() {
  if (ready === null) {
    // The module picks its own build (with SIMD where the engine has it) next to itself.
    ready = kdz.init().then(() => {
      // The pool hands the workers the module compiled here; they fetch nothing.
      pool = new kdz.DecoderPool({ workerUrl: workerUrlFor(new URL('kdz-worker.mjs', moduleBase)) });
    });
  }
  return ready;
}

// A worker must come from the page's origin. When the module is served from elsewhere
// (a CDN, the extension's files) a one-line module of the page's origin imports it.
function workerUrlFor(url) {
  if (url.origin === location.origin) return url.href;
  const source = `import ${JSON.stringify(url.href)};\n`;
  return URL.createObjectURL(new Blob([source], { type: 'text/javascript' }));
}

// Loads start a few at a time, each in a task of its own, so that a page of many
// pictures never spends one long task starting them all.
const LOADS_AT_ONCE = 6;
let loadsRunning = 0;
const loadsWaiting = [];
function loadSlot() {
  return new Promise((resolve) => {
    loadsWaiting.push(resolve);
    grantLoadSlots();
  });
}
function grantLoadSlots() {
  while (loadsRunning < LOADS_AT_ONCE && loadsWaiting.length > 0) {
    loadsRunning++;
    setTimeout(loadsWaiting.shift(), 0);
  }
}
function releaseLoadSlot() {
  loadsRunning--;
  grantLoadSlots();
}

// A file's bytes are fetched once however many elements show it.
const fileCache = new Map();
function fetchBytes(url) {
  let bytes = fileCache.get(url);
  if (bytes === undefined) {
    bytes = url.startsWith('data:') ? Promise.resolve().then(() => dataUrlBytes(url)) : fetchUrl(url);
    fileCache.set(url, bytes);
    bytes.catch(() => fileCache.delete(url));  // a failed fetch may be retried later
  }
  return bytes;
}

async function fetchUrl(url) {
  const response = await fetch(url, { credentials: 'same-origin' });
  if (!response.ok) throw new Error(`${url}: HTTP ${response.status}`);
  return new Uint8Array(await response.arrayBuffer());
}

// data: URLs are read here, not fetched, so a page's connect-src does not refuse them.
function dataUrlBytes(url) {
  const comma = url.indexOf(',');
  if (comma < 0) throw new Error('malformed data URL');
  const meta = url.slice(5, comma);
  const body = url.slice(comma + 1);
  if (/;base64$/i.test(meta)) {
    const text = atob(decodeURIComponent(body));
    const bytes = new Uint8Array(text.length);
    for (let i = 0; i < text.length; i++) bytes[i] = text.charCodeAt(i);
    return bytes;
  }
  return new TextEncoder().encode(decodeURIComponent(body));
}

function messageFor(error, fileSize) {
  if (fileSize === 0) return MESSAGES.emptyFile;
  if (error && error.codeName === 'kQuantFailed') return MESSAGES.quantFailed;
  if (error instanceof RangeError || (error && error.codeName === 'kOutOfMemory')) return MESSAGES.noMemory;
  return MESSAGES.decodeFailed;
}

// A width or height attribute as CSS: "400" is pixels, "50%" stays a percentage.
function cssLength(value) {
  if (value == null) return null;
  const text = String(value).trim();
  if (/^\d+(\.\d+)?$/.test(text)) return `${text}px`;
  if (/^\d+(\.\d+)?%$/.test(text)) return text;
  if (/^\d+(\.\d+)?px$/i.test(text)) return text.toLowerCase();
  return null;
}

function fileName(src) {
  try {
    const path = new URL(src, document.baseURI).pathname;
    return decodeURIComponent(path.slice(path.lastIndexOf('/') + 1)) || src;
  } catch {
    return src;
  }
}

const sheet = new CSSStyleSheet();
sheet.replaceSync(`
:host { display: inline-block; position: relative; overflow: hidden; width: 300px; height: 150px;
        vertical-align: baseline; contain: content; }
:host([hidden]) { display: none; }
:host(:focus-visible) { outline: 2px solid Highlight; outline-offset: -2px; }
canvas { position: absolute; left: 0; top: 0; width: 100%; height: 100%; image-rendering: pixelated; }
.message { position: absolute; inset: 0; margin: 0; padding: 4px; overflow: hidden;
           font: 12px/1.3 system-ui, sans-serif; color: CanvasText; white-space: pre-wrap; }
.menu { position: fixed; inset: auto; margin: 0; padding: 2px; min-width: 9em;
        background: #c0c0c0; color: #000; border: 2px outset #fff;
        font: 12px/1.2 system-ui, sans-serif; box-shadow: 2px 2px 0 rgb(0 0 0 / .4); }
.menu button { display: block; width: 100%; padding: 3px 18px; border: 0; background: none;
               color: inherit; font: inherit; text-align: left; white-space: pre; }
.menu button:hover, .menu button:focus { background: #000080; color: #fff; outline: none; }
.info { position: fixed; inset: auto; margin: 0; padding: 0; background: #c0c0c0; color: #000;
        border: 2px outset #fff; font: 12px/1.4 system-ui, sans-serif; min-width: 16em;
        box-shadow: 2px 2px 0 rgb(0 0 0 / .4); }
.info .caption { margin: 0; padding: 2px 6px; background: #000080; color: #fff; font: bold 12px system-ui, sans-serif; }
.info pre { margin: 12px 16px; font: inherit; tab-size: 8; white-space: pre; }
.info .buttons { text-align: center; margin: 0 0 10px; }
.info button { min-width: 6em; font: inherit; }
`);

let nextId = 1;

export class KdzImage extends HTMLElement {
  static observedAttributes = ['src', 'width', 'height', 'palette', 'alt', 'title', 'natural-size'];

  #root;
  #canvas;
  #message;
  #menu;
  #info;
  #boxSheet = new CSSStyleSheet();
  #state = null;
  #picture = null;    // { bitmap, width, height, fileSize, compressionRatio, decodeSeconds }
  #status = 'empty';  // empty | loading | loaded | error
  #load = 0;          // counts loads, so a stale one cannot finish after a newer one
  #box = { width: 0, height: 0 };
  #drawn = false;
  #resizeObserver = null;
  #infoText = null;
  #returnFocus = null;

  constructor() {
    super();
    this.#root = this.attachShadow({ mode: 'open' });
    this.#root.adoptedStyleSheets = [sheet, this.#boxSheet];
    this.#canvas = document.createElement('canvas');
    this.#canvas.setAttribute('aria-hidden', 'true');
    this.#message = document.createElement('p');
    this.#message.className = 'message';
    this.#message.hidden = true;
    this.#root.append(this.#canvas, this.#message);
    this.addEventListener('mousedown', (e) => this.#onMouseDown(e));
    this.addEventListener('contextmenu', (e) => this.#onContextMenu(e));
    this.addEventListener('keydown', (e) => this.#onKeyDown(e));
  }

  connectedCallback() {
    if (!this.hasAttribute('tabindex')) this.tabIndex = 0;
    if (!this.hasAttribute('role')) this.setAttribute('role', 'img');
    this.#updateName();
    this.#updateBoxSize();
    if (this.#resizeObserver === null) {
      this.#resizeObserver = new ResizeObserver((entries) => this.#measure(entries[entries.length - 1]));
    }
    // Observing the device-pixel box reports changes of the device-pixel ratio too
    // (page zoom, another screen).
    try {
      this.#resizeObserver.observe(this, { box: 'device-pixel-content-box' });
    } catch {
      this.#resizeObserver.observe(this);
    }
    if (this.#status === 'empty') this.#startLoad();
  }

  disconnectedCallback() {
    this.#resizeObserver?.disconnect();
    this.#closeMenu(false);
    this.#closeInfo(false);
  }

  attributeChangedCallback(name, oldValue, newValue) {
    if (oldValue === newValue) return;
    if (name === 'width' || name === 'height' || name === 'natural-size') this.#updateBoxSize();
    else if (name === 'alt' || name === 'title') this.#updateName();
    else if ((name === 'src' || name === 'palette') && this.isConnected) {
      this.#startLoad();
      this.#updateName();
    }
  }

  get src() { return this.getAttribute('src') ?? ''; }
  set src(value) { this.setAttribute('src', value); }
  get width() { return Number.parseInt(this.getAttribute('width') ?? '', 10) || 0; }
  set width(value) { this.setAttribute('width', String(value)); }
  get height() { return Number.parseInt(this.getAttribute('height') ?? '', 10) || 0; }
  set height(value) { this.setAttribute('height', String(value)); }
  get palette() { return this.hasAttribute('palette'); }
  set palette(on) { this.toggleAttribute('palette', Boolean(on)); }
  get complete() { return this.#status === 'loaded' || this.#status === 'error'; }
  get naturalWidth() { return this.#picture ? this.#picture.width : 0; }
  get naturalHeight() { return this.#picture ? this.#picture.height : 0; }
  // A copy of this element's view state (the plug-in's ViewState fields).
  get viewState() { return this.#state ? structuredClone(this.#state) : null; }
  // The text the information box shows, byte for byte the plug-in's; null until shown.
  get infoText() { return this.#infoText; }

  enlarge() { if (this.#picture) { kdz.enlarge(this.#state); this.#paint(); } }
  reduce() { if (this.#picture) { kdz.reduce(this.#state); this.#paint(); } }
  resetView() { if (this.#picture) { this.#state = kdz.createViewState(); this.#paint(); } }

  // The information box; "Image not finished loading" while there is no picture.
  showImageInfo() {
    this.#closeMenu(false);
    let text = kdz.NOT_LOADED_TEXT ?? 'Image not finished loading';
    if (this.#picture) {
      const p = this.#picture;
      text = kdz.imageInfoText(p.decodeSeconds, p.compressionRatio, p.width, p.height, this.#state);
    }
    this.#infoText = text;
    this.#openInfo(text);
  }

  // ---- loading

  async #startLoad() {
    const load = ++this.#load;
    const src = this.getAttribute('src');
    this.#picture?.bitmap.close();
    this.#picture = null;
    this.#state = null;
    this.#infoText = null;
    this.#clearCanvas();
    this.#message.hidden = true;
    if (!src) {
      this.#status = 'empty';
      return;
    }
    this.#status = 'loading';
    let fileSize = -1;
    await loadSlot();
    try {
      if (load !== this.#load) return;
      const url = new URL(src, document.baseURI).href;
      const [bytes] = await Promise.all([fetchBytes(url), moduleReady()]);
      if (load !== this.#load) return;
      fileSize = bytes.length;
      if (fileSize === 0) throw new Error('empty file');
      const start = performance.now();
      const result = await pool.decode(bytes.slice(), { palette: this.palette });
      const imageData = new ImageData(result.rgba, result.width, result.height);
      const bitmap = await createImageBitmap(imageData);
      // The decode's own time in the worker where the module reports it, so that time
      // spent waiting for a free worker does not count; else the span seen here.
      const decodeSeconds = (Number.isFinite(result.decodeMs) ? result.decodeMs : performance.now() - start) / 1000;
      if (load !== this.#load) { bitmap.close(); return; }
      this.#picture = {
        bitmap, width: result.width, height: result.height, fileSize,
        compressionRatio: result.compressionRatio ?? kdz.compressionRatio(fileSize, result.width, result.height),
        decodeSeconds,
      };
      this.#state = kdz.createViewState();
      this.#status = 'loaded';
      this.#updateBoxSize();
      this.#paint();
      this.dispatchEvent(new Event('load'));
    } catch (error) {
      if (load !== this.#load) return;
      this.#fail(messageFor(error, fileSize), error);
    } finally {
      releaseLoadSlot();
    }
  }

  #fail(text, cause) {
    this.#status = 'error';
    this.#clearCanvas();
    this.#message.textContent = text;
    this.#message.hidden = false;
    this.setAttribute('aria-label', `${this.#accessibleName()}: ${text}`);
    this.dispatchEvent(Object.assign(new Event('error'), { message: text, cause }));
  }

  // ---- box and painting

  #updateBoxSize() {
    let width = cssLength(this.getAttribute('width'));
    let height = cssLength(this.getAttribute('height'));
    const p = this.#picture;
    if (this.hasAttribute('natural-size') && p) {
      // Like an <img>: without a size the picture's own; with one, its aspect kept.
      const w = parseFloat(width), h = parseFloat(height);
      if (!width && !height) { width = `${p.width}px`; height = `${p.height}px`; }
      else if (!height && width.endsWith('px')) height = `${Math.round(w * p.height / p.width)}px`;
      else if (!width && height.endsWith('px')) width = `${Math.round(h * p.width / p.height)}px`;
    }
    const rules = [];
    if (width) rules.push(`width: ${width};`);
    if (height) rules.push(`height: ${height};`);
    this.#boxSheet.replaceSync(`:host { ${rules.join(' ')} }`);
  }

  // The box in CSS pixels (the plug-in's window) and the canvas backing in device
  // pixels, from the resize observer, which reads no layout of its own.
  #measure(entry) {
    const css = entry.contentBoxSize?.[0];
    const width = Math.round(css ? css.inlineSize : entry.contentRect.width);
    const height = Math.round(css ? css.blockSize : entry.contentRect.height);
    const dpr = window.devicePixelRatio || 1;
    const backingWidth = Math.round(width * dpr), backingHeight = Math.round(height * dpr);
    this.#box = { width, height, backingWidth, backingHeight };
    this.#paint();
  }

  #clearCanvas() {
    if (this.#canvas.width > 0 && this.#drawn) {
      this.#canvas.getContext('2d').clearRect(0, 0, this.#canvas.width, this.#canvas.height);
      this.#drawn = false;
    }
  }

  // One paint as the plug-in does it: the module plans it (and updates the state), the
  // canvas draws it with nearest-neighbour scaling. The backing store has the box's
  // size times the device-pixel ratio, so 1:1 pictures stay 1:1 and zoomed ones sharp.
  #paint() {
    const p = this.#picture;
    if (!p || this.#box.backingWidth === undefined) return;
    const { width, height, backingWidth, backingHeight } = this.#box;
    if (this.#canvas.width !== backingWidth) this.#canvas.width = backingWidth;
    if (this.#canvas.height !== backingHeight) this.#canvas.height = backingHeight;
    const plan = kdz.planPaint(this.#state, width, height, p.width, p.height);
    const ctx = this.#canvas.getContext('2d');
    ctx.clearRect(0, 0, backingWidth, backingHeight);
    if (!plan.draw) return;
    const sx = width > 0 ? backingWidth / width : 1, sy = height > 0 ? backingHeight / height : 1;
    ctx.imageSmoothingEnabled = false;
    ctx.drawImage(p.bitmap, 0, 0, plan.srcWidth, plan.srcHeight,
                  plan.originX * sx, plan.originY * sy, plan.destWidth * sx, plan.destHeight * sy);
    this.#drawn = true;
  }

  // ---- mouse and keyboard

  #boxPoint(event) {
    const rect = this.getBoundingClientRect();
    return { x: Math.trunc(event.clientX - rect.left - this.clientLeft),
             y: Math.trunc(event.clientY - rect.top - this.clientTop) };
  }

  #onMouseDown(event) {
    if (event.button !== 0 || !this.#picture) return;
    const { x, y } = this.#boxPoint(event);
    this.#panTo(x, y);
  }

  #panTo(x, y) {
    const p = this.#picture;
    kdz.pan(this.#state, this.#box.width, this.#box.height, p.width, p.height, Math.max(0, x), Math.max(0, y));
    this.#paint();
  }

  #onContextMenu(event) {
    // Without a picture the page's own menu appears, as the plug-in's window did.
    if (!this.#picture) return;
    event.preventDefault();
    if (this.#menu && this.#menu.matches(':popover-open')) return;
    const rect = this.getBoundingClientRect();
    const keyboard = event.button !== 2 && event.clientX === 0 && event.clientY === 0;
    this.#openMenu(keyboard ? rect.left : event.clientX, keyboard ? rect.top : event.clientY, keyboard);
  }

  #onKeyDown(event) {
    // Keys pressed in the menu or the box (retargeted to this element) are theirs.
    if (event.composedPath()[0] !== this || event.altKey || event.ctrlKey || event.metaKey) return;
    const key = event.key;
    if (key === 'ContextMenu' || (key === 'F10' && event.shiftKey)) {
      if (!this.#picture) return;
      const rect = this.getBoundingClientRect();
      this.#openMenu(rect.left, rect.top, true);
    } else if (key === 'i' || key === 'I') {
      this.showImageInfo();
    } else if (!this.#picture) {
      return;
    } else if (ZOOM_KEYS.has(key)) {
      this.enlarge();
    } else if (REDUCE_KEYS.has(key)) {
      this.reduce();
    } else if (key === '0') {
      this.resetView();
    } else if (key.startsWith('Arrow')) {
      // An arrow moves the view as a click PAN_STEP box pixels beyond the present
      // offset would, through the same pan function as the mouse.
      const s = this.#state.userScale * this.#state.autoScale;
      const dx = key === 'ArrowRight' ? PAN_STEP : key === 'ArrowLeft' ? -PAN_STEP : 0;
      const dy = key === 'ArrowDown' ? PAN_STEP : key === 'ArrowUp' ? -PAN_STEP : 0;
      this.#panTo(Math.round(this.#state.panX / s) + dx, Math.round(this.#state.panY / s) + dy);
    } else {
      return;
    }
    event.preventDefault();
  }

  // ---- the menu and the information box, HTML of the shadow root in the top layer

  #openMenu(clientX, clientY, fromKeyboard) {
    this.#closeInfo(false);
    if (!this.#menu) this.#menu = this.#buildMenu();
    this.#returnFocus = this;
    this.#menu.style.left = `${Math.round(clientX)}px`;
    this.#menu.style.top = `${Math.round(clientY)}px`;
    this.#menu.showPopover();
    document.addEventListener('pointerdown', this.#onOutsidePointer, true);
    window.addEventListener('blur', this.#onWindowBlur);
    this.#keepInViewport(this.#menu);
    const first = this.#menu.querySelector('button');
    if (fromKeyboard) first.focus(); else this.#menu.focus({ preventScroll: true });
  }

  #buildMenu() {
    const menu = document.createElement('div');
    menu.className = 'menu';
    // A manual popover: an automatic one would close at once on the release of the
    // right button that opened it. Clicks elsewhere close it (#onOutsidePointer).
    menu.popover = 'manual';
    menu.tabIndex = -1;
    menu.setAttribute('role', 'menu');
    menu.setAttribute('aria-label', this.#accessibleName());
    for (const item of kdz.MENU_ITEMS) {
      const button = document.createElement('button');
      button.type = 'button';
      button.setAttribute('role', 'menuitem');
      button.tabIndex = -1;
      button.dataset.command = String(item.id);
      button.textContent = item.text;
      button.addEventListener('click', () => this.#command(item.id));
      menu.append(button);
    }
    menu.addEventListener('keydown', (event) => {
      const items = [...menu.querySelectorAll('button')];
      const at = items.indexOf(this.#root.activeElement);
      if (event.key === 'ArrowDown' || event.key === 'ArrowUp') {
        const step = event.key === 'ArrowDown' ? 1 : -1;
        items[(at + step + items.length) % items.length].focus();
      } else if (event.key === 'Home' || event.key === 'End') {
        items[event.key === 'Home' ? 0 : items.length - 1].focus();
      } else if (event.key === 'Escape' || event.key === 'Tab') {
        this.#closeMenu(true);
      } else {
        return;
      }
      event.preventDefault();
      event.stopPropagation();
    });
    menu.addEventListener('mousedown', (event) => event.stopPropagation());
    menu.addEventListener('contextmenu', (event) => event.preventDefault());
    this.#root.append(menu);
    return menu;
  }

  #command(id) {
    this.#closeMenu(false);
    const [info, larger, smaller] = kdz.MENU_ITEMS.map((item) => item.id);
    if (id === info) this.showImageInfo();
    else if (id === larger) { this.enlarge(); this.focus({ preventScroll: true }); }
    else if (id === smaller) { this.reduce(); this.focus({ preventScroll: true }); }
  }

  #onOutsidePointer = (event) => {
    if (!event.composedPath().includes(this.#menu)) this.#closeMenu(false);
  };

  #onWindowBlur = () => this.#closeMenu(false);

  #closeMenu(restoreFocus) {
    document.removeEventListener('pointerdown', this.#onOutsidePointer, true);
    window.removeEventListener('blur', this.#onWindowBlur);
    if (this.#menu && this.#menu.matches(':popover-open')) this.#menu.hidePopover();
    if (restoreFocus) this.focus({ preventScroll: true });
  }

  #openInfo(text) {
    if (!this.#info) this.#info = this.#buildInfo();
    this.#info.querySelector('pre').textContent = text.replaceAll('\n\r', '\n');
    if (!this.#info.matches(':popover-open')) this.#info.showPopover();
    const rect = this.getBoundingClientRect();
    const box = this.#info.getBoundingClientRect();
    this.#info.style.left = `${Math.round(rect.left + (rect.width - box.width) / 2)}px`;
    this.#info.style.top = `${Math.round(rect.top + (rect.height - box.height) / 2)}px`;
    this.#keepInViewport(this.#info);
    this.#info.querySelector('button').focus();
  }

  #buildInfo() {
    const id = `kdz-info-${nextId++}`;
    const box = document.createElement('div');
    box.className = 'info';
    box.popover = 'manual';
    box.setAttribute('role', 'dialog');
    box.setAttribute('aria-labelledby', `${id}-caption`);
    box.setAttribute('aria-describedby', `${id}-text`);
    const caption = document.createElement('p');
    caption.className = 'caption';
    caption.id = `${id}-caption`;
    caption.textContent = kdz.INFO_CAPTION ?? 'Image Info';
    const text = document.createElement('pre');
    text.id = `${id}-text`;
    const buttons = document.createElement('p');
    buttons.className = 'buttons';
    const ok = document.createElement('button');
    ok.type = 'button';
    ok.textContent = 'OK';
    ok.addEventListener('click', () => this.#closeInfo(true));
    buttons.append(ok);
    box.append(caption, text, buttons);
    box.addEventListener('keydown', (event) => {
      if (event.key === 'Escape' || event.key === 'Enter') {
        event.preventDefault();
        event.stopPropagation();
        this.#closeInfo(true);
      } else if (event.key === 'Tab') {
        event.preventDefault();  // the box's one control keeps the focus, as a message box does
      }
    });
    box.addEventListener('mousedown', (event) => event.stopPropagation());
    box.addEventListener('contextmenu', (event) => event.stopPropagation());
    this.#root.append(box);
    return box;
  }

  #closeInfo(restoreFocus) {
    if (this.#info && this.#info.matches(':popover-open')) this.#info.hidePopover();
    if (restoreFocus) this.focus({ preventScroll: true });
  }

  #keepInViewport(element) {
    const box = element.getBoundingClientRect();
    const left = Math.max(0, Math.min(box.left, document.documentElement.clientWidth - box.width));
    const top = Math.max(0, Math.min(box.top, document.documentElement.clientHeight - box.height));
    element.style.left = `${Math.round(left)}px`;
    element.style.top = `${Math.round(top)}px`;
  }

  // ---- accessibility

  #accessibleName() {
    return this.getAttribute('alt') || this.getAttribute('title') || fileName(this.src);
  }

  #updateName() {
    if (this.#status === 'error') return;
    this.setAttribute('aria-label', this.#accessibleName());
  }
}

if (!customElements.get('kdz-image')) customElements.define('kdz-image', KdzImage);
