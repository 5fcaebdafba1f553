// The extension's second content script, in the extension's own world: tells the page
// script (running in the page's world, where the extension's URL is unknown) where the
// viewer's module and wasm are. Either script may start first, so this one answers a
// request as well as announcing once.
(function () {
  'use strict';
  var api = typeof browser !== 'undefined' ? browser : chrome;
  var base = api.runtime.getURL('');
  function announce() {
    window.dispatchEvent(new CustomEvent('kdz:extension-base', { detail: base }));
  }
  window.addEventListener('kdz:extension-base-request', announce);
  announce();
})();
