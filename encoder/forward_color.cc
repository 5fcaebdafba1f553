// The inverse of the decoder's YIQ matrix (coefficients in 1/1024 units).
#include "encoder/forward_color.h"

#include <cmath>

namespace kdz {
namespace {

// Decoder matrix: pixel byte b = luma + c[b][0] * I + c[b][1] * Q, over 1024.
constexpr double kToRgb[3][3] = {
    {1.0, 979 / 1024.0, 636 / 1024.0},
    {1.0, -279 / 1024.0, -662 / 1024.0},
    {1.0, -1133 / 1024.0, 1744 / 1024.0},
};

struct Inverse {
  double m[3][3];
  Inverse() {
    const auto& a = kToRgb;
    const double det = a[0][0] * (a[1][1] * a[2][2] - a[1][2] * a[2][1]) -
                       a[0][1] * (a[1][0] * a[2][2] - a[1][2] * a[2][0]) +
                       a[0][2] * (a[1][0] * a[2][1] - a[1][1] * a[2][0]);
    for (int r = 0; r < 3; ++r) {
      for (int c = 0; c < 3; ++c) {
        // Cofactor of a[c][r] (transposed), over the determinant.
        const int r0 = (c + 1) % 3, r1 = (c + 2) % 3, c0 = (r + 1) % 3, c1 = (r + 2) % 3;
        m[r][c] = (a[r0][c0] * a[r1][c1] - a[r0][c1] * a[r1][c0]) / det;
      }
    }
  }
};

}  // namespace

// The decoder's products floor c * x / 1024 and saturate the sums, so rounding the
// real solution loses about half a unit per product. A small search around it picks
// the integer triple whose decoded pixel is nearest to the original.
void RgbToYiq(const RgbImage& picture, int lumaBias, YiqPlanes* out) {
  static const Inverse inv;
  const int w = picture.width, h = picture.height;
  const size_t n = static_cast<size_t>(w) * h;
  out->width = w;
  out->height = h;
  out->y.assign(n, 0);
  out->i.assign(n, 0);
  out->q.assign(n, 0);
  static const int kCoef[3][2] = {{979, 636}, {-279, -662}, {-1133, 1744}};
  auto product = [](int c, int x) { return (c * x) >> 10; };
  auto clampByte = [](int v) { return v < 0 ? 0 : v > 255 ? 255 : v; };
  for (int row = 0; row < h; ++row) {
    const uint8_t* src = picture.rgb.data() + static_cast<size_t>(h - 1 - row) * w * 3;
    const size_t base = static_cast<size_t>(row) * w;
    for (int x = 0; x < w; ++x) {
      const int target[3] = {src[3 * x + 2], src[3 * x + 1], src[3 * x]};
      const double ii = inv.m[1][0] * target[0] + inv.m[1][1] * target[1] + inv.m[1][2] * target[2];
      const double qq = inv.m[2][0] * target[0] + inv.m[2][1] * target[1] + inv.m[2][2] * target[2];
      const int i0 = static_cast<int>(std::lround(ii));
      const int q0 = static_cast<int>(std::lround(qq));
      int bestY = 0, bestI = i0, bestQ = q0, bestErr = 1 << 30;
      for (int ci = i0 - 1; ci <= i0 + 1; ++ci) {
        for (int cq = q0 - 1; cq <= q0 + 1; ++cq) {
          int offset[3], sum = 0;
          for (int b = 0; b < 3; ++b) {
            offset[b] = lumaBias + product(kCoef[b][0], ci) + product(kCoef[b][1], cq);
            sum += target[b] - offset[b];
          }
          // sum / 3 rounded: (sum + 1) / 3 rounded down (a third is never a half).
          const int y0 = sum >= -1 ? (sum + 1) / 3 : -((-sum + 1) / 3);
          // Without saturation the squared error is a parabola in the luma with
          // its least whole-number value at the rounded mean; a byte that
          // saturates bends it, and the neighbours are tried too.
          bool saturates = false;
          for (int b = 0; b < 3; ++b) {
            const int v = y0 + offset[b];
            saturates = saturates || v <= 0 || v >= 255;
          }
          const int spread = saturates ? 1 : 0;
          for (int cy = y0 - spread; cy <= y0 + spread; ++cy) {
            int err = 0;
            for (int b = 0; b < 3; ++b) {
              const int d = clampByte(cy + offset[b]) - target[b];
              err += d * d;
            }
            // Prefer the smaller chroma on ties: it costs fewer bits.
            if (err < bestErr) bestErr = err, bestY = cy, bestI = ci, bestQ = cq;
          }
        }
      }
      out->y[base + x] = bestY;
      out->i[base + x] = bestI;
      out->q[base + x] = bestQ;
    }
  }
}

int BestUncoveredGrey(const RgbImage& picture, int coveredCols, int coveredRows,
                      double* error) {
  const int w = picture.width, h = picture.height;
  uint64_t sum = 0, squares = 0, count = 0;
  for (int row = 0; row < h; ++row) {
    const int planeRow = h - 1 - row;
    const uint8_t* src = picture.rgb.data() + static_cast<size_t>(row) * w * 3;
    const int from = planeRow >= coveredRows ? 0 : coveredCols;
    for (int x = from; x < w; ++x) {
      for (int k = 0; k < 3; ++k) {
        const uint64_t v = src[3 * x + k];
        sum += v;
        squares += v * v;
      }
      count += 3;
    }
  }
  if (error) *error = 0;
  if (count == 0) return 128;
  const int grey = static_cast<int>((sum + count / 2) / count);
  if (error) {
    const double g = grey;
    *error = (static_cast<double>(squares) - 2 * g * static_cast<double>(sum) +
              g * g * static_cast<double>(count)) / 3;
  }
  return grey;
}

}  // namespace kdz
