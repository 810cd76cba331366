#include "app/device_monitor.h"

#include <QSocketNotifier>
#include <cstring>

#ifdef VELMIRA_HAVE_UDEV
#include <libudev.h>
#endif

namespace velmira {

DeviceMonitor::DeviceMonitor(QObject* parent) : QObject(parent) {
#ifdef VELMIRA_HAVE_UDEV
  m_udev = udev_new();
  if (m_udev == nullptr) return;
  m_monitor = udev_monitor_new_from_netlink(m_udev, "udev");
  if (m_monitor == nullptr) return;
  if (udev_monitor_filter_add_match_subsystem_devtype(m_monitor, "block", nullptr) < 0 ||
      udev_monitor_enable_receiving(m_monitor) < 0) {
    return;
  }
  const int fd = udev_monitor_get_fd(m_monitor);
  if (fd < 0) return;
  m_notifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
  connect(m_notifier, &QSocketNotifier::activated, this, &DeviceMonitor::OnReadable);
#endif
}

DeviceMonitor::~DeviceMonitor() {
#ifdef VELMIRA_HAVE_UDEV
  delete m_notifier;
  if (m_monitor != nullptr) udev_monitor_unref(m_monitor);
  if (m_udev != nullptr) udev_unref(m_udev);
#endif
}

void DeviceMonitor::OnReadable() {
#ifdef VELMIRA_HAVE_UDEV
  // Drain what is waiting; each event is one device.
  for (int i = 0; i < 256; ++i) {
    udev_device* device = udev_monitor_receive_device(m_monitor);
    if (device == nullptr) break;
    const char* action = udev_device_get_action(device);
    if (action != nullptr && std::strcmp(action, "add") == 0) emit deviceArrived();
    if (action != nullptr && std::strcmp(action, "remove") == 0) emit deviceRemoved();
    udev_device_unref(device);
  }
#endif
}

}  // namespace velmira
