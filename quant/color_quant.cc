// ColorQuant2 and the set-up of its working record: buffers, the error-limit and clamp tables.
#include "quant/color_quant.h"

#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <stdexcept>
#include <vector>

#include "quant/quant_internal.h"

namespace kdz {

namespace {

// Rounded errors up to 15 pass whole, 16..47 are halved beyond 16, larger ones give 32:
// small errors diffuse faithfully while big ones cannot smear across edges.
void BuildErrorLimitTable(std::vector<int32_t>& table) {
  table.assign(511, 0);
  int32_t* middle = table.data() + 255;
  for (int32_t e = 0; e < 16; ++e) {
    middle[e] = e;
    middle[-e] = -e;
  }
  int32_t value = 16;
  for (int32_t e = 16; e < 48; ++e) {
    if (e > 16 && (e & 1) == 0) ++value;
    middle[e] = value;
    middle[-e] = -value;
  }
  for (int32_t e = 48; e < 256; ++e) {
    middle[e] = 32;
    middle[-e] = -32;
  }
}

void BuildClampTable(std::vector<uint8_t>& table) {
  table.assign(766, 0);
  uint8_t* middle = table.data() + 255;
  for (int32_t i = 0; i < 256; ++i) middle[i] = static_cast<uint8_t>(i);
  for (int32_t i = 256; i <= 510; ++i) middle[i] = 255;
}

}  // namespace

int32_t SetUpQuantState(QuantState& qs, int32_t width, int32_t height, int32_t dither,
                        int32_t colours, const BufferHooks* hooks) {
  if (width < 0 || height < 0 || colours < kMinColors || colours > kMaxColors) return 1;
  // The error array needs 3 * (width + 2) entries; compute in 64 bits so that a
  // 32-bit size_t cannot wrap.
  const uint64_t errorEntries = 3 * (static_cast<uint64_t>(width) + 2);
  if (errorEntries > std::numeric_limits<size_t>::max() / sizeof(int16_t)) return 1;
  try {
    qs.outputWidth = width;
    qs.rowLength = width;
    qs.outputHeight = height;
    qs.rowCount = height;
    qs.componentCount = 3;
    qs.requestedColors = colours;
    qs.colorsInUse = 0;
    qs.ditherMode = dither == 1 ? kDitherFloydSteinberg : kDitherNone;
    for (auto& component : qs.palette) component.assign(static_cast<size_t>(colours), 0);
    qs.histogram = HistogramCells(kHistCells, 0, HistogramAllocator<uint16_t>(hooks));
    if (qs.ditherMode != kDitherNone) {
      qs.errorArray.assign(static_cast<size_t>(errorEntries), 0);
      qs.errorWords.assign(static_cast<size_t>(errorEntries / 3), 0);
      BuildErrorLimitTable(qs.errorLimit);
      BuildClampTable(qs.clampTable);
    }
    qs.oddRow = 0;
  } catch (const std::bad_alloc&) {
    return 1;
  } catch (const std::length_error&) {
    return 1;
  }
  return 0;
}

int32_t ColorQuant2(uint8_t* pixels, int32_t width, int32_t height, int32_t dither,
                    int32_t supplied, uint8_t* palette, int32_t colours) {
  return ColorQuant2Split(pixels, width, height, dither, supplied, palette, colours, 1, nullptr);
}

int32_t ColorQuant2Split(uint8_t* pixels, int32_t width, int32_t height, int32_t dither,
                         int32_t supplied, uint8_t* palette, int32_t colours, int32_t parts,
                         const TaskRunner& runner, const BufferHooks* hooks) {
  if (colours < kMinColors || colours > kMaxColors) return 0;
  // Refused before anything is read or written: a palette mode other than 0 or 1
  // would map against an empty palette.
  if (width < 0 || height < 0 || (supplied != 0 && supplied != 1) || palette == nullptr) {
    return 0;
  }
  const uint64_t pixelCount = static_cast<uint64_t>(width) * static_cast<uint64_t>(height);
  if (pixelCount > std::numeric_limits<size_t>::max() / 3) return 0;
  if (pixelCount > 0 && pixels == nullptr) return 0;
  if (!runner || parts < 1) parts = 1;

  try {
    QuantState qs;
    if (SetUpQuantState(qs, width, height, dither, colours, hooks) != 0) return 0;
    if (supplied == 1) {
      for (int32_t i = 0; i < colours; ++i) {
        qs.palette[0][i] = palette[3 * i];
        qs.palette[1][i] = palette[3 * i + 1];
        qs.palette[2][i] = palette[3 * i + 2];
      }
      qs.colorsInUse = colours;
    }
    std::vector<int32_t> blocks;  // to fill alongside the mapping, when split
    if (supplied == 0) {
      // Slices of the picture counted apart; saturating sums of saturated counts
      // are the saturated counts of the whole.
      std::vector<HistogramCells> more;
      try {
        for (int32_t k = 1; k < parts; ++k) more.emplace_back(kHistCells, 0, HistogramAllocator<uint16_t>(hooks));
      } catch (const std::bad_alloc&) {
        more.clear();  // no memory for more histograms: one pass
      }
      const size_t slices = more.size() + 1;
      if (slices == 1) {
        CountColors(qs, pixels);
      } else {
        const size_t count = static_cast<size_t>(pixelCount);
        const size_t slice = (count + slices - 1) / slices;
        std::vector<std::function<void()>> tasks;
        for (size_t t = 0; t < slices; ++t) {
          const size_t begin = t * slice < count ? t * slice : count;
          const size_t n = count - begin < slice ? count - begin : slice;
          uint16_t* hist = t == 0 ? qs.histogram.data() : more[t - 1].data();
          tasks.push_back([hist, pixels, begin, n] { CountPixels(hist, pixels + 3 * begin, n); });
        }
        runner(tasks);
        for (const auto& h : more) AddCounts(qs, h);
      }
      if (ChoosePalette(qs) != 0) return 0;
      if (parts > 1 && qs.ditherMode != kDitherNone) blocks = BlocksWithinReach(OccupiedBlocks(qs));
    }
    // Nothing is written to the caller's buffers before the mapping, which cannot
    // fail. It writes the indices over the pixels, with no index image of its own:
    // index p = r width + x goes to byte p once pixel p (bytes 3p..3p+2) has been
    // read, and the pixels still to be read lie above it, from 3 (p + 1) on in a row
    // run left to right, from 3 r width > r width + width > p on in a row run right to
    // left, which is never the first (r >= 1).
    if (!blocks.empty()) {
      // The blocks the dithering can reach are filled by the other tasks while it
      // runs, those of the picture's own colours first.
      std::memset(qs.histogram.data(), 0, qs.histogram.size() * sizeof(uint16_t));
      FillAhead ahead;
      std::vector<std::function<void()>> tasks;
      tasks.push_back([&qs, &ahead, pixels] { MapDitheredAlongside(qs, ahead, pixels, pixels); });
      for (int32_t t = 1; t < parts; ++t) tasks.push_back([&qs, &ahead, &blocks] { FillBlocksAhead(qs, ahead, blocks); });
      runner(tasks);
    } else {
      MapToPalette(qs, pixels, pixels);
    }
    if (supplied == 0) {
      for (int32_t i = 0; i < qs.colorsInUse; ++i) {
        palette[3 * i] = qs.palette[0][i];
        palette[3 * i + 1] = qs.palette[1][i];
        palette[3 * i + 2] = qs.palette[2][i];
      }
    }
    return qs.colorsInUse;
  } catch (const std::bad_alloc&) {
    return 0;
  } catch (const std::length_error&) {
    return 0;
  }
}

}  // namespace kdz
