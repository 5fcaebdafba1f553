// The decode pipeline: a KDZ file image becomes a bitmap in a caller-owned block.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "codec/decoder_state.h"

namespace kdz {

// How the rebuilt picture is laid out in the pixel area: as the rows of a bitmap
// (bytes 0, 1, 2 of each pixel in the matrix's row order, plane row 0 first, no
// padding), or as an RGB picture (each pixel's bytes the other way round, plane
// row 0 last). Only bitmap rows are quantised.
enum class PixelLayout { kBitmapRows, kRgbTopDown };

// Hands out the pixel area (or a whole bitmap block) of a picture whose header has
// passed its checks, or null when it cannot be had; throws nothing. A decode on
// several threads asks for it on whichever thread is free first once the chroma
// planes are taken, most likely while 'y' still decodes, so that taking its pages
// is off the longest path; a decode on one thread asks once the planes are decoded.
using AreaSource = std::function<uint8_t*()>;

// Bytes a bitmap block needs for a width x height picture: header, colour table,
// and the larger of the unpadded 24-bit work area and the padded 24-bit rows
// (8-bit rows never need more). 0 when the size does not fit in size_t or the
// dimensions are not positive.
size_t BitmapBlockSize(int64_t width, int64_t height);

// Reads the named file whole into fileBlock (fileBlockSize bytes) and decodes it
// into bitmapBlock (bitmapBlockSize bytes). With a palette block (768 bytes) the
// picture is quantised to an 8-bit bitmap, else it stays 24-bit. Returns 1 on
// success, 0 on failure with state.error and state.errorDetail set. Never writes
// past either block.
int DecodeKdzFile(DecoderState& state, const char* fileName, uint8_t* fileBlock,
                  size_t fileBlockSize, uint8_t* bitmapBlock, size_t bitmapBlockSize,
                  uint8_t* paletteBlock);

// The same for a file image already in memory. colorsUsed (may be null) receives
// the number of palette colours of an 8-bit decode.
int DecodeKdzBytes(DecoderState& state, const uint8_t* data, size_t size,
                   uint8_t* bitmapBlock, size_t bitmapBlockSize, uint8_t* paletteBlock,
                   int* colorsUsed = nullptr);

// Decodes the three planes of the file image at fileBlock (size bytes), rebuilds
// the picture into pixelArea (3 bytes per pixel, unpadded), hands out the size and,
// with a palette block, quantises. Returns 1 on success, 0 on failure.
// pixelAreaSize bytes are available at pixelArea; a picture that needs more is
// refused before any plane is decoded. colorsUsed (may be null) receives the number
// of palette colours.
int DecodeAllPlanes(DecoderState& state, const uint8_t* fileBlock, size_t size,
                    uint8_t* pixelArea, size_t pixelAreaSize, int32_t* width, int32_t* height,
                    uint8_t* paletteBlock, int* colorsUsed,
                    PixelLayout layout = PixelLayout::kBitmapRows);
// The same with the pixel area taken from `area` (pixelAreaSize bytes).
int DecodeAllPlanes(DecoderState& state, const uint8_t* fileBlock, size_t size, const AreaSource& area,
                    size_t pixelAreaSize, int32_t* width, int32_t* height, uint8_t* paletteBlock,
                    int* colorsUsed, PixelLayout layout);

// Inverse transform of the three planes, every level in place, and conversion into
// pixelArea: the plain form of what the decode does, for the tests.
void ReconstructImage(DecoderState& state, uint8_t* pixelArea,
                      PixelLayout layout = PixelLayout::kBitmapRows);

// DecodeKdzBytes with the bitmap block (bitmapBlockSize bytes) taken from
// `takeBlock` during the decode; nothing is written to it on failure.
int DecodeKdzBytesTaking(DecoderState& state, const uint8_t* data, size_t size, const AreaSource& takeBlock,
                         size_t bitmapBlockSize, uint8_t* paletteBlock, int* colorsUsed);
// Decodes a file image in memory into an RGB picture taken from `takeRgb`, of
// rgbSize bytes, which must be at least BitmapBlockSize(width, height) - 1064 (the
// padded rows a bitmap would take); the first width * height * 3 are written. The
// same checks, the same errors and the same pixels as DecodeKdzBytes with a 24-bit
// bitmap, each pixel's bytes reversed and the rows in the other order. Returns 1
// on success.
int DecodeKdzBytesToRgb(DecoderState& state, const uint8_t* data, size_t size, const AreaSource& takeRgb,
                        size_t rgbSize, int32_t* width, int32_t* height);

}  // namespace kdz
