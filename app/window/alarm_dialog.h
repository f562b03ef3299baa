// The "Alarm settings" dialog: the station's name, the repeat and trailer
// windows, the recording, and the forwarding targets (MQTT, a hook program,
// a webhook). It shows an AlarmSettings and hands one back on OK; "Test"
// hands the settings shown to the caller's test (which puts them in place
// and sends a test event to every target).
#pragma once

#include <QDialog>
#include <functional>

#include "control/alarm_events.h"

class QLineEdit;
class QSpinBox;

namespace sequelo::app {

// A number field of the dialogs, with its range, unit and control id.
QSpinBox* Number(int value, int low, int high, int id, const char* suffix);

class AlarmSettingsDialog final : public QDialog {
 public:
  using Test = std::function<void(const control::AlarmSettings&)>;
  AlarmSettingsDialog(const control::AlarmSettings& settings, Test test, QWidget* parent = nullptr);
  // Every field read back.
  control::AlarmSettings Settings() const;

 private:
  control::AlarmSettings shown_;
  Test test_;
  QLineEdit* station_;
  QSpinBox* repeatWindow_;
  QSpinBox* trailerWindow_;
  QSpinBox* recordSeconds_;
  QLineEdit* recordFolder_;
  QLineEdit* mqttHost_;
  QSpinBox* mqttPort_;
  QLineEdit* mqttUser_;
  QLineEdit* mqttPassword_;
  QLineEdit* execHook_;
  QLineEdit* webhookUrl_;
  QLineEdit* trailerTones_;
};

}  // namespace sequelo::app
