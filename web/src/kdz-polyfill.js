// The KDZ page script: with <script src=".../kdz-polyfill.js"> in a page (or run by the
// browser extension), every <embed>, <object> and <img> that shows a KDZ picture becomes
// a <kdz-image> element in its place, now and as elements arrive later, in this
// document and in its same-origin frames. The element, the module, its worker and the
// wasm are loaded relative to this script's URL, and only once a KDZ picture is found.
// A classic script with no eval and no inline code, so a strict content security
// policy that allows the module ('wasm-unsafe-eval') lets it run.
(function () {
  'use strict';
  var MARK = Symbol.for('kdz.polyfill');
  if (window[MARK]) return;
  window[MARK] = true;

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
    var data = object.getAttribute('data');
    if (data) return data;
    var params = object.querySelectorAll('param');
    for (var i = 0; i < params.length; i++) {
      var name = (params[i].getAttribute('name') || '').toLowerCase();
      if (name === 'src' || name === 'filename' || name === 'url') return params[i].getAttribute('value');
    }
    return null;
  }

  function sourceOf(element) {
    switch (element.localName) {
      case 'embed': return element.getAttribute('src');
      case 'object': return objectSource(element);
      case 'img': return element.getAttribute('src');
    }
    return null;
  }

  function isCandidate(element) {
    if (element.localName === 'img') return isKdzUrl(element.getAttribute('src'));
    if (element.localName !== 'embed' && element.localName !== 'object') return false;
    return isKdzType(element.getAttribute('type')) || isKdzUrl(sourceOf(element));
  }

  // The element to replace for a found one: the outermost <object> around it that
  // shows a KDZ picture (its inner <embed> goes with it, shown once), else itself.
  function outermostCandidate(element) {
    var outer = element;
    for (var node = element.parentElement; node; node = node.parentElement) {
      if (node.localName === 'object' && isCandidate(node)) outer = node;
    }
    return outer;
  }

  // ---- the replacement

  function scan(root) {
    if (root.nodeType !== 1 && root.nodeType !== 9 && root.nodeType !== 11) return;
    var list = [];
    if (root.nodeType === 1 && /^(embed|object|img|iframe|frame)$/.test(root.localName)) list.push(root);
    if (root.firstElementChild || root.nodeType !== 1) {
      var found = root.querySelectorAll('embed, object, img, iframe, frame');
      for (var i = 0; i < found.length; i++) list.push(found[i]);
    }
    for (var j = 0; j < list.length; j++) {
      var element = list[j];
      if (element.localName === 'iframe' || element.localName === 'frame') watchFrame(element);
      else if (isCandidate(element)) replace(outermostCandidate(element));
    }
  }

  function replace(element) {
    if (!element.isConnected) return;
    if (base === null) {
      waiting.push(element);
      return;
    }
    if (elementModule === null) {
      elementModule = import(new URL('kdz-image.mjs', base).href);
      elementModule.catch(function (error) {
        console.error('KDZ: the viewer could not be loaded:', error);
      });
    }
    var doc = element.ownerDocument;
    var src = sourceOf(element);
    if (!src && element.localName === 'object') {
      var inner = element.querySelector('embed[src]');
      if (inner) src = inner.getAttribute('src');
      else if (doc.readyState === 'loading') {
        // its <param> or inner <embed> may not be parsed yet
        doc.addEventListener('DOMContentLoaded', function () { replace(element); }, { once: true });
        return;
      }
    }
    var view = doc.createElement('kdz-image');
    if (src) view.setAttribute('src', new URL(src, doc.baseURI).href);
    ['id', 'class', 'title', 'alt', 'width', 'height', 'name', 'tabindex', 'hidden'].forEach(function (name) {
      if (element.hasAttribute(name)) view.setAttribute(name, element.getAttribute(name));
    });
    // style through the CSSOM, which a strict style-src allows
    if (element.style && element.style.cssText) view.style.cssText = element.style.cssText;
    if (!element.hasAttribute('width') && !element.hasAttribute('height')) {
      if (element.localName === 'img') view.naturalSizeBox = true;
      else copyStyledSize(element, view);
    }
    if (palette || element.hasAttribute('data-palette')) view.setAttribute('palette', '');
    element.replaceWith(view);
  }

  // A size given by the page's style sheets for the old element (a rule on "embed", say)
  // would not reach the new one: keep it as the new element's size.
  function copyStyledSize(element, view) {
    var style = element.ownerDocument.defaultView.getComputedStyle(element);
    if (style.display === 'none') return;
    var width = parseFloat(style.width), height = parseFloat(style.height);
    if (/px$/.test(style.width) && width > 0) view.setAttribute('width', String(Math.round(width)));
    if (/px$/.test(style.height) && height > 0) view.setAttribute('height', String(Math.round(height)));
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
    if (!win || !doc || win[MARK] || !doc.documentElement) return;
    var child = doc.createElement('script');
    child.src = new URL(SCRIPT_NAME, base).href;
    if (palette) child.setAttribute('data-palette', '');
    (doc.head || doc.documentElement).appendChild(child);
  }

  // ---- pages that look for the plug-in find it

  function announcePlugin() {
    var nav = window.navigator;
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
        if (target.isConnected && isCandidate(target)) replace(outermostCandidate(target));
        continue;
      }
      var added = record.addedNodes;
      for (var j = 0; j < added.length; j++) if (added[j].nodeType === 1) scan(added[j]);
    }
  });
  observer.observe(document, { childList: true, subtree: true, attributes: true,
                               attributeFilter: ['src', 'data', 'type'] });
  scan(document);
})();
