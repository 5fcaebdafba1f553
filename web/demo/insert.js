// An embed that arrives after the page: written a moment later, as old pages did.
setTimeout(() => {
  const embed = document.createElement('embed');
  embed.src = 'pictures/camera.kdz';
  embed.width = 200;
  embed.height = 200;
  document.getElementById('later').prepend(embed);
}, 100);
