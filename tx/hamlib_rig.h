// One radio reached through Hamlib (libhamlib): opened with a model number
// and its port, keyed and released by Hamlib's PTT, its PTT read back where
// the radio offers that. Model 2 ("NET rigctl") shares a rigctld that runs
// beside us (host:port). The PTT controller owns the link and makes every
// call under its lock: Hamlib's radio handle is not thread-safe.
//
// Nothing here waits for ever: Hamlib answers within its time-out (1 s, one
// retry), and a network radio is reached first by a connection of our own
// that gives up after a second, as Hamlib's own connect would wait for the
// system's TCP time-out (minutes) on a host that does not answer. That
// connection is ended before Hamlib connects (rigctld may cut a connection
// it accepts while it closes another).
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct s_rig;

namespace sequelo::tx {

// Hamlib's model numbers of its own: the dummy radio (in memory), and
// rigctld reached over TCP.
inline constexpr int kHamlibDummyModel = 1;
inline constexpr int kHamlibNetRigctlModel = 2;
inline constexpr int kHamlibDefaultCm108Gpio = 3;  // Hamlib's bit 2

// How the radio is reached.
struct RigConfig {
  int model = 0;
  std::string port;     // device (/dev/ttyUSB0) or host:port; empty: Hamlib's default
  int speed = 0;        // baud; 0: the model's default
  std::string pttType;  // one of HamlibPttTypes()
  std::string pttPort;  // the PTT device when it is not the radio's port; empty: none
  int cm108Gpio = kHamlibDefaultCm108Gpio;  // 1..8, for the CM108 PTT type
};

// What a read of the radio's PTT gave.
enum class RigPtt { kOff, kOn, kNotOffered, kFailed };

class RigLink {
 public:
  virtual ~RigLink() = default;
  // Opens the radio (closing one that is open). False with `error` saying why.
  virtual bool Open(const RigConfig& config, std::string& error) = 0;
  virtual void Close() = 0;
  virtual bool IsOpen() const = 0;
  // Keys (on) or releases (off). False with `error` when the radio or Hamlib
  // refused or did not answer.
  virtual bool SetPtt(bool on, std::string& error) = 0;
  // The radio's PTT as it reports it; kNotOffered when it cannot tell.
  virtual RigPtt ReadPtt(std::string& error) = 0;
};

// The PTT types as the settings name them: RIG, DTR, RTS, CM108, GPIO,
// GPION, PARALLEL, NONE.
const std::vector<std::string>& HamlibPttTypes();
// Hamlib's own value for a PTT type named in any case; nullopt for a name
// that is none of them.
std::optional<std::string> HamlibPttConfValue(std::string_view name);

// A radio model Hamlib knows.
struct RigModel {
  int number = 0;
  std::string maker;
  std::string name;
};
// Every model of the Hamlib library, sorted by maker and model (loaded once).
const std::vector<RigModel>& HamlibModels();
// "2 Hamlib NET rigctl".
std::string RigModelLabel(const RigModel& model);
// The model with `number`; nullopt when Hamlib has none.
std::optional<RigModel> FindHamlibModel(int number);

// The real link over libhamlib. One user at a time.
class HamlibRig final : public RigLink {
 public:
  HamlibRig();
  ~HamlibRig() override;
  HamlibRig(const HamlibRig&) = delete;
  HamlibRig& operator=(const HamlibRig&) = delete;

  bool Open(const RigConfig& config, std::string& error) override;
  void Close() override;
  bool IsOpen() const override { return rig_ != nullptr; }
  bool SetPtt(bool on, std::string& error) override;
  RigPtt ReadPtt(std::string& error) override;

 private:
  struct s_rig* rig_ = nullptr;
  bool readBackOffered_ = false;  // a read of the PTT tells how the keying went
  bool keysNothing_ = false;      // PTT type NONE
};

// Splits a network radio's address: "host:port", "[v6 address]:port", or a
// host alone (port 4532, rigctld's). False for an empty host or a port that
// is not 1..65535.
bool SplitRigAddress(std::string_view address, std::string& host, int& port);

}  // namespace sequelo::tx
