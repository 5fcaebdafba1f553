// Draws the extension's icon (a framed landscape picture, the viewer's subject) and
// writes it as PNG files of 16, 32, 48 and 128 pixels: node make-icon.mjs [DIR].
// The PNGs are committed; run this again only to change the drawing.
import { writeFileSync } from 'node:fs';
import { join } from 'node:path';
import { deflateSync } from 'node:zlib';

// The colour of the point (x, y) of the unit square, RGBA.
function paint(x, y) {
  const frame = 0.06, inner = 0.13;
  if (x < frame || x > 1 - frame || y < frame || y > 1 - frame) return [40, 40, 60, 255];
  if (x < inner || x > 1 - inner || y < inner || y > 1 - inner) return [235, 235, 225, 255];
  const sun = Math.hypot(x - 0.68, y - 0.33);
  if (sun < 0.1) return [255, 205, 40, 255];
  const hill1 = 0.78 - 0.16 * Math.sin((x - 0.1) * Math.PI * 1.2);
  const hill2 = 0.70 + 0.12 * Math.cos((x - 0.75) * Math.PI * 2.2);
  if (y > Math.min(hill1, hill2)) return y > hill1 ? [40, 140, 60, 255] : [70, 170, 80, 255];
  const t = (y - inner) / (1 - 2 * inner);
  return [Math.round(70 + 110 * t), Math.round(140 + 80 * t), 235, 255];
}

// Each pixel is the mean of 4 x 4 samples, so small sizes stay smooth.
function draw(size) {
  const rows = [];
  for (let py = 0; py < size; py++) {
    const row = Buffer.alloc(1 + size * 4);
    for (let px = 0; px < size; px++) {
      const sum = [0, 0, 0, 0];
      for (let sy = 0; sy < 4; sy++) for (let sx = 0; sx < 4; sx++) {
        const c = paint((px + (sx + 0.5) / 4) / size, (py + (sy + 0.5) / 4) / size);
        for (let k = 0; k < 4; k++) sum[k] += c[k];
      }
      for (let k = 0; k < 4; k++) row[1 + px * 4 + k] = Math.round(sum[k] / 16);
    }
    rows.push(row);
  }
  return png(size, size, Buffer.concat(rows));
}

function crc32(bytes) {
  let c = ~0;
  for (const b of bytes) {
    c ^= b;
    for (let k = 0; k < 8; k++) c = (c >>> 1) ^ (0xedb88320 & -(c & 1));
  }
  return ~c >>> 0;
}

function chunk(type, data) {
  const head = Buffer.alloc(8);
  head.writeUInt32BE(data.length, 0);
  head.write(type, 4, 'latin1');
  const tail = Buffer.alloc(4);
  tail.writeUInt32BE(crc32(Buffer.concat([head.subarray(4), data])), 0);
  return Buffer.concat([head, data, tail]);
}

function png(width, height, filteredRows) {
  const ihdr = Buffer.alloc(13);
  ihdr.writeUInt32BE(width, 0);
  ihdr.writeUInt32BE(height, 4);
  ihdr.set([8, 6, 0, 0, 0], 8);  // 8 bits, RGBA, deflate, no filter method, no interlace
  return Buffer.concat([Buffer.from([137, 80, 78, 71, 13, 10, 26, 10]), chunk('IHDR', ihdr),
                        chunk('IDAT', deflateSync(filteredRows, { level: 9 })), chunk('IEND', Buffer.alloc(0))]);
}

const dir = process.argv[2] ?? new URL('.', import.meta.url).pathname;
for (const size of [16, 32, 48, 128]) writeFileSync(join(dir, `icon-${size}.png`), draw(size));
