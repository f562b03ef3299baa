// The logic of the "PTT Control" dialog, apart from its widgets: what the
// dialog shows for the current settings, and what OK stores. The window (or
// any other front end) lays the state out and hands it back on OK.
#pragma once

#include <string>
#include <vector>

#include "tx/ptt_controller.h"

namespace sequelo::tx {

// What the dialog shows. List selections are indexes into the fixed entry
// lists below; -1 is no selection.
struct PttDialogState {
  bool usePttControl = false;
  int comPortSelection = -1;  // into PttComPortEntries()
  std::string txDelayText;    // digits
  bool cat = false;           // "CAT" checked, else "Hardware"
  std::string txCommand;
  std::string rxCommand;
  int baudrateSelection = -1;
  int databitsSelection = -1;
  int stopbitsSelection = -1;
  int paritySelection = -1;
  bool rts = false;                           // "RTS" checked, else "DTR"
  std::string comDevice;                      // empty: the port from the list
  std::vector<std::string> comDeviceChoices;  // detected serial devices
  // "Hamlib" checked (instead of CAT or Hardware): keyed through Hamlib.
  bool hamlib = false;
  int hamlibModel = kHamlibNetRigctlModel;  // the model chosen in the list
  std::string hamlibPort;                   // device or host:port
  std::string hamlibSpeedText;              // digits; 0: the model's default
  int hamlibPttTypeSelection = -1;          // into HamlibPttTypes()
  std::string hamlibPttPort;
  int hamlibCm108GpioSelection = -1;  // into PttCm108GpioEntries()
};

// "1".."256"
const std::vector<std::string>& PttComPortEntries();
const std::vector<std::string>& PttBaudrateEntries();  // "2400" .. "38400"
const std::vector<std::string>& PttDatabitsEntries();  // "7", "8"
const std::vector<std::string>& PttStopbitsEntries();  // "1", "2"
const std::vector<std::string>& PttParityEntries();    // "Odd", "Even", "None"
// The CM108 GPIO pins for Hamlib: "1" .. "8".
const std::vector<std::string>& PttCm108GpioEntries();

// The dialog as it opens. An index outside its list leaves that list without
// a selection.
PttDialogState FillPttDialog(const PttSettings& settings, std::vector<std::string> detectedDevices);

// The settings OK stores: every control read back (a list without selection
// gives -1, an empty delay 0, commands cut to 255 characters). For Hamlib:
// the model only while "Hamlib" is checked (else 0: off), the speed within
// 0..4000000, no PTT type selected is RIG, no GPIO selected is 3; texts cut
// to 511 characters.
PttSettings PttSettingsFromDialog(const PttDialogState& state);

// OK: store the dialog's settings and re-open the port. (Cancel changes
// nothing, so it needs no code.)
void AcceptPttDialog(PttController& controller, const PttDialogState& state);

}  // namespace sequelo::tx
