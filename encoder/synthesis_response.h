// What one coefficient becomes in the picture after the decoder's synthesis, per
// direction, so that the encoder can weigh a change of one value against the
// error the decoder will actually leave.
#pragma once

#include <cstddef>
#include <vector>

namespace kdz {

// The synthesis is separable: a coefficient at plane row r and column c of level
// m reaches the samples as (column response of r) x (row response of c). This
// holds the responses of every position of one direction, computed in real
// arithmetic with the decoder's formulas, edges included: the coded levels are
// synthesised, the finest `uncodedLevels` interpolated.
class SynthesisResponses {
 public:
  struct Span {
    int first = 0;                  // first sample reached
    int count = 0;                  // samples reached (0: none)
    const float* values = nullptr;  // count weights
    double energy = 0;              // sum of the squared weights
  };

  // `length` is the transformed extent in this direction (a multiple of
  // 2^levels whose low band holds at least 2 samples); `vertical` selects the
  // vertical step, which halves its inputs. Returns false (and holds nothing)
  // when the extent cannot be transformed with `levels` levels.
  bool Build(int length, int levels, int uncodedLevels, bool vertical);

  // The response of position `index` (0 .. length >> (level - 1), minus one) of
  // level `level` (1 = finest; index below half the level's extent is the low
  // part). The span stays valid until the next Build.
  Span At(int level, int index) const;

  bool Matches(int length, int levels, int uncodedLevels, bool vertical) const {
    return built_ && length == length_ && levels == levels_ && uncodedLevels == uncoded_ &&
           vertical == vertical_;
  }

 private:
  struct Entry {
    int first = 0, count = 0;
    size_t offset = 0;
    double energy = 0;
  };
  bool built_ = false;
  int length_ = 0, levels_ = 0, uncoded_ = 0;
  bool vertical_ = false;
  std::vector<size_t> levelStart_;  // first entry of each level (index 1..levels)
  std::vector<Entry> entries_;
  std::vector<float> pool_;
};

// One level of the decoder's synthesis on a line of real values: x[0..n/2) low,
// x[n/2..n) detail in, n samples out. `vertical` as above; `interpolate` takes
// the details as absent, as the uncoded levels do.
void SynthesizeLine(double* x, int n, bool vertical, bool interpolate);

}  // namespace kdz
