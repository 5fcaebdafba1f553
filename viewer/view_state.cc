// Geometry of painting, panning and zooming over the shared view state.
#include "viewer/view_state.h"

#include <cmath>
#include <limits>

namespace kdz {
namespace {

// The low 16 bits of a difference, as the window extents and excesses are compared.
// Unsigned arithmetic keeps the subtraction itself free of overflow.
int16_t LowInt16Difference(int32_t a, int32_t b) {
  return static_cast<int16_t>(static_cast<uint16_t>(static_cast<uint32_t>(a) -
                                                    static_cast<uint32_t>(b)));
}

int32_t Int32Difference(int32_t a, int32_t b) {
  return static_cast<int32_t>(static_cast<uint32_t>(a) - static_cast<uint32_t>(b));
}

// value x userScale x autoScale, left to right.
double Scaled(double value, const ViewState& state) {
  return value * state.userScale * state.autoScale;
}

}  // namespace

ViewState& SharedViewState() {
  static ViewState state;
  return state;
}

bool IsPending(const ViewRect& strip) {
  return strip.left != 0 || strip.right != 0 || strip.top != 0;
}

int32_t TruncToInt32(double value) {
  if (std::isnan(value)) return 0;
  if (value >= 2147483647.0) return std::numeric_limits<int32_t>::max();
  if (value <= -2147483648.0) return std::numeric_limits<int32_t>::min();
  return static_cast<int32_t>(value);
}

int32_t ScaledExtent(int32_t extent, const ViewState& state) {
  return TruncToInt32(Scaled(static_cast<double>(extent), state));
}

PaintPlan PlanPaint(ViewState& state, const ViewRect& windowRect, int32_t imageWidth,
                    int32_t imageHeight) {
  PaintPlan plan;
  const int16_t w = LowInt16Difference(windowRect.right, windowRect.left);
  const int16_t h = LowInt16Difference(windowRect.bottom, windowRect.top);

  if (IsPending(state.exposedRight)) plan.erase[plan.eraseCount++] = state.exposedRight;
  if (IsPending(state.exposedBelow)) plan.erase[plan.eraseCount++] = state.exposedBelow;
  state.exposedRight = ViewRect{};
  state.exposedBelow = ViewRect{};

  plan.originX = TruncToInt32(-state.panX);
  plan.originY = TruncToInt32(-state.panY);

  // A bitmap without pixels would make the fit factor infinite or NaN, and the state
  // is shared with every other window: leave it as it is.
  if (imageWidth <= 0 || imageHeight <= 0) return plan;

  if (w < imageWidth || h < imageHeight) {
    const int16_t excessWidth = LowInt16Difference(w, imageWidth);
    const int16_t excessHeight = LowInt16Difference(h, imageHeight);
    if (excessHeight > excessWidth) {
      state.autoScale = static_cast<double>(w) / static_cast<double>(imageWidth);
    } else {
      state.autoScale = static_cast<double>(h) / static_cast<double>(imageHeight);
    }
    state.displayWidth = static_cast<int16_t>(imageWidth);
    state.displayHeight = static_cast<int16_t>(imageHeight);
  } else {
    state.displayWidth = w;
    state.displayHeight = h;
  }

  plan.draw = true;
  plan.destWidth = ScaledExtent(state.displayWidth, state);
  plan.destHeight = ScaledExtent(state.displayHeight, state);
  plan.srcWidth = imageWidth;
  plan.srcHeight = imageHeight;
  return plan;
}

void Pan(ViewState& state, const ViewRect& windowRect, int32_t imageWidth,
         int32_t imageHeight, int32_t x, int32_t y) {
  const double pictureRight = Scaled(static_cast<double>(imageWidth), state);
  const double pictureBottom = Scaled(static_cast<double>(imageHeight), state);
  const double newPanX = Scaled(static_cast<double>(x), state);
  const double newPanY = Scaled(static_cast<double>(y), state);

  // The strip's far edge is measured from its truncated near edge.
  if (newPanX > state.panX) {
    ViewRect& strip = state.exposedRight;
    strip.left = TruncToInt32(pictureRight - newPanX);
    strip.top = 0;
    strip.right = TruncToInt32((newPanX - state.panX) + strip.left + 2.0);
    strip.bottom = Int32Difference(windowRect.bottom, windowRect.top);
  }
  if (newPanY > state.panY) {
    ViewRect& strip = state.exposedBelow;
    strip.left = 0;
    strip.top = TruncToInt32(pictureBottom - newPanY);
    strip.right = Int32Difference(windowRect.right, windowRect.left);
    strip.bottom = TruncToInt32((newPanY - state.panY) + strip.top + 2.0);
  }
  state.panX = newPanX;
  state.panY = newPanY;
}

void Enlarge(ViewState& state) {
  state.userScale *= 2.0;
  state.panX = 0.0;
  state.panY = 0.0;
}

void Reduce(ViewState& state) {
  state.userScale *= 0.5;
  state.panX = 0.0;
  state.panY = 0.0;
}

}  // namespace kdz
