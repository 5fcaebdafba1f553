// Records every load and error event of <kdz-image> elements (they do not bubble; the
// capture phase on the document sees them all).
window.kdzEvents = [];
for (const type of ['load', 'error']) {
  document.addEventListener(type, (event) => {
    const target = event.target;
    if (target && target.localName === 'kdz-image') window.kdzEvents.push({ type, id: target.id, src: target.getAttribute('src'), at: Math.round(performance.now()) });
  }, true);
}
