#include "workstation/camera_watch.h"

#include <unistd.h>

bool CCameraWatch::Saved(const std::string& directory, const std::string& name,
                         const cv::Mat& frame, std::string& error) {
  Clear();
  error.clear();
  const std::string path = veldrin::CameraReferencePath(directory, name);
  CCameraReference reference;
  const bool made = reference.Make(frame);
  if (!made || !reference.Save(path)) {
    // A reference of an earlier calibration of that name would report a move that is not one.
    ::unlink(path.c_str());
    if (made) error = "The camera reference could not be saved in " + path + ".";
    return false;
  }
  m_reference = std::move(reference);
  m_strName = name;
  return true;
}

void CCameraWatch::Applied(const std::string& directory, const std::string& name) {
  Clear();
  if (m_reference.Load(veldrin::CameraReferencePath(directory, name))) m_strName = name;
}

void CCameraWatch::Clear() {
  m_reference = CCameraReference();
  m_strName.clear();
}

std::string CCameraWatch::Check(const cv::Mat& frame) const {
  if (m_reference.IsEmpty() || !m_reference.HasMoved(frame)) return {};
  return "The camera has moved since \"" + m_strName + "\" was saved: check the corners.";
}
