#include "workstation/fixed_point_remap.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define VELDRIN_REMAP_SSE41 1
#endif

namespace veldrin {
namespace {

// cv::remap's bilinear weights for the fractions fx, fy (in 32nds of a pixel) are exactly
// 32 (32 - fx)(32 - fy), 32 fx (32 - fy), 32 (32 - fx) fy and 32 fx fy, in units of 2^-15, and
// it rounds the sum with (s + 2^14) >> 15. Dividing out the 32: (sum of p a + 512) >> 10 with
// a the products of the fractions, which is what both loops below compute.
constexpr int kFractionMask = 31;
constexpr int kRound = 512;
constexpr int kShift = 10;

// One output pixel, any position: neighbours outside the frame count as black, as
// BORDER_CONSTANT with 0 has them.
void BorderPixel(const cv::Mat& src, int x, int y, int fractions, unsigned char* out) {
  const int fx = fractions & kFractionMask;
  const int fy = (fractions >> 5) & kFractionMask;
  if (x >= src.cols || x + 1 < 0 || y >= src.rows || y + 1 < 0) {
    out[0] = out[1] = out[2] = 0;
    return;
  }
  const int weights[4] = {(32 - fx) * (32 - fy), fx * (32 - fy), (32 - fx) * fy, fx * fy};
  int sums[3] = {kRound, kRound, kRound};
  for (int k = 0; k < 4; ++k) {
    const int sx = x + (k & 1);
    const int sy = y + (k >> 1);
    if (sx < 0 || sy < 0 || sx >= src.cols || sy >= src.rows) continue;
    const unsigned char* p = src.ptr<unsigned char>(sy) + 3 * std::ptrdiff_t{sx};
    for (int c = 0; c < 3; ++c) sums[c] += p[c] * weights[k];
  }
  for (int c = 0; c < 3; ++c) out[c] = static_cast<unsigned char>(sums[c] >> kShift);
}

#ifdef VELDRIN_REMAP_SSE41

__attribute__((target("sse4.1"))) inline __m128i Load8(const unsigned char* p) {
  return _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p));
}

// Round, shift and keep as 32-bit lanes.
__attribute__((target("sse4.1"))) inline __m128i Finish(__m128i sums) {
  return _mm_srli_epi32(_mm_add_epi32(sums, _mm_set1_epi32(kRound)), kShift);
}

// Four pixels at a time whose 2 x 2 neighbourhoods lie inside the frame with 8 bytes readable
// from each neighbourhood row; the rest pixel by pixel. Per pixel: the two source rows' six bytes
// are paired by channel, weighted across with (32 - fx, fx) in one multiply-add of bytes, then
// the two rows' sums weighted down with (32 - fy, fy) in one multiply-add of words.
__attribute__((target("sse4.1"))) void RemapRowsBgrSse41(const cv::Mat& src, cv::Mat& dst,
                                                         const cv::Mat& map1, const cv::Mat& map2,
                                                         int top, int bottom) {
  const std::ptrdiff_t width = dst.cols;
  const int step = static_cast<int>(src.step);
  const unsigned char* base = src.data;
  // The largest neighbourhood corner with both columns inside and 8 bytes readable on its rows.
  const int lastX = std::min(src.cols - 2, (src.cols * 3 - 8) / 3);
  const int lastY = src.rows - 2;
  const __m128i limits = _mm_set1_epi32(
      static_cast<int>((static_cast<unsigned>(lastY) << 16) | static_cast<unsigned>(lastX)));
  const __m128i offsetFactors =
      _mm_set1_epi32(static_cast<int>((static_cast<unsigned>(step) << 16) | 3u));
  const __m128i pairChannels =
      _mm_setr_epi8(0, 3, 1, 4, 2, 5, 8, 11, 9, 12, 10, 13, -1, -1, -1, -1);
  const __m128i spreadFirst = _mm_setr_epi8(0, 1, 0, 1, 0, 1, 2, 3, 2, 3, 2, 3, -1, -1, -1, -1);
  const __m128i spreadSecond = _mm_setr_epi8(4, 5, 4, 5, 4, 5, 6, 7, 6, 7, 6, 7, -1, -1, -1, -1);
  const __m128i packPixels = _mm_setr_epi8(0, 1, 2, 3, 4, 5, 8, 9, 10, 11, 12, 13, -1, -1, -1, -1);
  const __m128i fractionMask = _mm_set1_epi16(kFractionMask);
  const __m128i thirtyTwo = _mm_set1_epi16(32);

  for (int y = top; y < bottom; ++y) {
    const short* xy = map1.ptr<short>(y);
    const unsigned short* fractions = map2.ptr<unsigned short>(y);
    unsigned char* out = dst.ptr<unsigned char>(y);
    std::ptrdiff_t x = 0;
    for (; x + 4 <= width; x += 4) {
      const __m128i positions = _mm_loadu_si128(reinterpret_cast<const __m128i*>(xy + 2 * x));
      // Unsigned: a negative coordinate reads as beyond the limit.
      const __m128i inside = _mm_cmpeq_epi16(_mm_min_epu16(positions, limits), positions);
      if (_mm_movemask_epi8(inside) != 0xffff) {
        for (std::ptrdiff_t k = x; k < x + 4; ++k) {
          BorderPixel(src, xy[2 * k], xy[2 * k + 1], fractions[k], out + 3 * k);
        }
        continue;
      }
      const __m128i offsets = _mm_madd_epi16(positions, offsetFactors);  // 3 x + step y
      const unsigned char* p0 = base + _mm_cvtsi128_si32(offsets);
      const unsigned char* p1 = base + _mm_extract_epi32(offsets, 1);
      const unsigned char* p2 = base + _mm_extract_epi32(offsets, 2);
      const unsigned char* p3 = base + _mm_extract_epi32(offsets, 3);
      const __m128i top01 =
          _mm_shuffle_epi8(_mm_unpacklo_epi64(Load8(p0), Load8(p1)), pairChannels);
      const __m128i low01 =
          _mm_shuffle_epi8(_mm_unpacklo_epi64(Load8(p0 + step), Load8(p1 + step)), pairChannels);
      const __m128i top23 =
          _mm_shuffle_epi8(_mm_unpacklo_epi64(Load8(p2), Load8(p3)), pairChannels);
      const __m128i low23 =
          _mm_shuffle_epi8(_mm_unpacklo_epi64(Load8(p2 + step), Load8(p3 + step)), pairChannels);

      const __m128i table = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(fractions + x));
      const __m128i fx = _mm_and_si128(table, fractionMask);
      const __m128i fy = _mm_and_si128(_mm_srli_epi16(table, 5), fractionMask);
      // Bytes (32 - fx, fx) per pixel, and words (32 - fy, fy) per pixel.
      const __m128i across = _mm_or_si128(_mm_slli_epi16(fx, 8), _mm_sub_epi16(thirtyTwo, fx));
      const __m128i down = _mm_unpacklo_epi16(_mm_sub_epi16(thirtyTwo, fy), fy);
      const __m128i across01 = _mm_shuffle_epi8(across, spreadFirst);
      const __m128i across23 = _mm_shuffle_epi8(across, spreadSecond);
      const __m128i rowTop01 = _mm_maddubs_epi16(top01, across01);
      const __m128i rowLow01 = _mm_maddubs_epi16(low01, across01);
      const __m128i rowTop23 = _mm_maddubs_epi16(top23, across23);
      const __m128i rowLow23 = _mm_maddubs_epi16(low23, across23);
      // Lanes: pixel 0 b g r, pixel 1 b | pixel 1 g r | pixel 2 b g r, pixel 3 b | pixel 3 g r.
      const __m128i s0 = Finish(_mm_madd_epi16(_mm_unpacklo_epi16(rowTop01, rowLow01),
                                               _mm_shuffle_epi32(down, _MM_SHUFFLE(1, 0, 0, 0))));
      const __m128i s1 = Finish(_mm_madd_epi16(_mm_unpackhi_epi16(rowTop01, rowLow01),
                                               _mm_shuffle_epi32(down, _MM_SHUFFLE(1, 1, 1, 1))));
      const __m128i s2 = Finish(_mm_madd_epi16(_mm_unpacklo_epi16(rowTop23, rowLow23),
                                               _mm_shuffle_epi32(down, _MM_SHUFFLE(3, 2, 2, 2))));
      const __m128i s3 = Finish(_mm_madd_epi16(_mm_unpackhi_epi16(rowTop23, rowLow23),
                                               _mm_shuffle_epi32(down, _MM_SHUFFLE(3, 3, 3, 3))));
      const __m128i pixels = _mm_shuffle_epi8(
          _mm_packus_epi16(_mm_packs_epi32(s0, s1), _mm_packs_epi32(s2, s3)), packPixels);
      _mm_storel_epi64(reinterpret_cast<__m128i*>(out + 3 * x), pixels);
      const int last = _mm_extract_epi32(pixels, 2);
      std::memcpy(out + 3 * x + 8, &last, 4);
    }
    for (; x < width; ++x) BorderPixel(src, xy[2 * x], xy[2 * x + 1], fractions[x], out + 3 * x);
  }
}

// The loop's limits and offsets fit its 16-bit lanes and 32-bit offsets.
bool FitsTheSse41Loop(const cv::Mat& src) {
  return src.cols >= 4 && src.rows >= 2 && src.step < 32768 &&
         static_cast<std::uint64_t>(src.step) * static_cast<std::uint64_t>(src.rows) < INT_MAX &&
         __builtin_cpu_supports("sse4.1");
}

#endif

}  // namespace

void RemapRows(const cv::Mat& src, cv::Mat& dst, const cv::Mat& map1, const cv::Mat& map2, int top,
               int bottom) {
  CV_Assert(map1.type() == CV_16SC2 && map2.type() == CV_16UC1 && map1.size() == dst.size() &&
            map2.size() == dst.size() && dst.type() == src.type() && 0 <= top && top <= bottom &&
            bottom <= dst.rows);
#ifdef VELDRIN_REMAP_SSE41
  if (src.type() == CV_8UC3 && FitsTheSse41Loop(src)) {
    RemapRowsBgrSse41(src, dst, map1, map2, top, bottom);
    return;
  }
#endif
  cv::Mat rows = dst.rowRange(top, bottom);
  cv::remap(src, rows, map1.rowRange(top, bottom), map2.rowRange(top, bottom), cv::INTER_LINEAR,
            cv::BORDER_CONSTANT, cv::Scalar::all(0));
}

}  // namespace veldrin
