#include "app/window/send_alarm_dialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>

#include "app/window/alarm_dialog.h"
#include "app/window/control_ids.h"
#include "control/command_interpreter.h"

namespace sequelo::app {
SendAlarmDialog::SendAlarmDialog(const std::string& code, std::vector<core::TrailerClass> table,
                                 QWidget* parent)
    : QDialog(parent), table_(std::move(table)) {
  setWindowTitle(QStringLiteral("Send alarm"));
  auto* form = new QFormLayout;
  code_ = new QLineEdit(QString::fromStdString(code.size() == 5 ? code : ""));
  code_->setMaxLength(5);
  SetControlId(code_, 1220);
  form->addRow(QStringLiteral("Code"), code_);
  repeats_ = Number(2, 1, 9, 1221, " times");
  form->addRow(QStringLiteral("Send the call"), repeats_);
  pause_ = Number(static_cast<int>(tx::kDefaultAlarmPauseMs), 0, 9999, 1222, " ms");
  form->addRow(QStringLiteral("Pause between"), pause_);
  leadInHz_ = Number(0, 0, 9999, 1223, " Hz");
  leadInHz_->setSpecialValueText(QStringLiteral("none"));
  form->addRow(QStringLiteral("Lead-in tone"), leadInHz_);
  leadInMs_ = Number(500, 1, 9999, 1224, " ms");
  form->addRow(QStringLiteral("Lead-in length"), leadInMs_);
  caller_ = new QCheckBox(QStringLiteral("Own code as the caller, after a separator"));
  SetControlId(caller_, 1225);
  form->addRow(QString(), caller_);
  trailer_ = new QComboBox;
  SetControlId(trailer_, 1226);
  trailer_->addItem(QStringLiteral("nothing"));
  if (tx::WakeClass(table_) != nullptr) {
    trailer_->addItem(QString::fromStdString(tx::WakeClass(table_)->name));
  }
  for (int n = 1; const core::TrailerClass* siren = tx::SirenClass(table_, n); ++n) {
    trailer_->addItem(QString::fromStdString(siren->name));
  }
  form->addRow(QStringLiteral("After the calls"), trailer_);
  trailerMs_ = Number(5000, 1, 9999, 1227, " ms");
  form->addRow(QStringLiteral("for"), trailerMs_);

  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
  buttons->button(QDialogButtonBox::Ok)->setText(QStringLiteral("Send"));
  SetControlId(buttons->button(QDialogButtonBox::Ok), 1228);
  connect(buttons, &QDialogButtonBox::accepted, this, [this] {
    std::string error;
    if (CommandString(error).empty()) {
      QMessageBox::warning(this, QStringLiteral("Send alarm"), QString::fromStdString(error));
      return;
    }
    accept();
  });
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(form);
  layout->addWidget(buttons);
}

std::string SendAlarmDialog::CommandString(std::string& error) const {
  control::AlarmShape shape;
  shape.repeats = repeats_->value();
  shape.pauseMs = static_cast<std::uint32_t>(pause_->value());
  shape.leadInHz = static_cast<std::uint32_t>(leadInHz_->value());
  shape.leadInMs = static_cast<std::uint32_t>(leadInMs_->value());
  shape.caller = caller_->isChecked();
  shape.trailerMs = static_cast<std::uint32_t>(trailerMs_->value());
  const std::string choice = trailer_->currentText().toStdString();
  if (trailer_->currentIndex() > 0) {
    const core::TrailerClass* wake = tx::WakeClass(table_);
    if (wake != nullptr && wake->name == choice) {
      shape.trailer = control::AlarmShape::Trailer::kWake;
    } else {
      shape.trailer = control::AlarmShape::Trailer::kSiren;
      shape.siren = control::SirenNumber(table_, choice);
    }
  }
  return control::AlarmCommandString(code_->text().toStdString(), shape, error);
}

}  // namespace sequelo::app
