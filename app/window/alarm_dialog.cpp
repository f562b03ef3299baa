#include "app/window/alarm_dialog.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>

#include "app/window/control_ids.h"

namespace sequelo::app {

QSpinBox* Number(int value, int low, int high, int id, const char* suffix) {
  auto* box = new QSpinBox;
  box->setRange(low, high);
  box->setValue(value);
  box->setSuffix(QString::fromUtf8(suffix));
  SetControlId(box, id);
  return box;
}
namespace {

QLineEdit* Line(const std::string& text, int id, int maxChars) {
  auto* edit = new QLineEdit(QString::fromStdString(text));
  edit->setMaxLength(maxChars);
  SetControlId(edit, id);
  return edit;
}

}  // namespace

AlarmSettingsDialog::AlarmSettingsDialog(const control::AlarmSettings& settings, Test test,
                                         QWidget* parent)
    : QDialog(parent), shown_(settings), test_(std::move(test)) {
  setWindowTitle(QStringLiteral("Alarm settings"));
  auto* form = new QFormLayout;
  station_ = Line(settings.stationName, 1201, 255);
  form->addRow(QStringLiteral("Station name"), station_);
  repeatWindow_ = Number(static_cast<int>(settings.repeatWindowS), 0, 3600, 1202, " s");
  form->addRow(QStringLiteral("Same code again within (one alarm)"), repeatWindow_);
  trailerWindow_ = Number(static_cast<int>(settings.trailerWindowS), 0, 600, 1203, " s");
  form->addRow(QStringLiteral("Listen for wake or siren tones for"), trailerWindow_);
  recordSeconds_ = Number(static_cast<int>(settings.recordSeconds), 0, 3600, 1204, " s");
  recordSeconds_->setSpecialValueText(QStringLiteral("off"));
  form->addRow(QStringLiteral("Record the announcement for"), recordSeconds_);
  recordFolder_ = Line(settings.recordFolder, 1205, 511);
  form->addRow(QStringLiteral("Recordings folder"), recordFolder_);
  mqttHost_ = Line(settings.mqttHost, 1206, 255);
  mqttHost_->setPlaceholderText(QStringLiteral("empty: no MQTT"));
  form->addRow(QStringLiteral("MQTT broker"), mqttHost_);
  mqttPort_ = Number(settings.mqttPort, 1, 65535, 1207, "");
  form->addRow(QStringLiteral("MQTT port"), mqttPort_);
  mqttUser_ = Line(settings.mqttUser, 1208, 255);
  form->addRow(QStringLiteral("MQTT user"), mqttUser_);
  mqttPassword_ = Line(settings.mqttPassword, 1209, 255);
  mqttPassword_->setEchoMode(QLineEdit::Password);
  form->addRow(QStringLiteral("MQTT password"), mqttPassword_);
  execHook_ = Line(settings.execHook, 1210, 1023);
  execHook_->setPlaceholderText(QStringLiteral("program and arguments; empty: none"));
  form->addRow(QStringLiteral("Hook program"), execHook_);
  webhookUrl_ = Line(settings.webhookUrl, 1211, 1023);
  webhookUrl_->setPlaceholderText(QStringLiteral("http:// or https://; empty: none"));
  form->addRow(QStringLiteral("Webhook URL"), webhookUrl_);
  trailerTones_ = Line(settings.trailerTones, 1213, 1023);
  trailerTones_->setToolTip(
      QStringLiteral("name=Hz, name=Hz+Hz (two at once), /intermittent; entries separated by ';'"));
  form->addRow(QStringLiteral("Tones after a call (from the next start)"), trailerTones_);

  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
  QPushButton* testButton =
      buttons->addButton(QStringLiteral("Test"), QDialogButtonBox::ActionRole);
  SetControlId(testButton, 1212);
  testButton->setToolTip(
      QStringLiteral("Put these settings in place and send a test event (code TEST) to every "
                     "target; the log says how each fared"));
  connect(testButton, &QPushButton::clicked, this, [this] {
    if (test_) {
      test_(Settings());
    }
  });
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(form);
  layout->addWidget(buttons);
}

control::AlarmSettings AlarmSettingsDialog::Settings() const {
  control::AlarmSettings s = shown_;
  s.stationName = station_->text().toStdString();
  s.repeatWindowS = static_cast<std::uint32_t>(repeatWindow_->value());
  s.trailerWindowS = static_cast<std::uint32_t>(trailerWindow_->value());
  s.recordSeconds = static_cast<std::uint32_t>(recordSeconds_->value());
  s.recordFolder = recordFolder_->text().toStdString();
  s.mqttHost = mqttHost_->text().trimmed().toStdString();
  s.mqttPort = mqttPort_->value();
  s.mqttUser = mqttUser_->text().toStdString();
  s.mqttPassword = mqttPassword_->text().toStdString();
  s.execHook = execHook_->text().trimmed().toStdString();
  s.webhookUrl = webhookUrl_->text().trimmed().toStdString();
  s.trailerTones = trailerTones_->text().toStdString();
  return s;
}

}  // namespace sequelo::app
