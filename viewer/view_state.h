// The viewer's display state and the portable geometry of painting, panning and zooming.
//
// The Windows window class calls these functions and passes their results straight to
// GDI; no platform header is needed here. Products of an extent and the two scales are
// evaluated left to right in IEEE double precision and truncated toward zero: the
// drawn size of a picture depends on the last bit (22 pixels at 15/22 draw 14, not 15),
// so a 32-bit x86 build must use SSE arithmetic (-msse2 -mfpmath=sse), not the x87
// unit's extended precision.
#pragma once

#include <array>
#include <cstdint>

namespace kdz {

// A rectangle in window coordinates, laid out like the platform's RECT.
struct ViewRect {
  int32_t left = 0;
  int32_t top = 0;
  int32_t right = 0;
  int32_t bottom = 0;
};

inline bool operator==(const ViewRect& a, const ViewRect& b) {
  return a.left == b.left && a.top == b.top && a.right == b.right && a.bottom == b.bottom;
}

// One state for the whole library: zooming or panning in one window changes the state
// with which every window paints next.
struct ViewState {
  double autoScale = 1.0;      // fit factor; changed only by paints of too-large images
  double userScale = 1.0;      // user zoom; changed only by Enlarge and Reduce
  double panX = 0.0;           // the picture is drawn this many device pixels left
  double panY = 0.0;           // ... and this many up
  int16_t displayWidth = 0;    // extent the two scales multiply: the image's, or the
  int16_t displayHeight = 0;   // window's when the window holds the whole image
  ViewRect exposedRight;       // strips uncovered by the last pan, erased by the next
  ViewRect exposedBelow;       // paint
};

// The state every viewer window of the process shares.
ViewState& SharedViewState();

// A strip waits to be erased while its left, right or top is non-zero; the bottom is
// not looked at, so a strip with only a bottom counts as empty.
bool IsPending(const ViewRect& strip);

// Double to int32 toward zero. Values beyond the int32 range (a zoom enlarged many
// times over) saturate and NaN gives 0, where a plain cast would be undefined.
int32_t TruncToInt32(double value);

// trunc(extent x userScale x autoScale): the drawn extent for a base extent.
int32_t ScaledExtent(int32_t extent, const ViewState& state);

// What one paint does, in the order the window class carries it out.
struct PaintPlan {
  // Strips to invalidate with erasing before drawing (InvalidateRect(..., TRUE));
  // the platform then sends one more paint that erases them. Right strip first.
  std::array<ViewRect, 2> erase{};
  int eraseCount = 0;
  // False when the image has no pixels: nothing is drawn and the scales stay.
  bool draw = false;
  // Viewport origin (SetViewportOrgEx): minus the pan offset, truncated toward zero.
  int32_t originX = 0;
  int32_t originY = 0;
  // StretchDIBits destination at (0, 0) in the shifted coordinates, and the source:
  // the whole bitmap from (0, 0).
  int32_t destWidth = 0;
  int32_t destHeight = 0;
  int32_t srcWidth = 0;
  int32_t srcHeight = 0;
};

// Plans the paint of an imageWidth x imageHeight bitmap in a window whose rectangle
// (GetWindowRect) is windowRect, and updates the state as the paint does: takes the
// pending strips (clearing them), and sets the display extents and, when the image
// exceeds the window, the automatic scale. The window's width and height are taken as
// signed 16-bit values.
//
// An image that exceeds the window in either direction keeps its own extent and is
// shrunk by the factor of the direction that exceeds more (the height's on a tie); an
// image that fits is stretched to the window, proportions not kept, by the last
// automatic scale.
PaintPlan PlanPaint(ViewState& state, const ViewRect& windowRect, int32_t imageWidth,
                    int32_t imageHeight);

// A left click at client point (x, y): the click, scaled by userScale x autoScale,
// becomes the new pan offset. When the picture moves further left (or up), the strip
// that its right (or bottom) edge leaves, 2 pixels wider than the move, is recorded for
// the next paint; a click left of (or above) the current offset leaves that strip
// alone. The strips span the window's full height (width), from windowRect.
void Pan(ViewState& state, const ViewRect& windowRect, int32_t imageWidth,
         int32_t imageHeight, int32_t x, int32_t y);

// The menu's zoom commands: the user scale doubles or halves, without bound, and the
// pan offset returns to 0. One Enlarge and one Reduce restore the former size exactly.
void Enlarge(ViewState& state);
void Reduce(ViewState& state);

}  // namespace kdz
