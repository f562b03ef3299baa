// The "PTT Control" dialog: the port, keying and serial parameters of the
// transmitter, or the radio keyed through Hamlib. It shows a PttDialogState
// and hands one back on OK; what OK does with it (store, re-open the port)
// is the caller's.
#pragma once

#include <QDialog>

#include "tx/ptt_dialog.h"

class QCheckBox;
class QComboBox;
class QLineEdit;
class QRadioButton;

namespace sequelo::app {

class PttControlDialog final : public QDialog {
 public:
  PttControlDialog(const tx::PttDialogState& state, QWidget* parent = nullptr);
  // Every control read back.
  tx::PttDialogState State() const;

 private:
  QCheckBox* use_;
  QComboBox* comPort_;
  QComboBox* device_;
  QLineEdit* delay_;
  QRadioButton* cat_;
  QRadioButton* hardware_;
  QLineEdit* txCommand_;
  QLineEdit* rxCommand_;
  QComboBox* baud_;
  QComboBox* databits_;
  QComboBox* stopbits_;
  QComboBox* parity_;
  QRadioButton* rts_;
  QRadioButton* dtr_;
  QRadioButton* hamlib_;
  QComboBox* hamlibModel_;
  QLineEdit* hamlibPort_;
  QLineEdit* hamlibSpeed_;
  QComboBox* hamlibPttType_;
  QLineEdit* hamlibPttPort_;
  QComboBox* hamlibGpio_;
};

}  // namespace sequelo::app
