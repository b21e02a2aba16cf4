#pragma once

#include <opencv2/core/utility.hpp>

#include <utility>

namespace veldrin {

// `body` over `range` on OpenCV's worker threads. ThreadSanitizer cannot see how TBB (not
// instrumented) hands work to its threads and joins them, and would report every body as racing
// with its caller; in such builds the body runs on the calling thread instead.
template <typename TBody>
void ParallelRows(const cv::Range& range, TBody&& body) {
#if defined(__SANITIZE_THREAD__)
  body(range);
#else
  cv::parallel_for_(range, std::forward<TBody>(body));
#endif
}

}  // namespace veldrin
