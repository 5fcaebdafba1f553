/* The C interface of kdz.wasm: decode, header, paint geometry and information text
 * over the public API and the portable viewer. Every pointer is an offset into the
 * module's memory; the JavaScript loader (web/src/kdz.mjs) is its one caller, and the
 * record layouts below are mirrored there field by field.
 *
 * Nothing here keeps state between calls: every decode has its own decoder state,
 * and the caller passes the view state in and reads it back. */
#ifndef KDZ_WASM_H_
#define KDZ_WASM_H_

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Memory the caller fills (file bytes) or reads and gives back. */
void* kdz_alloc(size_t size);
void kdz_free(void* p);

/* A decoded picture, or why there is none. Read through the accessors, freed with
 * kdz_picture_free. */
typedef struct kdz_picture kdz_picture;

/* Decodes size bytes at data into the 24-bit bitmap (eight_bit 0) or the plug-in's
 * 8-bit palette bitmap (1). max_pixels is the pixel limit, a whole number below 2^53.
 * Returns null only when not even the result record can be allocated. */
kdz_picture* kdz_decode(const uint8_t* data, size_t size, int eight_bit, double max_pixels);
void kdz_picture_free(kdz_picture* picture);
/* The library's error code (0 for a picture) and message (empty for a picture). */
int kdz_picture_error(const kdz_picture* picture);
const char* kdz_picture_message(const kdz_picture* picture);
int kdz_picture_width(const kdz_picture* picture);
int kdz_picture_height(const kdz_picture* picture);
int kdz_picture_bits_per_pixel(const kdz_picture* picture);
int kdz_picture_colors_used(const kdz_picture* picture);
/* The bitmap block as the viewer holds it: 40-byte information header, 256 colour
 * table entries of blue, green, red, 0, then rows bottom-up padded to 4 bytes. */
const uint8_t* kdz_picture_block(const kdz_picture* picture);
size_t kdz_picture_block_size(const kdz_picture* picture);

/* What the header says. Integer fields in this order, each int32: */
enum {
  KDZ_HEADER_ERROR, /* the library's error code; the rest is valid when 0 */
  KDZ_HEADER_WIDTH,
  KDZ_HEADER_HEIGHT,
  KDZ_HEADER_LEVELS,
  KDZ_HEADER_UNCODED_Y,
  KDZ_HEADER_UNCODED_I,
  KDZ_HEADER_UNCODED_Q,
  KDZ_HEADER_HEADER_LENGTH,
  KDZ_HEADER_TRANSFORM_MODE,
  KDZ_HEADER_LUMA_BIAS,
  KDZ_HEADER_PLANE_OFFSET_Y, /* offsets are unsigned 32-bit */
  KDZ_HEADER_PLANE_OFFSET_I,
  KDZ_HEADER_PLANE_OFFSET_Q,
  KDZ_HEADER_SEGMENT_OFFSET_Y,
  KDZ_HEADER_SEGMENT_OFFSET_I,
  KDZ_HEADER_SEGMENT_OFFSET_Q,
  KDZ_HEADER_VALUE_COUNT_Y, /* -1 where the table lies outside the file */
  KDZ_HEADER_VALUE_COUNT_I,
  KDZ_HEADER_VALUE_COUNT_Q,
  KDZ_HEADER_FILE_SIZE,
  KDZ_HEADER_DECODABLE,
  KDZ_HEADER_FIELD_COUNT
};
typedef struct kdz_header kdz_header;
kdz_header* kdz_read_header(const uint8_t* data, size_t size);
void kdz_header_free(kdz_header* header);
const int32_t* kdz_header_fields(const kdz_header* header);
/* The first 8 bytes of the file (fewer for a shorter file), then a NUL. */
const char* kdz_header_signature(const kdz_header* header);
/* The error's message when the read failed, else why the file does not decode (empty
 * when it does). */
const char* kdz_header_message(const kdz_header* header);

/* The view state, flattened: the viewer's ViewState with its 16-bit display extents
 * widened to int32 (they are taken back as 16-bit) and each strip as left, top,
 * right, bottom. */
typedef struct kdz_view {
  double autoScale;
  double userScale;
  double panX;
  double panY;
  int32_t displayWidth;
  int32_t displayHeight;
  int32_t exposedRight[4];
  int32_t exposedBelow[4];
} kdz_view;

/* One paint: the strips to erase first (erase_count of them, right strip first),
 * whether to draw, the viewport origin, the destination extent and the source extent. */
typedef struct kdz_paint_plan {
  int32_t eraseCount;
  int32_t erase[2][4];
  int32_t draw;
  int32_t originX;
  int32_t originY;
  int32_t destWidth;
  int32_t destHeight;
  int32_t srcWidth;
  int32_t srcHeight;
} kdz_paint_plan;

/* The window is window_width x window_height at (0, 0). */
void kdz_plan_paint(kdz_view* view, int32_t window_width, int32_t window_height,
                    int32_t image_width, int32_t image_height, kdz_paint_plan* plan);
void kdz_pan(kdz_view* view, int32_t window_width, int32_t window_height, int32_t image_width,
             int32_t image_height, int32_t x, int32_t y);
void kdz_enlarge(kdz_view* view);
void kdz_reduce(kdz_view* view);
/* The information box's text, NUL-terminated, in a buffer that the next call reuses. */
const char* kdz_image_info(double decode_seconds, double compression_ratio, int32_t image_width,
                           int32_t image_height, const kdz_view* view);
double kdz_compression_ratio(double file_size, int32_t image_width, int32_t image_height);

/* Bytes of the heap in use, and the most in use since the last reset; for the tests
 * of leaks and limits. */
size_t kdz_heap_in_use(void);
size_t kdz_heap_peak(void);
void kdz_heap_reset_peak(void);

#ifdef __cplusplus
}
#endif

#endif /* KDZ_WASM_H_ */
