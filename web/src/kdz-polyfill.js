// The KDZ page script: with <script src=".../kdz-polyfill.js"> in a page (or run by the
// browser extension), every <embed>, <object> and <img> that shows a KDZ picture becomes
// a <kdz-image> element in its place, now and as elements arrive later, in this
// document and in its same-origin frames. The element, the module, its worker and the
// wasm are loaded relative to this script's URL, and only once a KDZ picture is found.
// A classic script with no eval and no inline code, so a strict content security
// policy that allows the module ('wasm-unsafe-eval') lets it run.
(function () {
  'use strict';
  // Once per document: a frame's first about:blank document and the page that
  // follows it may share one window.
  var MARK = Symbol.for('kdz.polyfill');
  if (document[MARK]) return;
  document[MARK] = true;

  var MIME = 'image/qem-kdz';
  var SCRIPT_NAME = 'kdz-polyfill.js';
  var script = document.currentScript;
  var base = script && script.src ? new URL('./', script.src).href : null;
  var palette = Boolean(script && script.hasAttribute('data-palette'));
  var elementModule = null;  // the import of kdz-image.mjs, started on the first picture
  var waiting = [];          // found before the base URL is known (extension start-up)

  announcePlugin();

  // The extension runs this file in the page's world, where its own URL is unknown; the
  // extension's other content script answers with it.
  if (base === null) {
    window.addEventListener('kdz:extension-base', function onBase(event) {
      if (base !== null || typeof event.detail !== 'string') return;
      base = event.detail;
      var found = waiting;
      waiting = [];
      found.forEach(replace);
    });
    window.dispatchEvent(new CustomEvent('kdz:extension-base-request'));
  }

  // ---- reading the page's elements

  // Chromium answers any property read on an <embed> or <object> by looking for a
  // plug-in behind it, which lays the page out first: fifty embeds read one after
  // another cost fifty layouts. These elements are therefore read only through the
  // prototypes' own functions, which no plug-in lookup intercepts.
  var E = Element.prototype, N = Node.prototype;
  function getter(proto, name) { return Object.getOwnPropertyDescriptor(proto, name).get; }
  var localNameOf = getter(E, 'localName'), parentOf = getter(N, 'parentElement');
  var connectedOf = getter(N, 'isConnected'), documentOf = getter(N, 'ownerDocument');
  var nodeTypeOf = getter(N, 'nodeType'), firstChildOf = getter(E, 'firstElementChild');
  var styleOf = getter(HTMLElement.prototype, 'style');
  function attr(el, name) { return E.getAttribute.call(el, name); }
  function has(el, name) { return E.hasAttribute.call(el, name); }
  function tag(el) { return localNameOf.call(el); }
  function all(root, selector) {
    var proto = nodeTypeOf.call(root) === 1 ? E : Object.getPrototypeOf(root);
    return proto.querySelectorAll.call(root, selector);
  }

  // ---- which elements show a KDZ picture

  function isKdzUrl(url) {
    if (!url) return false;
    url = String(url).trim();
    if (/^data:/i.test(url)) return /^data:\s*image\/qem-kdz\s*[;,]/i.test(url);
    var path = url.replace(/[?#].*$/, '');
    return /\.kdz$/i.test(path);
  }

  function isKdzType(type) {
    return Boolean(type) && type.split(';')[0].trim().toLowerCase() === MIME;
  }

  function objectSource(object) {
    var data = attr(object, 'data');
    if (data) return data;
    var params = all(object, 'param');
    for (var i = 0; i < params.length; i++) {
      var name = (attr(params[i], 'name') || '').toLowerCase();
      if (name === 'src' || name === 'filename' || name === 'url') return attr(params[i], 'value');
    }
    var inner = all(object, 'embed[src]');
    return inner.length ? attr(inner[0], 'src') : null;
  }

  function sourceOf(element) {
    var name = tag(element);
    if (name === 'object') return objectSource(element);
    return name === 'embed' || name === 'img' ? attr(element, 'src') : null;
  }

  function isCandidate(element) {
    var name = tag(element);
    if (name === 'img') return isKdzUrl(attr(element, 'src'));
    if (name !== 'embed' && name !== 'object') return false;
    return isKdzType(attr(element, 'type')) || isKdzUrl(sourceOf(element));
  }

  // The element to replace for a found one: the outermost <object> around it that
  // shows a KDZ picture (its inner <embed> goes with it, shown once), else itself.
  function outermostCandidate(element) {
    var outer = element;
    for (var node = parentOf.call(element); node; node = parentOf.call(node)) {
      if (tag(node) === 'object' && isCandidate(node)) outer = node;
    }
    return outer;
  }

  // ---- the replacement

  function scan(root) {
    var type = nodeTypeOf.call(root);
    if (type !== 1 && type !== 9 && type !== 11) return;
    var list = [];
    if (type === 1 && /^(embed|object|img|iframe|frame)$/.test(tag(root))) list.push(root);
    if (type !== 1 || firstChildOf.call(root)) {
      var found = all(root, 'embed, object, img, iframe, frame');
      for (var i = 0; i < found.length; i++) list.push(found[i]);
    }
    for (var j = 0; j < list.length; j++) {
      var element = list[j];
      var name = tag(element);
      if (name === 'iframe' || name === 'frame') watchFrame(element);
      else if (isCandidate(element)) replace(outermostCandidate(element));
    }
  }

  var COPIED = ['id', 'class', 'title', 'alt', 'width', 'height', 'name', 'tabindex', 'hidden'];

  function replace(element) {
    if (!connectedOf.call(element)) return;
    if (base === null) {
      waiting.push(element);
      return;
    }
    var doc = documentOf.call(element);
    var src = sourceOf(element);
    if (!src && tag(element) === 'object' && doc.readyState === 'loading') {
      // its <param> or inner <embed> may not be parsed yet
      doc.addEventListener('DOMContentLoaded', function () { replace(element); }, { once: true });
      return;
    }
    if (elementModule === null) {
      elementModule = import(new URL('kdz-image.mjs', base).href);
      elementModule.catch(function (error) {
        console.error('KDZ: the viewer could not be loaded:', error);
      });
    }
    var view = doc.createElement('kdz-image');
    if (src) view.setAttribute('src', new URL(src, doc.baseURI).href);
    for (var i = 0; i < COPIED.length; i++) {
      if (has(element, COPIED[i])) view.setAttribute(COPIED[i], attr(element, COPIED[i]));
    }
    // style through the CSSOM, which a strict style-src allows
    var style = styleOf.call(element).cssText;
    if (style) view.style.cssText = style;
    // Sizes from the page's rules on the old element's id, class or style carry over;
    // an <img> without a size takes the picture's own, as images do.
    if (tag(element) === 'img') view.setAttribute('natural-size', '');
    if (palette || has(element, 'data-palette')) view.setAttribute('palette', '');
    E.replaceWith.call(element, view);
  }

  // ---- same-origin frames get their own copy of this script

  function watchFrame(frame) {
    if (frame.__kdzWatched) return;
    frame.__kdzWatched = true;
    frame.addEventListener('load', function () { enterFrame(frame); });
    enterFrame(frame);
  }

  function enterFrame(frame) {
    if (base === null) return;  // the extension runs in every frame by itself
    var win, doc;
    try {
      win = frame.contentWindow;
      doc = frame.contentDocument;
    } catch (e) {
      return;  // another origin
    }
    if (!win || !doc || doc[MARK] || !doc.documentElement) return;
    var child = doc.createElement('script');
    child.src = new URL(SCRIPT_NAME, base).href;
    if (palette) child.setAttribute('data-palette', '');
    (doc.head || doc.documentElement).appendChild(child);
  }

  // ---- pages that look for the plug-in find it

  function announcePlugin() {
    var nav = window.navigator;
    if (nav[MARK]) return;
    nav[MARK] = true;
    try {
      var plugins = Array.prototype.slice.call(nav.plugins || []);
      var mimeTypes = Array.prototype.slice.call(nav.mimeTypes || []);
      var plugin = { name: 'KDZ inline viewer plug-in', filename: 'npkdz.dll',
                     description: 'QEM inline KDZ viewer', version: '1.0.0.2', length: 1 };
      var mime = { type: MIME, suffixes: 'kdz', description: 'QEM, Inc. Graphic (*.kdz)', enabledPlugin: plugin };
      plugin[0] = mime;
      plugin.item = function (i) { return i === 0 ? mime : null; };
      plugin.namedItem = function (name) { return name === MIME ? mime : null; };
      plugin[MIME] = mime;
      plugins.push(plugin);
      mimeTypes.push(mime);
      var pluginList = listOf(plugins, 'name');
      pluginList.refresh = function () {};
      var mimeList = listOf(mimeTypes, 'type');
      Object.defineProperty(nav, 'plugins', { configurable: true, get: function () { return pluginList; } });
      Object.defineProperty(nav, 'mimeTypes', { configurable: true, get: function () { return mimeList; } });
    } catch (e) {
      // a navigator that refuses new properties only loses the announcement
    }
  }

  function listOf(items, key) {
    var list = { length: items.length };
    items.forEach(function (item, i) {
      list[i] = item;
      if (item[key] && !(item[key] in list)) list[item[key]] = item;
    });
    list.item = function (i) { return items[i] || null; };
    list.namedItem = function (name) {
      for (var i = 0; i < items.length; i++) if (items[i][key] === name) return items[i];
      return null;
    };
    list[Symbol.iterator] = function () { return items[Symbol.iterator](); };
    return list;
  }

  // ---- start: what is there now, then what arrives

  var observer = new MutationObserver(function (records) {
    for (var i = 0; i < records.length; i++) {
      var record = records[i];
      if (record.type === 'attributes') {
        var target = record.target;
        if (connectedOf.call(target) && isCandidate(target)) replace(outermostCandidate(target));
        continue;
      }
      var added = record.addedNodes;
      for (var j = 0; j < added.length; j++) scan(added[j]);
    }
  });
  observer.observe(document, { childList: true, subtree: true, attributes: true,
                               attributeFilter: ['src', 'data', 'type'] });
  scan(document);
})();
