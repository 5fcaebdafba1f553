// The adaptive arithmetic encoder (Witten, Neal and Cleary's coder with 16-bit
// registers and a frequency total capped at 4096), mirror of the plane decoder.
#include "encoder/arith_encoder.h"

#include <algorithm>

namespace kdz {
namespace {

constexpr int32_t kTopValue = 0xFFFF;
constexpr int32_t kFirstQuarter = 0x4000;
constexpr int32_t kHalf = 0x8000;
constexpr int32_t kThirdQuarter = 0xC000;
constexpr int kMaxFrequency = 4096;

}  // namespace

ArithEncoder::ArithEncoder(int valueCount)
    : valueCount_(std::clamp(valueCount, 0, 255)), symbolCount_(valueCount_ + 1) {
  low_ = 0;
  high_ = kTopValue;
  std::fill(std::begin(indexToSymbol_), std::end(indexToSymbol_), uint8_t{0});
  std::fill(std::begin(symbolToIndex_), std::end(symbolToIndex_), uint8_t{0});
  std::fill(std::begin(freq_), std::end(freq_), 0);
  std::fill(std::begin(cumFreq_), std::end(cumFreq_), 0);
  for (int k = 0; k < valueCount_; ++k) {
    indexToSymbol_[k + 1] = static_cast<uint8_t>(k);
    symbolToIndex_[k] = static_cast<uint8_t>(k + 1);
  }
  for (int i = 0; i <= symbolCount_; ++i) {
    freq_[i] = 1;
    cumFreq_[i] = symbolCount_ - i;
  }
  freq_[0] = 0;
}

void ArithEncoder::EncodeValue(int tableEntry) {
  if (finished_ || tableEntry < 0 || tableEntry >= valueCount_) {
    ++badCalls_;
    return;
  }
  const int index = symbolToIndex_[tableEntry];
  EncodeIndex(index);
  UpdateModel(index);
}

void ArithEncoder::EncodeEnd() {
  if (finished_) {
    ++badCalls_;
    return;
  }
  EncodeIndex(symbolCount_);
}

void ArithEncoder::EncodeIndex(int index) {
  const int32_t range = high_ - low_ + 1;
  const int32_t total = cumFreq_[0];
  high_ = low_ + (range * cumFreq_[index - 1]) / total - 1;
  low_ = low_ + (range * cumFreq_[index]) / total;
  for (;;) {
    if (high_ < kHalf) {
      BitPlusFollow(0);
    } else if (low_ >= kHalf) {
      BitPlusFollow(1);
      low_ -= kHalf;
      high_ -= kHalf;
    } else if (low_ >= kFirstQuarter && high_ < kThirdQuarter) {
      ++bitsToFollow_;
      low_ -= kFirstQuarter;
      high_ -= kFirstQuarter;
    } else {
      break;
    }
    low_ = 2 * low_;
    high_ = 2 * high_ + 1;
  }
}

// Must match the decoder's update step for step, index swaps included.
void ArithEncoder::UpdateModel(int index) {
  if (cumFreq_[0] == kMaxFrequency) {
    int cum = 0;
    for (int i = symbolCount_; i >= 0; --i) {
      freq_[i] = (freq_[i] + 1) / 2;
      cumFreq_[i] = cum;
      cum += freq_[i];
    }
  }
  int i = index;
  while (freq_[i] == freq_[i - 1]) --i;
  if (i < index) {
    const uint8_t atI = indexToSymbol_[i];
    const uint8_t atIndex = indexToSymbol_[index];
    indexToSymbol_[i] = atIndex;
    indexToSymbol_[index] = atI;
    symbolToIndex_[atIndex] = static_cast<uint8_t>(i);
    symbolToIndex_[atI] = static_cast<uint8_t>(index);
  }
  ++freq_[i];
  while (i > 0) {
    --i;
    ++cumFreq_[i];
  }
}

void ArithEncoder::PutBit(int bit) {
  partialByte_ |= static_cast<uint32_t>(bit) << partialBits_;
  ++bitCount_;
  if (++partialBits_ == 8) {
    bytes_.push_back(static_cast<uint8_t>(partialByte_));
    partialByte_ = 0;
    partialBits_ = 0;
  }
}

void ArithEncoder::BitPlusFollow(int bit) {
  PutBit(bit);
  for (; bitsToFollow_ > 0; --bitsToFollow_) PutBit(!bit);
}

// After the last symbol, low < half <= high and the interval is not inside the
// middle half, so it holds [first quarter, half) or [half, third quarter). Two bits
// (plus pending ones) pick that quarter; any bits after them, zeros or the next
// plane's data, leave the code value inside the interval.
std::vector<uint8_t> ArithEncoder::Finish() {
  if (!finished_) {
    finished_ = true;
    ++bitsToFollow_;
    BitPlusFollow(low_ < kFirstQuarter ? 0 : 1);
    if (partialBits_ > 0) {
      bytes_.push_back(static_cast<uint8_t>(partialByte_));
      partialByte_ = 0;
      partialBits_ = 0;
    }
  }
  return bytes_;
}

}  // namespace kdz
