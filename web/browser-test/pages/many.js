// Fifty embeds of the samples, written as an old page's script would.
const names = ['astronaut', 'camera', 'chelsea', 'coffee', 'color'];
for (let i = 0; i < 50; i++) {
  document.write(`<embed id="m${i}" src="/samples/${names[i % 5]}.kdz?copy=${i}" width="96" height="72">`);
}
