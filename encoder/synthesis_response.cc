// Per-direction responses of the decoder's synthesis, from impulses run through
// real-valued copies of its line formulas (shifts become divisions).
#include "encoder/synthesis_response.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace kdz {
namespace {

// The formulas and their order are the decoder's, so that the edge rows and
// columns, which some formulas overwrite, come out as it builds them.
void SynthesizeInto(const double* x, int n, bool vertical, bool interpolate, double* out) {
  const int half = n / 2;
  const double* lo = x;
  const double* hi = x + half;
  if (vertical && !interpolate) {
    out[1] = (hi[0] + 2 * lo[0] + hi[1]) / 4;
    out[0] = (2 * lo[0] - 7 * hi[0] + hi[1]) / 4;
    out[n - 1] = (hi[half - 1] + 2 * lo[half - 1]) / 4;
    out[n - 2] = (lo[half - 2] + lo[half - 1]) / 4 + (hi[half - 2] + 2 * hi[half - 1]) / 8 -
                 hi[half - 1];
    for (int k = 1; k <= half - 2; ++k) {
      out[2 * k + 1] = (hi[k] + 2 * lo[k] + hi[k + 1]) / 4;
      out[2 * k] = (out[2 * k - 1] + out[2 * k + 1]) / 2 - hi[k];
    }
  } else if (!interpolate) {
    out[1] = (hi[1] + hi[0]) / 2 + lo[0];
    out[0] = (hi[1] - hi[0]) / 2 - 3 * hi[0] + lo[0];
    out[n - 1] = hi[half - 1] / 2 + lo[half - 1];
    out[n - 2] = (hi[half - 2] + 2 * (lo[half - 2] - hi[half - 1] + lo[half - 1])) / 4 - hi[half - 1];
    for (int k = 1; k <= half - 2; ++k) {
      out[2 * k + 1] = (hi[k] + hi[k + 1]) / 2 + lo[k];
      out[2 * k] = (out[2 * k - 1] + out[2 * k + 1]) / 2 - 2 * hi[k];
    }
  } else if (vertical) {
    for (int k = 1; k <= half - 2; ++k) {
      out[2 * k + 1] = lo[k] / 2;
      out[2 * k] = (lo[k - 1] + lo[k]) / 4;
    }
    out[0] = out[1] = lo[0] / 2;
    out[n - 2] = (lo[half - 2] + lo[half - 1]) / 4;
    out[n - 1] = lo[half - 1] / 2;
  } else {
    for (int k = 1; k <= half - 2; ++k) {
      out[2 * k + 1] = lo[k];
      out[2 * k] = (lo[k - 1] + lo[k]) / 2;
    }
    out[0] = out[1] = lo[0];
    out[n - 2] = (lo[half - 2] + lo[half - 1]) / 2;
    out[n - 1] = lo[half - 1];
  }
}

}  // namespace

void SynthesizeLine(double* x, int n, bool vertical, bool interpolate) {
  std::vector<double> out(static_cast<size_t>(n));
  SynthesizeInto(x, n, vertical, interpolate, out.data());
  for (int k = 0; k < n; ++k) x[k] = out[static_cast<size_t>(k)];
}

bool SynthesisResponses::Build(int length, int levels, int uncodedLevels, bool vertical) {
  built_ = false;
  entries_.clear();
  pool_.clear();
  levelStart_.assign(static_cast<size_t>(levels) + 2, 0);
  if (levels < 0 || uncodedLevels < 0 || uncodedLevels > levels) return false;
  if (levels > 0 && ((length >> levels) < 2 || ((length >> levels) << levels) != length)) return false;
  length_ = length;
  levels_ = levels;
  uncoded_ = uncodedLevels;
  vertical_ = vertical;
  std::vector<double> x(static_cast<size_t>(length)), y(static_cast<size_t>(length));
  constexpr double kNegligible = 1e-7;
  for (int m = 1; m <= levels; ++m) {
    levelStart_[static_cast<size_t>(m)] = entries_.size();
    const int extent = length >> (m - 1);
    for (int index = 0; index < extent; ++index) {
      std::fill(x.begin(), x.begin() + extent, 0.0);
      x[static_cast<size_t>(index)] = 1.0;
      // Level m, then every finer level with its details absent.
      for (int level = m, n = extent; level >= 1; --level, n *= 2) {
        SynthesizeInto(x.data(), n, vertical, level <= uncodedLevels, y.data());
        std::copy(y.begin(), y.begin() + n, x.begin());
        if (level > 1) std::fill(x.begin() + n, x.begin() + 2 * n, 0.0);
      }
      const double cut = kNegligible;
      int first = 0, last = length - 1;
      while (first < length && std::fabs(x[static_cast<size_t>(first)]) < cut) ++first;
      while (last >= first && std::fabs(x[static_cast<size_t>(last)]) < cut) --last;
      Entry e;
      e.first = first;
      e.count = last >= first ? last - first + 1 : 0;
      e.offset = pool_.size();
      for (int k = first; k <= last; ++k) {
        const double v = x[static_cast<size_t>(k)];
        pool_.push_back(static_cast<float>(v));
        e.energy += v * v;
      }
      entries_.push_back(e);
    }
  }
  levelStart_[static_cast<size_t>(levels) + 1] = entries_.size();
  built_ = true;
  return true;
}

SynthesisResponses::Span SynthesisResponses::At(int level, int index) const {
  Span s;
  if (!built_ || level < 1 || level > levels_ || index < 0) return s;
  const size_t at = levelStart_[static_cast<size_t>(level)] + static_cast<size_t>(index);
  if (at >= levelStart_[static_cast<size_t>(level) + 1]) return s;
  const Entry& e = entries_[at];
  s.first = e.first;
  s.count = e.count;
  s.values = pool_.data() + e.offset;
  s.energy = e.energy;
  return s;
}

}  // namespace kdz
