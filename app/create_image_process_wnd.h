// The disk-image window: copies a drive, or a stretch of its sectors, into an
// image file on a worker thread (CopyPathToImage) and shows the percent, the
// sectors copied, those that could not be read, the speed and the time left.
// Closes with 1 when the copy is complete (also when some sectors could not
// be read: badSectors() tells), 2 when the user stopped it and 3 when it
// failed; the image and its map are kept as far as they were written in every
// case, so that a stopped copy can be continued.
#pragma once

#include <QString>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "app/job_runner.h"
#include "app/pop_up_wnd.h"
#include "platform/language_manager.h"

class QLabel;
class QProgressBar;
class QPushButton;

namespace velmira {

struct ImageJob;

class CCreateImageProcessWnd : public CPopUpWnd {
  Q_OBJECT

 public:
  enum Code { kClosedComplete = 1, kClosedCancelled = 2, kClosedFailed = 3 };
  static constexpr int kWidth = 450;
  static constexpr int kHeight = 250;

  // The source is a drive (or an image file) by path; sectorCount 0 copies
  // from startSector to its end. The copy starts when the window is shown;
  // with `resume` it goes on with the unfinished copy that the map beside the
  // image records.
  CCreateImageProcessWnd(QWidget* owner, const QString& imagePath, const std::string& sourcePath,
                         uint64_t startSector, uint64_t sectorCount, bool resume = false);
  ~CCreateImageProcessWnd() override;

  // The copy's result once the window has closed: 0, an error, kCancelled.
  [[nodiscard]] int32_t result() const { return m_result.load(); }
  // Sectors that could not be read (zeros in the image), once the window has closed.
  [[nodiscard]] uint64_t badSectors() const { return m_badSectors.load(); }
  // The token every progress report of the copy passes.
  [[nodiscard]] CancelToken& token() { return m_token; }

 protected:
  void OnCloseRequest() override;
  void showEvent(QShowEvent* event) override;

 private:
  static int32_t Progress(void* user, int32_t percent, uint64_t sectorsDone, uint64_t sectorsTotal,
                          int32_t secondsLeft);
  void ShowProgress(int percent, uint64_t sectorsDone, uint64_t sectorsTotal, int secondsLeft, uint64_t bad,
                    uint64_t bytesPerSecond);
  [[nodiscard]] QString Message(const char* id) const;

  QString m_imagePath;
  std::string m_sourcePath;
  uint64_t m_startSector;
  uint64_t m_sectorCount;
  bool m_resume;
  // The copy in progress; read by the progress reports on the worker thread.
  const ImageJob* m_job = nullptr;
  std::atomic<uint64_t> m_badSectors{0};
  TextSection m_messages;
  // Each progress report passes it; the stop question pauses the copy there.
  CancelToken m_token;
  std::unique_ptr<CJobRunner> m_runner;
  std::atomic<int32_t> m_result{0};
  QLabel* m_stage;
  QLabel* m_percent;
  QLabel* m_time;
  QLabel* m_sectors;
  QLabel* m_unreadable;
  QProgressBar* m_progress;
  QPushButton* m_cancelButton;
};

}  // namespace velmira
