#pragma once

#include <opencv2/core/utility.hpp>

namespace veldrin {

namespace detail {

// Hands the body to OpenCV by reference: the lambda overload of cv::parallel_for_ copies it into
// a std::function, which allocates once the captures outgrow its small buffer, every frame.
template <typename TBody>
class CRowsBody final : public cv::ParallelLoopBody {
 public:
  explicit CRowsBody(const TBody& body) : m_body(body) {}
  void operator()(const cv::Range& range) const override { m_body(range); }

 private:
  const TBody& m_body;
};

}  // namespace detail

// `body` over `range` on OpenCV's worker threads. ThreadSanitizer cannot see how TBB (not
// instrumented) hands work to its threads and joins them, and would report every body as racing
// with its caller; in such builds the body runs on the calling thread instead.
template <typename TBody>
void ParallelRows(const cv::Range& range, const TBody& body) {
#if defined(__SANITIZE_THREAD__)
  body(range);
#else
  cv::parallel_for_(range, detail::CRowsBody<TBody>(body));
#endif
}

}  // namespace veldrin
