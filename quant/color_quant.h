// ColorQuant2: reduces a 24-bit picture to one palette index per pixel and a palette of at most 256 colours.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace kdz {

// pixels:   width * height pixels of 3 bytes (components 0, 1, 2, shown as blue, green,
//           red), rows one after another without padding. On success the first
//           width * height bytes are replaced by the palette indices, in the same row
//           order; the remaining bytes keep the 24-bit data.
// dither:   1 = Floyd-Steinberg error diffusion in serpentine row order; any other
//           value = plain nearest colour.
// supplied: 0 = choose the palette and write its entries in use (3 bytes each,
//           components 0, 1, 2) to `palette`; 1 = `palette` holds `colours` entries and
//           is only read. Other values are refused.
// colours:  3..256, the requested number of colours or the number of supplied entries.
// Returns the number of palette entries in use, or 0 on failure. On failure neither
// buffer has been written. At most width * height * 3 bytes of `pixels` and
// 3 * colours (<= 768) bytes of `palette` are touched. Throws nothing.
int32_t ColorQuant2(uint8_t* pixels, int32_t width, int32_t height, int32_t dither,
                    int32_t supplied, uint8_t* palette, int32_t colours);

// Runs every task and returns when all have finished, on as many threads as it has.
using TaskRunner = std::function<void(const std::vector<std::function<void()>>&)>;

// Where the quantiser's large buffers (its 128 KB histograms) come from, for a caller
// that keeps memory of its own: `take` gives a block of at least `bytes` and sets
// *capacity to its size, or gives null (the buffer then comes from malloc); `give`
// takes back a block that `take` gave, with that capacity. Neither may throw.
struct BufferHooks {
  void* (*take)(size_t bytes, size_t* capacity);
  void (*give)(void* block, size_t capacity);
};

// ColorQuant2 with the counting split over `parts` slices of the picture, each into
// a histogram of its own (summed with the same saturation), and, when dithering,
// the cache blocks that the picture's own colours reach filled by `parts` tasks
// before the mapping pass (which fills any other block it reaches, as always). The
// tasks go to `runner`. The result is the same as ColorQuant2's, byte for byte;
// parts 1 or no runner is ColorQuant2. Each further part takes a 128 KB histogram.
// With `hooks` the histograms come from them.
int32_t ColorQuant2Split(uint8_t* pixels, int32_t width, int32_t height, int32_t dither,
                         int32_t supplied, uint8_t* palette, int32_t colours, int32_t parts,
                         const TaskRunner& runner, const BufferHooks* hooks = nullptr);

}  // namespace kdz
