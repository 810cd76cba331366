// Block devices coming and going: a libudev monitor on the "block"
// subsystem, read on the GUI thread. Where udev sends nothing (a container,
// a build without libudev) the monitor is simply silent.
#pragma once

#include <QObject>

class QSocketNotifier;
struct udev;
struct udev_monitor;

namespace velmira {

class DeviceMonitor : public QObject {
  Q_OBJECT

 public:
  explicit DeviceMonitor(QObject* parent = nullptr);
  ~DeviceMonitor() override;

  // Whether udev events can arrive at all.
  [[nodiscard]] bool IsActive() const { return m_notifier != nullptr; }

 signals:
  void deviceArrived();  // a disk or partition was added
  void deviceRemoved();  // a disk or partition was removed

 private:
  void OnReadable();

  udev* m_udev = nullptr;
  udev_monitor* m_monitor = nullptr;
  QSocketNotifier* m_notifier = nullptr;
};

}  // namespace velmira
