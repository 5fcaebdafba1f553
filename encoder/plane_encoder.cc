// The plane coder: mirrors the decoder's band walk so that every symbol lands on
// the position the decoder will fill.
#include "encoder/plane_encoder.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <limits>

#include "codec/coeff_decoder.h"
#include "codec/wavelet.h"
#include "encoder/arith_encoder.h"

namespace kdz {

float PositiveStep(int scalePos, int scaleDiv) {
  if (scaleDiv == 0) return 0.0f;
  return static_cast<float>(static_cast<double>(scalePos) / scaleDiv);
}

float NegativeStep(int scaleNeg, int scaleDiv) {
  if (scaleDiv == 0) return 0.0f;
  return static_cast<float>(-(static_cast<double>(scaleNeg) / scaleDiv));
}

namespace {

// Dead-zone rounding decides between 0 and the rest; above that, the level whose
// reconstruction (the decoder truncates v * step toward zero) is nearest.
int QuantiseOne(int32_t c, float posStep, float negStep, double deadZone) {
  if (c == 0) return 0;
  const double step = c > 0 ? posStep : negStep;
  if (step <= 0) return 0;
  const double magnitude = std::abs(static_cast<double>(c));
  const double m = magnitude / step;
  if (m + 0.5 - deadZone < 1) return 0;
  int k = std::clamp(static_cast<int>(m + 0.5), 1, kMaxQuantised);
  double best = std::abs(magnitude - std::trunc(k * step));
  for (int alt = k - 1; alt <= k + 1; alt += 2) {
    if (alt < 1 || alt > kMaxQuantised) continue;
    const double e = std::abs(magnitude - std::trunc(alt * step));
    if (e < best) best = e, k = alt;
  }
  return c > 0 ? k : -k;
}

constexpr int16_t kSkip = INT16_MIN;  // position covered by a root

// Four running sums, so that the additions need not wait for each other.
inline float Dot(const float* a, const float* b, int n) {
  float s0 = 0, s1 = 0, s2 = 0, s3 = 0;
  int x = 0;
  for (; x + 4 <= n; x += 4) {
    s0 += a[x] * b[x];
    s1 += a[x + 1] * b[x + 1];
    s2 += a[x + 2] * b[x + 2];
    s3 += a[x + 3] * b[x + 3];
  }
  for (; x < n; ++x) s0 += a[x] * b[x];
  return (s0 + s1) + (s2 + s3);
}

}  // namespace

void PlaneEncoder::Quantise(const PlaneJob& job) {
  const int w = job.width;
  const int limit = job.levels - job.uncodedLevels;
  const int bands = BandCount(job.levels);
  // Most coefficients are small integers: quantise those through a table.
  constexpr int kTable = 512;
  int16_t table[2][kTable];
  for (int k = 0; k < bands; ++k) {
    const Band band = BandAt(w, job.height, job.levels, k);
    const int level = k == 0 ? -1 : (k - 1) / 3;
    if (level >= limit) break;
    const float pos = PositiveStep(job.scalePos[band.n], job.scaleDiv[band.n]);
    const float neg = NegativeStep(job.scaleNeg[band.n], job.scaleDiv[band.n]);
    for (int m = 0; m < kTable; ++m) {
      table[0][m] = static_cast<int16_t>(QuantiseOne(m, pos, neg, job.deadZone));
      table[1][m] = static_cast<int16_t>(QuantiseOne(-m, pos, neg, job.deadZone));
    }
    for (int r = band.row0; r < band.row0 + band.rows; ++r) {
      const size_t base = static_cast<size_t>(r) * w;
      for (int c = band.col0; c < band.col0 + band.cols; ++c) {
        const int32_t x = job.coefficients[base + c];
        int16_t q;
        if (x >= 0 && x < kTable) {
          q = table[0][x];
        } else if (x < 0 && x > -kTable) {
          q = table[1][-x];
        } else {
          q = static_cast<int16_t>(QuantiseOne(x, pos, neg, job.deadZone));
        }
        quantised_[base + c] = q;
      }
    }
  }
  plain_ = quantised_;
}

// Zero-tree flags, finest coded level first: a position is a root candidate when
// it and its four children's trees are all zero.
void PlaneEncoder::MarkZeroTrees(const PlaneJob& job) {
  const int w = job.width;
  const int limit = job.levels - job.uncodedLevels;
  for (int j = limit - 1; j >= 0; --j) {
    for (int o = 0; o < 3; ++o) {
      const Band band = BandAt(w, job.height, job.levels, 1 + 3 * j + o);
      for (int r = band.row0; r < band.row0 + band.rows; ++r) {
        for (int c = band.col0; c < band.col0 + band.cols; ++c) {
          const size_t at = static_cast<size_t>(r) * w + c;
          bool zero = quantised_[at] == 0;
          if (zero && j + 1 < limit) {
            const size_t child = static_cast<size_t>(2 * r) * w + 2 * c;
            zero = zeroTree_[child] && zeroTree_[child + 1] && zeroTree_[child + w] &&
                   zeroTree_[child + w + 1];
          }
          zeroTree_[at] = zero;
        }
      }
    }
  }
}

// The decoder's walk: low band, then the coded detail levels. A root marks its
// descendants exactly as MarkZeroTree does; the finest coded level codes its
// zeros as roots too (they mark nothing there), so that "zero with nothing below"
// has one symbol throughout.
void PlaneEncoder::BuildSequence(const PlaneJob& job, std::vector<size_t>* levelStart) {
  const int w = job.width;
  const int limit = job.levels - job.uncodedLevels;
  std::fill(markedBy_.begin(), markedBy_.end(), 0);
  sequence_.clear();
  reach_.clear();
  const Band low = BandAt(w, job.height, job.levels, 0);
  for (int r = 0; r < low.rows; ++r) {
    for (int c = 0; c < low.cols; ++c) sequence_.push_back(quantised_[static_cast<size_t>(r) * w + c]);
  }
  reach_.assign(sequence_.size(), 0);
  levelStart->assign(static_cast<size_t>(limit) + 1, 0);
  const int bands = BandCount(job.levels);
  for (int k = 1; k < bands; ++k) {
    const int j = (k - 1) / 3;
    if (j >= limit) break;
    if ((k - 1) % 3 == 0) (*levelStart)[j] = sequence_.size();
    const Band band = BandAt(w, job.height, job.levels, k);
    for (int r = band.row0; r < band.row0 + band.rows; ++r) {
      for (int c = band.col0; c < band.col0 + band.cols; ++c) {
        const size_t at = static_cast<size_t>(r) * w + c;
        const auto index = static_cast<int32_t>(sequence_.size());
        if (markedBy_[at]) {
          sequence_.push_back(kSkip);
          reach_.push_back(0);
          reach_[static_cast<size_t>(markedBy_[at] - 1)] = index;
          continue;
        }
        reach_.push_back(index);
        if (zeroTree_[at]) {
          sequence_.push_back(kRootValue);
          int size = 2, r0 = 2 * r, c0 = 2 * c;
          for (int level = j + 1; level < limit; ++level) {
            for (int y = r0; y < r0 + size; ++y) {
              std::fill_n(markedBy_.begin() + static_cast<std::ptrdiff_t>(y) * w + c0, size,
                          index + 1);
            }
            size *= 2;
            r0 *= 2;
            c0 *= 2;
          }
        } else {
          sequence_.push_back(quantised_[at]);
        }
      }
    }
  }
  (*levelStart)[static_cast<size_t>(limit)] = sequence_.size();
}

// Bottom-up choice, for every detail coefficient, between keeping its tree
// (its own best value plus its children's best trees) and making it a zero-tree
// root; then top-down, the kept values are written and pruned trees cleared.
void PlaneEncoder::Prune(const PlaneJob& job, const double bits[256]) {
  const int w = job.width;
  const int limit = job.levels - job.uncodedLevels;
  const double lambda = job.lambda;
  const double rootCost = lambda * bits[kRootValue + 128];
  const double zeroCost = lambda * bits[128];
  for (int j = limit - 1; j >= 0; --j) {
    const bool leaf = j + 1 == limit;
    for (int o = 0; o < 3; ++o) {
      const Band band = BandAt(w, job.height, job.levels, 1 + 3 * j + o);
      const double weight = job.weight[band.n];
      const float pos = PositiveStep(job.scalePos[band.n], job.scaleDiv[band.n]);
      const float neg = NegativeStep(job.scaleNeg[band.n], job.scaleDiv[band.n]);
      for (int r = band.row0; r < band.row0 + band.rows; ++r) {
        for (int c = band.col0; c < band.col0 + band.cols; ++c) {
          const size_t at = static_cast<size_t>(r) * w + c;
          const double x = job.coefficients[at];
          double childTrees = 0, childZero = 0;
          if (!leaf) {
            const size_t child = static_cast<size_t>(2 * r) * w + 2 * c;
            for (size_t k : {child, child + 1, child + w, child + w + 1}) {
              childTrees += treeCost_[k];
              childZero += zeroCost_[k];
            }
          }
          const double zeroError = weight * x * x + childZero;
          const double prune = zeroError + rootCost;
          // Keeping the tree: this coefficient's value (the rounded one or one
          // nearer zero), or an isolated zero above significant children.
          const int q = quantised_[at];
          double keep = std::numeric_limits<double>::infinity();
          int best = 0;
          const int sign = q > 0 ? 1 : -1;
          for (int v = q; v != 0 && std::abs(v) + 1 >= std::abs(q); v -= sign) {
            const double rec = std::trunc(v * static_cast<double>(v > 0 ? pos : neg));
            const double cost = weight * (x - rec) * (x - rec) + lambda * bits[v + 128];
            if (cost < keep) keep = cost, best = v;
          }
          if (!leaf) {
            const double isolated = weight * x * x + zeroCost;
            if (isolated < keep) keep = isolated, best = 0;
            keep += childTrees;
          }
          zeroCost_[at] = static_cast<float>(zeroError);
          if (prune <= keep) {
            treeCost_[at] = static_cast<float>(prune);
            pruned_[at] = 1;
          } else {
            treeCost_[at] = static_cast<float>(keep);
            pruned_[at] = 0;
            choice_[at] = static_cast<int16_t>(best);
          }
        }
      }
    }
  }
  // Top-down: a pruned tree clears its descendants whatever they chose.
  for (int j = 0; j < limit; ++j) {
    for (int o = 0; o < 3; ++o) {
      const Band band = BandAt(w, job.height, job.levels, 1 + 3 * j + o);
      for (int r = band.row0; r < band.row0 + band.rows; ++r) {
        for (int c = band.col0; c < band.col0 + band.cols; ++c) {
          const size_t at = static_cast<size_t>(r) * w + c;
          const bool parentPruned =
              j > 0 && pruned_[static_cast<size_t>(r / 2) * w + static_cast<size_t>(c / 2)];
          if (parentPruned) pruned_[at] = 1;
          quantised_[at] = pruned_[at] ? 0 : choice_[at];
        }
      }
    }
  }
}

// Symbol costs in bits, estimated from the statistics of the symbols the
// current values and zero trees make (the walk of BuildSequence, counted only).
void PlaneEncoder::SymbolBits(const PlaneJob& job, double bits[256]) {
  const int w = job.width;
  const int limit = job.levels - job.uncodedLevels;
  std::array<double, 256> count{};
  const Band low = BandAt(w, job.height, job.levels, 0);
  for (int r = 0; r < low.rows; ++r) {
    for (int c = 0; c < low.cols; ++c) count[static_cast<size_t>(quantised_[static_cast<size_t>(r) * w + c] + 128)] += 1;
  }
  double total = static_cast<double>(low.rows) * low.cols;
  visited_.assign(static_cast<size_t>(w) * job.height, 0);
  for (int j = 0; j < limit; ++j) {
    for (int o = 0; o < 3; ++o) {
      const Band band = BandAt(w, job.height, job.levels, 1 + 3 * j + o);
      for (int r = band.row0; r < band.row0 + band.rows; ++r) {
        for (int c = band.col0; c < band.col0 + band.cols; ++c) {
          const size_t at = static_cast<size_t>(r) * w + c;
          if (j > 0) {
            const size_t parent = static_cast<size_t>(r / 2) * w + static_cast<size_t>(c / 2);
            if (!visited_[parent] || zeroTree_[parent]) continue;
          }
          visited_[at] = 1;
          count[static_cast<size_t>((zeroTree_[at] ? kRootValue : quantised_[at]) + 128)] += 1;
          total += 1;
        }
      }
    }
  }
  for (int v = 0; v < 256; ++v) bits[v] = std::log2((total + 1) / (count[v] + 0.5));
}

// The decoder's picture of the current values: dequantised exactly as it does,
// synthesised with its own level routines, and its error against the samples
// over the transformed region.
void PlaneEncoder::Reconstruct(const PlaneJob& job) {
  const int w = job.width, levels = job.levels;
  const int limit = levels - job.uncodedLevels;
  const int cw = (w >> levels) << levels, ch = (job.height >> levels) << levels;
  rebuilt_ = dequantised_;
  int r = job.height >> levels, c = w >> levels;
  for (int j = 1; j <= levels; ++j) {
    r *= 2;
    c *= 2;
    if (j <= limit) {
      (void)SynthesizeLevel(rebuilt_.data(), w, r, c);
    } else {
      (void)InterpolateLevel(rebuilt_.data(), w, r, c);
    }
  }
  for (int y = 0; y < ch; ++y) {
    const size_t base = static_cast<size_t>(y) * w;
    for (int x = 0; x < cw; ++x) {
      error_[base + x] = static_cast<float>(rebuilt_[base + x] - job.samples[base + x]);
    }
    if (job.targetShift != nullptr) {
      for (int x = 0; x < cw; ++x) error_[base + x] -= job.targetShift[base + x];
    }
  }
}

bool PlaneEncoder::DecodedError(const PlaneJob& job, std::vector<float>* out) {
  if (!refinedLast_) return false;
  PlaneJob plain = job;
  plain.targetShift = nullptr;
  Reconstruct(plain);
  *out = error_;
  return true;
}

// Coordinate descent on the quantised values, coarse bands first so that finer
// ones answer what the coarser left. Each value may move one step either way
// (a detail value not across zero, and a zero detail stays zero, so the zero
// trees only grow); the error change comes from the separable responses, exact
// for the real-valued synthesis, and the decoder's own integer synthesis
// resets the error before every pass.
size_t PlaneEncoder::Refine(const PlaneJob& job, const double bits[256]) {
  const int w = job.width, h = job.height, levels = job.levels;
  const int limit = levels - job.uncodedLevels;
  const int cw = (w >> levels) << levels, ch = (h >> levels) << levels;
  if (levels == 0 || job.samples == nullptr || job.refinePasses <= 0) return 0;
  if (!vertical_.Matches(ch, levels, job.uncodedLevels, true) &&
      !vertical_.Build(ch, levels, job.uncodedLevels, true)) {
    return 0;
  }
  if (!horizontal_.Matches(cw, levels, job.uncodedLevels, false) &&
      !horizontal_.Build(cw, levels, job.uncodedLevels, false)) {
    return 0;
  }
  const size_t n = static_cast<size_t>(w) * h;
  dequantised_.assign(n, 0);
  error_.assign(n, 0.0f);
  const int bands = BandCount(levels);
  float pos[kSubbandRows], neg[kSubbandRows];
  for (int k = 0; k < bands; ++k) {
    if (k > 0 && (k - 1) / 3 >= limit) break;
    const Band band = BandAt(w, h, levels, k);
    pos[band.n] = PositiveStep(job.scalePos[band.n], job.scaleDiv[band.n]);
    neg[band.n] = NegativeStep(job.scaleNeg[band.n], job.scaleDiv[band.n]);
    for (int r = band.row0; r < band.row0 + band.rows; ++r) {
      for (int c = band.col0; c < band.col0 + band.cols; ++c) {
        const size_t at = static_cast<size_t>(r) * w + c;
        dequantised_[at] = Dequantise(quantised_[at], pos[band.n], neg[band.n]);
      }
    }
  }
  const double weight = job.sampleWeight;
  const double lambda = job.lambda;
  size_t changed = 0;
  for (int pass = 0; pass < job.refinePasses; ++pass) {
    Reconstruct(job);
    size_t changedThisPass = 0;
    for (int k = 0; k < bands; ++k) {
      const int j = k == 0 ? -1 : (k - 1) / 3;
      if (j >= limit) break;
      const int m = k == 0 ? levels : levels - j;
      const Band band = BandAt(w, h, levels, k);
      const float ps = pos[band.n], ns = neg[band.n];
      for (int r = band.row0; r < band.row0 + band.rows; ++r) {
        const SynthesisResponses::Span sv = vertical_.At(m, r);
        if (sv.count == 0) continue;
        for (int c = band.col0; c < band.col0 + band.cols; ++c) {
          const size_t at = static_cast<size_t>(r) * w + c;
          const int v = quantised_[at];
          // A detail zero may move when the decoder reads it: when no root above
          // covers it. A root that moves uncovers its children (coded as roots).
          double zeroBits = 0, uncoverBits = 0;
          if (k > 0 && v == 0) {
            if (j > 0 && zeroTree_[static_cast<size_t>(r / 2) * w + static_cast<size_t>(c / 2)]) continue;
            if (zeroTree_[at]) {
              zeroBits = bits[kRootValue + 128];
              if (j + 1 < limit) uncoverBits = 4 * bits[kRootValue + 128];
            } else {
              zeroBits = bits[128];
            }
          }
          const SynthesisResponses::Span sh = horizontal_.At(m, c);
          if (sh.count == 0) continue;
          double dot = 0;
          for (int y = 0; y < sv.count; ++y) {
            dot += static_cast<double>(sv.values[y]) *
                   Dot(sh.values, &error_[static_cast<size_t>(sv.first + y) * w + sh.first], sh.count);
          }
          const double energy = sv.energy * sh.energy;
          double best = 0;
          int bestValue = v;
          int bestDelta = 0;
          for (int alt = v - 1; alt <= v + 1; alt += 2) {
            if (alt < -kMaxQuantised || alt > kMaxQuantised) continue;
            if (k > 0 && ((v > 0 && alt < 0) || (v < 0 && alt > 0))) continue;
            const int delta = Dequantise(alt, ps, ns) - dequantised_[at];
            if (delta == 0) continue;
            double rate = bits[alt + 128] - bits[v + 128];
            if (k > 0 && v == 0) rate = bits[alt + 128] + uncoverBits - zeroBits;
            if (k > 0 && alt == 0) rate = bits[128] - bits[v + 128];
            const double cost = weight * (2.0 * delta * dot + static_cast<double>(delta) * delta * energy) +
                                lambda * rate;
            if (cost < best) best = cost, bestValue = alt, bestDelta = delta;
          }
          if (bestValue == v) continue;
          quantised_[at] = static_cast<int16_t>(bestValue);
          dequantised_[at] = static_cast<int16_t>(dequantised_[at] + bestDelta);
          if (bestValue != 0) zeroTree_[at] = 0;
          ++changedThisPass;
          for (int y = 0; y < sv.count; ++y) {
            float* e = &error_[static_cast<size_t>(sv.first + y) * w + sh.first];
            const float scale = static_cast<float>(bestDelta) * sv.values[y];
            for (int x = 0; x < sh.count; ++x) e[x] += scale * sh.values[x];
          }
        }
      }
    }
    changed += changedThisPass;
    if (changedThisPass == 0) break;
  }
  return changed;
}

CodedPlane PlaneEncoder::Encode(const PlaneJob& job) {
  CodedPlane out;
  const int levels = job.levels;
  const size_t n = static_cast<size_t>(job.width) * job.height;
  const int limit = levels - job.uncodedLevels;  // detail levels that carry data
  quantised_.assign(n, 0);
  zeroTree_.assign(n, 0);
  markedBy_.assign(n, 0);
  std::vector<size_t> levelStart;

  Quantise(job);
  if (job.lambda > 0 && limit > 0) {
    treeCost_.assign(n, 0.0f);
    zeroCost_.assign(n, 0.0f);
    choice_.assign(n, 0);
    pruned_.assign(n, 0);
    // Symbol costs from the plane as plainly quantised; a further pass prunes
    // the plain plane again with the costs of the pruned one.
    for (int pass = 0; pass < job.prunePasses; ++pass) {
      MarkZeroTrees(job);
      double bits[256];
      SymbolBits(job, bits);
      if (pass > 0) quantised_ = plain_;
      Prune(job, bits);
    }
  }
  refinedLast_ = false;
  if (job.samples != nullptr && job.refinePasses > 0 && levels > 0) {
    MarkZeroTrees(job);
    double bits[256];
    SymbolBits(job, bits);
    out.refined = Refine(job, bits);
    refinedLast_ = dequantised_.size() == n;
  }
  MarkZeroTrees(job);
  BuildSequence(job, &levelStart);
  const size_t lowCount = static_cast<size_t>(BandAt(job.width, job.height, levels, 0).rows) *
                          BandAt(job.width, job.height, levels, 0).cols;

  // Everything after the last significant detail symbol is zero: an end symbol
  // there lets the decoder leave it at 0. Uncoded levels are always cut off.
  size_t end = sequence_.size();
  if (levels > 0) {
    size_t last = end;
    while (last > lowCount && (sequence_[last - 1] == 0 || sequence_[last - 1] == kRootValue ||
                               sequence_[last - 1] == kSkip)) {
      --last;
    }
    end = last;
    if (job.endAfterMarks) {
      // Move the end past every position still marked by a root coded before it.
      int32_t reach = -1;
      for (size_t k = lowCount; k < end; ++k) {
        if (sequence_[k] == kRootValue) reach = std::max(reach, reach_[k]);
      }
      while (end < sequence_.size() && reach >= static_cast<int32_t>(end)) {
        if (sequence_[end] == kRootValue) reach = std::max(reach, reach_[end]);
        ++end;
      }
    }
  }
  const bool visitsAll = job.uncodedLevels == 0;
  out.ended = levels > 0 && (end < sequence_.size() || !visitsAll);

  // A second segment restarts the model where the statistics change; it is only
  // worth it when significant symbols follow.
  size_t split = 0;
  if (job.splitLevel > 0 && job.splitLevel < limit) {
    split = levelStart[static_cast<size_t>(job.splitLevel)];
    if (split >= end) split = 0;
  }

  // Value table: the values in use, most frequent first (ties keep the model's
  // initial order useful).
  std::array<uint32_t, 256> count{};
  for (size_t k = 0; k < end; ++k) {
    if (sequence_[k] != kSkip) ++count[static_cast<size_t>(sequence_[k] + 128)];
  }
  std::array<int, 256> order{};
  int used = 0;
  for (int v = 0; v < 256; ++v) {
    if (count[v]) order[used++] = v;
  }
  std::stable_sort(order.begin(), order.begin() + used,
                   [&](int a, int b) { return count[a] > count[b]; });
  std::array<int, 256> entryOf{};
  for (int e = 0; e < used; ++e) entryOf[static_cast<size_t>(order[e])] = e;
  out.valueCount = used;
  out.data.push_back(static_cast<uint8_t>(used));
  for (int e = 0; e < used; ++e) out.data.push_back(static_cast<uint8_t>(order[e]));

  auto codeRange = [&](ArithEncoder& enc, size_t from, size_t to) {
    for (size_t k = from; k < to; ++k) {
      const int v = sequence_[k];
      if (v == kSkip) continue;
      enc.EncodeValue(entryOf[static_cast<size_t>(v + 128)]);
      ++out.symbolCount;
      if (v == kRootValue && k >= lowCount) ++out.roots;
      if (job.keepSymbols) out.symbols.push_back(v);
    }
  };
  ArithEncoder first(used);
  if (split) {
    codeRange(first, 0, split);
    first.EncodeEnd();
    ++out.symbolCount;
    if (job.keepSymbols) out.symbols.push_back(kEndMark);
    ArithEncoder second(used);
    codeRange(second, split, end);
    if (out.ended) {
      second.EncodeEnd();
      ++out.symbolCount;
      if (job.keepSymbols) out.symbols.push_back(kEndMark);
    }
    out.second = second.Finish();
  } else {
    codeRange(first, 0, end);
    if (out.ended) {
      first.EncodeEnd();
      ++out.symbolCount;
      if (job.keepSymbols) out.symbols.push_back(kEndMark);
    }
  }
  const std::vector<uint8_t> bytes = first.Finish();
  out.data.insert(out.data.end(), bytes.begin(), bytes.end());
  return out;
}

namespace {

// The value-table entry of each value + 128, as the plane was coded: entry e holds
// value data[1 + e] - 128. False when the plane holds no table.
bool EntriesOf(const CodedPlane& plane, std::array<int, 256>* entryOf) {
  if (plane.data.empty() || plane.data[0] != plane.valueCount ||
      plane.data.size() <= static_cast<size_t>(plane.valueCount)) {
    return false;
  }
  entryOf->fill(0);
  for (int e = 0; e < plane.valueCount; ++e) (*entryOf)[plane.data[1 + static_cast<size_t>(e)]] = e;
  return true;
}

}  // namespace

std::vector<uint32_t> BitsAfterEachValue(const CodedPlane& plane) {
  std::array<int, 256> entryOf;
  std::vector<uint32_t> bits;
  if (!plane.second.empty() || !EntriesOf(plane, &entryOf)) return bits;
  ArithEncoder coder(plane.valueCount);
  for (int v : plane.symbols) {
    if (v == kEndMark) continue;
    coder.EncodeValue(entryOf[static_cast<size_t>(v + 128)]);
    bits.push_back(static_cast<uint32_t>(coder.BitsSoFar()));
  }
  return bits;
}

CodedPlane WithSecondSegment(const CodedPlane& plane, size_t at, size_t lowBandSymbols) {
  size_t values = 0;
  for (int v : plane.symbols) values += v != kEndMark;
  std::array<int, 256> entryOf;
  if (!plane.second.empty() || at < lowBandSymbols || at >= values || !EntriesOf(plane, &entryOf)) return plane;
  CodedPlane out = plane;
  out.data.resize(1 + static_cast<size_t>(plane.valueCount));
  out.symbols.clear();
  out.symbolCount = 0;
  ArithEncoder segments[2] = {ArithEncoder(plane.valueCount), ArithEncoder(plane.valueCount)};
  size_t seen = 0;
  for (int v : plane.symbols) {
    if (v == kEndMark) continue;  // the plane's own end comes after the last value
    if (seen == at) {
      segments[0].EncodeEnd();
      out.symbols.push_back(kEndMark);
      ++out.symbolCount;
    }
    segments[seen >= at].EncodeValue(entryOf[static_cast<size_t>(v + 128)]);
    out.symbols.push_back(v);
    ++out.symbolCount;
    ++seen;
  }
  segments[1].EncodeEnd();
  out.symbols.push_back(kEndMark);
  ++out.symbolCount;
  const std::vector<uint8_t> first = segments[0].Finish();
  out.data.insert(out.data.end(), first.begin(), first.end());
  out.second = segments[1].Finish();
  return out;
}

}  // namespace kdz
