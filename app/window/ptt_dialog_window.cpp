#include "app/window/ptt_dialog_window.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpressionValidator>
#include <QVBoxLayout>

#include "app/window/control_ids.h"

namespace sequelo::app {
namespace {

QComboBox* List(const std::vector<std::string>& entries, int selection, int id) {
  auto* box = new QComboBox;
  for (const auto& e : entries) {
    box->addItem(QString::fromStdString(e));
  }
  box->setCurrentIndex(selection >= 0 && selection < box->count() ? selection : -1);
  SetControlId(box, id);
  return box;
}

QLineEdit* Edit(const std::string& text, int id, int maxLength) {
  auto* edit = new QLineEdit(QString::fromStdString(text));
  edit->setMaxLength(maxLength);
  SetControlId(edit, id);
  return edit;
}

}  // namespace

PttControlDialog::PttControlDialog(const tx::PttDialogState& s, QWidget* parent) : QDialog(parent) {
  setWindowTitle(QStringLiteral("PTT Control"));
  setModal(true);

  use_ = new QCheckBox(QStringLiteral("Use PTT control"));
  use_->setChecked(s.usePttControl);
  SetControlId(use_, 1037);
  comPort_ = List(tx::PttComPortEntries(), s.comPortSelection, 1045);
  device_ = new QComboBox;
  device_->setEditable(true);
  device_->addItem(QString());
  for (const auto& d : s.comDeviceChoices) {
    device_->addItem(QString::fromStdString(d));
  }
  device_->setCurrentText(QString::fromStdString(s.comDevice));
  device_->setToolTip(
      QStringLiteral("A serial device to open instead of the numbered port, e.g. /dev/ttyUSB0; "
                     "empty: /dev/ttyS<port - 1>"));
  device_->setObjectName(QStringLiteral("comDevice"));
  delay_ = Edit(s.txDelayText, 1049, 10);
  delay_->setValidator(
      new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), delay_));
  cat_ = new QRadioButton(QStringLiteral("CAT"));
  SetControlId(cat_, 1038);
  hardware_ = new QRadioButton(QStringLiteral("Hardware"));
  SetControlId(hardware_, 1039);
  hamlib_ = new QRadioButton(QStringLiteral("Hamlib"));
  SetControlId(hamlib_, 1050);
  auto* keying = new QButtonGroup(this);
  keying->addButton(cat_);
  keying->addButton(hardware_);
  keying->addButton(hamlib_);
  (s.hamlib ? hamlib_ : s.cat ? cat_ : hardware_)->setChecked(true);
  // The radio models as Hamlib lists them; a stored model this Hamlib does
  // not know is kept as its number.
  hamlibModel_ = new QComboBox;
  SetControlId(hamlibModel_, 1051);
  for (const tx::RigModel& m : tx::HamlibModels()) {
    hamlibModel_->addItem(QString::fromStdString(tx::RigModelLabel(m)), m.number);
  }
  int modelIndex = hamlibModel_->findData(s.hamlibModel);
  if (modelIndex < 0) {
    hamlibModel_->insertItem(0, QString::number(s.hamlibModel), s.hamlibModel);
    modelIndex = 0;
  }
  hamlibModel_->setCurrentIndex(modelIndex);
  hamlibPort_ = Edit(s.hamlibPort, 1052, 511);
  hamlibPort_->setToolTip(
      QStringLiteral("The radio's device (/dev/ttyUSB0), or host:port of a rigctld (model 2, "
                     "e.g. 127.0.0.1:4532); empty: Hamlib's default"));
  hamlibSpeed_ = Edit(s.hamlibSpeedText, 1053, 7);
  hamlibSpeed_->setValidator(
      new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), hamlibSpeed_));
  hamlibSpeed_->setToolTip(QStringLiteral("Baud; 0: the model's default"));
  hamlibPttType_ = List(tx::HamlibPttTypes(), s.hamlibPttTypeSelection, 1054);
  hamlibPttPort_ = Edit(s.hamlibPttPort, 1055, 511);
  hamlibPttPort_->setToolTip(
      QStringLiteral("The PTT device when it is not the radio's port: a serial device for "
                     "DTR/RTS, /dev/hidraw<n> for CM108, the GPIO number for GPIO; empty: the "
                     "radio's port"));
  hamlibGpio_ = List(tx::PttCm108GpioEntries(), s.hamlibCm108GpioSelection, 1056);
  txCommand_ = Edit(s.txCommand, 1040, 255);
  rxCommand_ = Edit(s.rxCommand, 1041, 255);
  baud_ = List(tx::PttBaudrateEntries(), s.baudrateSelection, 1044);
  databits_ = List(tx::PttDatabitsEntries(), s.databitsSelection, 1046);
  stopbits_ = List(tx::PttStopbitsEntries(), s.stopbitsSelection, 1047);
  parity_ = List(tx::PttParityEntries(), s.paritySelection, 1048);
  rts_ = new QRadioButton(QStringLiteral("RTS"));
  SetControlId(rts_, 1042);
  dtr_ = new QRadioButton(QStringLiteral("DTR"));
  SetControlId(dtr_, 1043);
  auto* line = new QButtonGroup(this);
  line->addButton(rts_);
  line->addButton(dtr_);
  (s.rts ? rts_ : dtr_)->setChecked(true);

  auto* port = new QGridLayout;
  port->addWidget(use_, 0, 0, 1, 3);
  port->addWidget(new QLabel(QStringLiteral("Com port")), 1, 0);
  port->addWidget(comPort_, 1, 1);
  port->addWidget(new QLabel(QStringLiteral("Device")), 2, 0);
  port->addWidget(device_, 2, 1, 1, 2);
  port->addWidget(new QLabel(QStringLiteral("TX delay")), 3, 0);
  port->addWidget(delay_, 3, 1);
  port->addWidget(new QLabel(QStringLiteral("ms")), 3, 2);

  auto* catBox = new QGroupBox;
  auto* catGrid = new QGridLayout(catBox);
  catGrid->addWidget(cat_, 0, 0, 1, 2);
  catGrid->addWidget(new QLabel(QStringLiteral("TX command")), 1, 0);
  catGrid->addWidget(txCommand_, 1, 1);
  catGrid->addWidget(new QLabel(QStringLiteral("RX command")), 2, 0);
  catGrid->addWidget(rxCommand_, 2, 1);
  auto* params = new QGroupBox(QStringLiteral("Parameters"));
  auto* paramGrid = new QGridLayout(params);
  paramGrid->addWidget(new QLabel(QStringLiteral("Baudrate")), 0, 0);
  paramGrid->addWidget(baud_, 0, 1);
  paramGrid->addWidget(new QLabel(QStringLiteral("Databits")), 0, 2);
  paramGrid->addWidget(databits_, 0, 3);
  paramGrid->addWidget(new QLabel(QStringLiteral("Stopbits")), 1, 0);
  paramGrid->addWidget(stopbits_, 1, 1);
  paramGrid->addWidget(new QLabel(QStringLiteral("Parity")), 1, 2);
  paramGrid->addWidget(parity_, 1, 3);
  catGrid->addWidget(params, 3, 0, 1, 2);

  auto* hwBox = new QGroupBox;
  auto* hwGrid = new QGridLayout(hwBox);
  hwGrid->addWidget(hardware_, 0, 0, 1, 2);
  hwGrid->addWidget(rts_, 1, 0);
  hwGrid->addWidget(dtr_, 1, 1);

  auto* hamlibBox = new QGroupBox;
  auto* hamlibGrid = new QGridLayout(hamlibBox);
  hamlibGrid->addWidget(hamlib_, 0, 0, 1, 4);
  hamlibGrid->addWidget(new QLabel(QStringLiteral("Model")), 1, 0);
  hamlibGrid->addWidget(hamlibModel_, 1, 1, 1, 3);
  hamlibGrid->addWidget(new QLabel(QStringLiteral("Port")), 2, 0);
  hamlibGrid->addWidget(hamlibPort_, 2, 1, 1, 3);
  hamlibGrid->addWidget(new QLabel(QStringLiteral("Speed")), 3, 0);
  hamlibGrid->addWidget(hamlibSpeed_, 3, 1);
  hamlibGrid->addWidget(new QLabel(QStringLiteral("PTT type")), 3, 2);
  hamlibGrid->addWidget(hamlibPttType_, 3, 3);
  hamlibGrid->addWidget(new QLabel(QStringLiteral("PTT port")), 4, 0);
  hamlibGrid->addWidget(hamlibPttPort_, 4, 1);
  hamlibGrid->addWidget(new QLabel(QStringLiteral("CM108 GPIO")), 4, 2);
  hamlibGrid->addWidget(hamlibGpio_, 4, 3);

  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
  SetControlId(buttons->button(QDialogButtonBox::Ok), 1);
  SetControlId(buttons->button(QDialogButtonBox::Cancel), 2);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

  auto* layout = new QVBoxLayout(this);
  layout->addLayout(port);
  layout->addWidget(catBox);
  layout->addWidget(hwBox);
  layout->addWidget(hamlibBox);
  layout->addWidget(buttons);
  setFixedSize(sizeHint());
}

tx::PttDialogState PttControlDialog::State() const {
  tx::PttDialogState s;
  s.usePttControl = use_->isChecked();
  s.comPortSelection = comPort_->currentIndex();
  s.txDelayText = delay_->text().toStdString();
  s.cat = cat_->isChecked();
  s.txCommand = txCommand_->text().toStdString();
  s.rxCommand = rxCommand_->text().toStdString();
  s.baudrateSelection = baud_->currentIndex();
  s.databitsSelection = databits_->currentIndex();
  s.stopbitsSelection = stopbits_->currentIndex();
  s.paritySelection = parity_->currentIndex();
  s.rts = rts_->isChecked();
  s.comDevice = device_->currentText().trimmed().toStdString();
  s.hamlib = hamlib_->isChecked();
  s.hamlibModel = hamlibModel_->currentData().toInt();
  s.hamlibPort = hamlibPort_->text().trimmed().toStdString();
  s.hamlibSpeedText = hamlibSpeed_->text().toStdString();
  s.hamlibPttTypeSelection = hamlibPttType_->currentIndex();
  s.hamlibPttPort = hamlibPttPort_->text().trimmed().toStdString();
  s.hamlibCm108GpioSelection = hamlibGpio_->currentIndex();
  return s;
}

}  // namespace sequelo::app
