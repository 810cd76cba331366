// The disk-image window: copies a drive, or a stretch of its sectors, into an
// image file on a worker thread (CopyPathToImage) and shows the percent, the
// sectors copied and the time left. Closes with 1 when the copy is complete,
// 2 when the user stopped it and 3 when it failed; the image is kept as far
// as it was written in every case.
#pragma once

#include <QString>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "app/pop_up_wnd.h"
#include "platform/language_manager.h"

class QLabel;
class QProgressBar;
class QPushButton;

namespace velmira {

class CCreateImageProcessWnd : public CPopUpWnd {
  Q_OBJECT

 public:
  enum Code { kClosedComplete = 1, kClosedCancelled = 2, kClosedFailed = 3 };
  static constexpr int kWidth = 450;
  static constexpr int kHeight = 250;

  // The source is a drive (or an image file) by path; sectorCount 0 copies
  // from startSector to its end. The copy starts when the window is shown.
  CCreateImageProcessWnd(QWidget* owner, const QString& imagePath, const std::string& sourcePath,
                         uint64_t startSector, uint64_t sectorCount);
  ~CCreateImageProcessWnd() override;

  // The copy's result once the window has closed: 0, an error, kCancelled.
  [[nodiscard]] int32_t result() const { return m_result.load(); }

  // The lock every progress report runs under; one image copy runs at a
  // time. The cancel question holds it, so the copy waits meanwhile.
  static std::mutex& ImageLock();

 protected:
  void OnCloseRequest() override;
  void showEvent(QShowEvent* event) override;

 private:
  static int32_t Progress(void* user, int32_t percent, uint64_t sectorsDone, uint64_t sectorsTotal,
                          int32_t secondsLeft);
  void ShowProgress(int percent, uint64_t sectorsDone, uint64_t sectorsTotal, int secondsLeft);
  [[nodiscard]] QString Message(const char* id) const;

  QString m_imagePath;
  std::string m_sourcePath;
  uint64_t m_startSector;
  uint64_t m_sectorCount;
  TextSection m_messages;
  std::atomic<bool> m_cancel{false};
  std::atomic<bool> m_done{false};
  std::atomic<bool> m_asking{false};
  std::atomic<int32_t> m_result{0};
  std::thread m_worker;
  bool m_started = false;
  QLabel* m_stage;
  QLabel* m_percent;
  QLabel* m_time;
  QLabel* m_sectors;
  QProgressBar* m_progress;
  QPushButton* m_cancelButton;
};

}  // namespace velmira
