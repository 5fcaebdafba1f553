// A page of the plug-in's day: write the embed only where the plug-in is present.
const mime = navigator.mimeTypes['image/qem-kdz'];
if (mime && mime.enabledPlugin) {
  document.write('<embed id="written" src="/samples/chelsea.kdz" width="90" height="60">');
} else {
  document.write('<p id="written">The KDZ plug-in is missing.</p>');
}
