// The "Send alarm" dialog: a code and the shape it goes out in (how often,
// the pause between, a lead-in tone, the own code as the caller, the wake
// tone or a siren after). OK hands back the command string that sends it,
// which the window puts in the Call box and sends like any other.
#pragma once

#include <QDialog>
#include <string>
#include <vector>

#include "core/trailer_detector.h"

class QCheckBox;
class QComboBox;
class QLineEdit;
class QSpinBox;

namespace sequelo::app {

class SendAlarmDialog final : public QDialog {
 public:
  // `code`: the Call box's text, shown when it is a code; `table`: the
  // trailer table whose wake tone and sirens are offered.
  SendAlarmDialog(const std::string& code, std::vector<core::TrailerClass> table,
                  QWidget* parent = nullptr);
  // The command string (without the leading '!'), or empty with `error`
  // set when the fields do not make an alarm.
  std::string CommandString(std::string& error) const;

 private:
  std::vector<core::TrailerClass> table_;
  QLineEdit* code_;
  QSpinBox* repeats_;
  QSpinBox* pause_;
  QSpinBox* leadInHz_;
  QSpinBox* leadInMs_;
  QCheckBox* caller_;
  QComboBox* trailer_;
  QSpinBox* trailerMs_;
};

}  // namespace sequelo::app
