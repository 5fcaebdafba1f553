// Main-thread tasks while the page loads: long tasks where the browser reports them
// (Chromium), and in every browser the longest gap between chained timer tasks.
window.longTasks = [];
window.taskGap = { max: 0, running: true };
if (PerformanceObserver.supportedEntryTypes && PerformanceObserver.supportedEntryTypes.includes('longtask')) {
  new PerformanceObserver((list) => {
    for (const entry of list.getEntries()) window.longTasks.push([Math.round(entry.startTime), Math.round(entry.duration)]);
  }).observe({ type: 'longtask', buffered: true });
} else {
  window.longTasks = null;
}
let last = performance.now();
(function tick() {
  const now = performance.now();
  window.taskGap.max = Math.max(window.taskGap.max, now - last);
  last = now;
  if (window.taskGap.running) setTimeout(tick, 0);
})();
