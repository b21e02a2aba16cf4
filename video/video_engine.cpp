#include "video/video_engine.h"

#include "video/device_list.h"

CKivVideoEngine::CKivVideoEngine() { EnumerateDevices(); }

CKivVideoEngine::~CKivVideoEngine() = default;

int CKivVideoEngine::EnumerateDevices() {
  std::unique_ptr<CDeviceEnumerator> enumerator = veldrin::CreateDeviceEnumerator();
  m_nDeviceCount = static_cast<unsigned int>(
      veldrin::FillDeviceSlots(enumerator->Enumerate(), m_devices, m_locators));
  return static_cast<int>(m_nDeviceCount);
}

int CKivVideoEngine::IsDeviceAvailable(int) { return 0; }

int CKivVideoEngine::FindFirstAvailableDevice() { return -1; }

int CKivVideoEngine::Setup(int, int, int, CKivVideoEngineListener*) { return 1; }

int CKivVideoEngine::Start() { return 0; }

int CKivVideoEngine::Stop() { return 1; }

int CKivVideoEngine::IsRealSense(int index) const {
  return veldrin::IsRealSenseSlot(m_devices, m_nDeviceCount, index);
}

SDeviceLocator CKivVideoEngine::GetDeviceLocator(int index) const {
  if (static_cast<unsigned int>(index) >= m_nDeviceCount) return SDeviceLocator{};
  return m_locators[index];
}
