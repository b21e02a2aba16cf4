#pragma once

#include <QObject>

#include <atomic>
#include <map>
#include <memory>

class CCameraList;
class CImageWindow;
class CKivOpenCVVideoEngine;
class CKivVideoEngineListener;
class QFrame;
class QTabBar;
class QToolButton;
class QWidget;

// The camera tabs of the main window: "Main Camera" shows the input window, each "Preview Cam"
// tab another free camera with its own engine and window, and "+" (always last) opens the next
// one. The tab bar, pane and close button are laid out by the dialog; this class owns what they
// show: the preview engines and windows, which the camera list's records point at.
//
// Threads: UI thread only, except CurrentTab(), which the capture threads read.
class CPreviewTabs : public QObject {
  Q_OBJECT

 public:
  // `windowParent` owns the preview windows; `listener` receives the preview engines' frames.
  CPreviewTabs(QWidget* windowParent, QTabBar* tabBar, QFrame* pane, QToolButton* closeButton,
               CImageWindow* mainWindow, CKivVideoEngineListener& listener);
  ~CPreviewTabs() override;

  // The list the previews are recorded in; set once the cameras are known.
  void SetCameraList(CCameraList* cameras) { m_cameras = cameras; }
  // Capture size of newly opened previews.
  void SetFrameSize(int width, int height);
  // Adds the "Main Camera" and "+" tabs.
  void CreateTabs();

  // Opens a preview on the first free camera in a new tab before "+". Returns 0 (and goes back
  // to the main tab) when no camera is free or it cannot be opened.
  int AddPreviewTab();
  // Closes the selected preview tab (never the main one) and its engine.
  void ClosePreviewTab();
  // Places the tab bar on the top edge of the pane and every camera picture below it.
  void Layout();
  void UpdateCloseButton();
  // "+" is enabled only while a free camera is left to open.
  void UpdatePlusTab();
  // Stops the preview engines (not the main one).
  void StopPreviews();
  // Deletes the preview engines and windows; call after StopPreviews and before the list goes.
  void ReleasePreviews();

  int CurrentTab() const { return m_currentTab.load(); }

 signals:
  // A preview was opened or closed: the cameras the main camera may switch to have changed.
  void PreviewAdded();
  void PreviewClosed();

 private:
  void OnTabChanged(int tab);
  void ShowTabWindow(int tab);
  void BackToMain();

  QWidget* m_windowParent;
  QTabBar* m_tabBar;
  QFrame* m_pane;
  QToolButton* m_closeButton;
  CImageWindow* m_mainWindow;
  CKivVideoEngineListener& m_listener;
  CCameraList* m_cameras = nullptr;
  int m_frameWidth = 640;
  int m_frameHeight = 480;
  std::atomic<int> m_currentTab{0};
  // By camera index. The engine is declared last so that it goes first: its capture thread
  // feeds the window.
  struct SPreview {
    std::unique_ptr<CImageWindow> window;
    std::unique_ptr<CKivOpenCVVideoEngine> engine;
  };
  std::map<int, SPreview> m_previews;
};
