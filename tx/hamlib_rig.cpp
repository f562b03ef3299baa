#include "tx/hamlib_rig.h"

#include <hamlib/rig.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstring>
#include <mutex>
#include <tuple>

namespace sequelo::tx {
namespace {

constexpr const char* kTimeoutMs = "1000";
constexpr const char* kRetries = "1";
constexpr int kConnectLimitMs = 1000;
constexpr int kPeerCloseLimitMs = 500;
constexpr int kSettleMs = 50;
constexpr int kRigctldPort = 4532;

struct PttTypeName {
  const char* name;  // as the settings write it
  const char* conf;  // as Hamlib's "ptt_type" takes it
};
constexpr PttTypeName kPttTypes[] = {
    {"RIG", "RIG"},   {"DTR", "DTR"},     {"RTS", "RTS"},           {"CM108", "CM108"},
    {"GPIO", "GPIO"}, {"GPION", "GPION"}, {"PARALLEL", "Parallel"}, {"NONE", "None"},
};

bool SameLetters(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::toupper(static_cast<unsigned char>(x)) ==
                  std::toupper(static_cast<unsigned char>(y));
         });
}

// Hamlib's one-line text for an error code ("IO error"), without its line
// break. (rigerror() itself appends Hamlib's recent debug lines.)
std::string ErrorText(int code) {
  std::string text = rigerror2(code);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
    text.pop_back();
  }
  return text;
}

void QuietOnce() {
  static std::once_flag once;
  std::call_once(once, [] { rig_set_debug(RIG_DEBUG_NONE); });
}

// Ends a probe connection: our side shut, then the peer's close awaited
// (kPeerCloseLimitMs at most) and a moment more. rigctld (Hamlib 4.5) closes
// a finished client's socket three times over, and a connection it accepts
// in between can be cut by the later closes: Hamlib's own connection must
// not come while the probe's is being closed.
void EndProbe(int fd) {
  ::shutdown(fd, SHUT_WR);
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(kPeerCloseLimitMs);
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    pollfd p{fd, POLLIN, 0};
    if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) <= 0) {
      break;
    }
    char buffer[256];
    if (::recv(fd, buffer, sizeof buffer, 0) <= 0) {
      break;  // closed by the peer
    }
  }
  ::close(fd);
  ::poll(nullptr, 0, kSettleMs);
}

// A TCP connection to the address, given up after kConnectLimitMs, then
// ended. Empty when it was taken, else why not.
std::string ProbeConnection(const std::string& address) {
  std::string host;
  int port = 0;
  if (!SplitRigAddress(address, host, port)) {
    return "not a network address: \"" + address + "\" (host:port)";
  }
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo* found = nullptr;
  const std::string service = std::to_string(port);
  if (const int rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &found); rc != 0) {
    return std::string(::gai_strerror(rc)) + " (" + address + ")";
  }
  std::string why = "no address";
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(kConnectLimitMs);
  for (addrinfo* a = found; a != nullptr; a = a->ai_next) {
    const int fd =
        ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol);
    if (fd < 0) {
      why = std::strerror(errno);
      continue;
    }
    int error = 0;
    if (::connect(fd, a->ai_addr, a->ai_addrlen) != 0) {
      error = errno;
      if (error == EINPROGRESS) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        pollfd p{fd, POLLOUT, 0};
        const int ready = ::poll(&p, 1, static_cast<int>(std::max<long long>(left, 0)));
        socklen_t size = sizeof error;
        if (ready <= 0) {
          error = ETIMEDOUT;
        } else if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0) {
          error = errno;
        }
      }
    }
    if (error == 0) {
      ::freeaddrinfo(found);
      EndProbe(fd);
      return {};
    }
    ::close(fd);
    why = std::strerror(error);
  }
  ::freeaddrinfo(found);
  return why + " (" + address + ")";
}

int CollectModel(const rig_caps* caps, rig_ptr_t data) {
  auto* models = static_cast<std::vector<RigModel>*>(data);
  models->push_back({static_cast<int>(caps->rig_model),
                     caps->mfg_name != nullptr ? caps->mfg_name : "",
                     caps->model_name != nullptr ? caps->model_name : ""});
  return 1;  // go on
}

}  // namespace

const std::vector<std::string>& HamlibPttTypes() {
  static const std::vector<std::string> names = [] {
    std::vector<std::string> list;
    for (const PttTypeName& t : kPttTypes) {
      list.emplace_back(t.name);
    }
    return list;
  }();
  return names;
}

std::optional<std::string> HamlibPttConfValue(std::string_view name) {
  for (const PttTypeName& t : kPttTypes) {
    if (SameLetters(name, t.name)) {
      return std::string(t.conf);
    }
  }
  return std::nullopt;
}

const std::vector<RigModel>& HamlibModels() {
  static const std::vector<RigModel> models = [] {
    QuietOnce();
    std::vector<RigModel> list;
    rig_load_all_backends();
    rig_list_foreach(&CollectModel, &list);
    std::sort(list.begin(), list.end(), [](const RigModel& a, const RigModel& b) {
      return std::tie(a.maker, a.name, a.number) < std::tie(b.maker, b.name, b.number);
    });
    return list;
  }();
  return models;
}

std::string RigModelLabel(const RigModel& model) {
  return std::to_string(model.number) + " " + model.maker + " " + model.name;
}

std::optional<RigModel> FindHamlibModel(int number) {
  for (const RigModel& m : HamlibModels()) {
    if (m.number == number) {
      return m;
    }
  }
  return std::nullopt;
}

bool SplitRigAddress(std::string_view address, std::string& host, int& port) {
  std::string_view portText;
  bool hasPort = false;
  if (!address.empty() && address.front() == '[') {
    const std::size_t close = address.find(']');
    if (close == std::string_view::npos) {
      return false;
    }
    host = std::string(address.substr(1, close - 1));
    const std::string_view rest = address.substr(close + 1);
    if (!rest.empty()) {
      if (rest.front() != ':') {
        return false;
      }
      portText = rest.substr(1);
      hasPort = true;
    }
  } else if (const std::size_t colon = address.find(':');
             colon != std::string_view::npos &&
             address.find(':', colon + 1) == std::string_view::npos) {
    host = std::string(address.substr(0, colon));
    portText = address.substr(colon + 1);
    hasPort = true;
  } else {
    host = std::string(address);  // a host alone, or an IPv6 address without a port
  }
  port = kRigctldPort;
  if (hasPort) {
    int value = 0;
    const char* first = portText.data();
    const char* last = first + portText.size();
    const auto [end, ec] = std::from_chars(first, last, value);
    if (portText.empty() || ec != std::errc() || end != last || value < 1 || value > 65535) {
      return false;
    }
    port = value;
  }
  return !host.empty();
}

HamlibRig::HamlibRig() {
  QuietOnce();
}

HamlibRig::~HamlibRig() {
  Close();
}

bool HamlibRig::Open(const RigConfig& config, std::string& error) {
  Close();
  const std::optional<std::string> pttType = HamlibPttConfValue(config.pttType);
  if (!pttType) {
    error = "unknown PTT type \"" + config.pttType + "\"";
    return false;
  }
  if (config.cm108Gpio < 1 || config.cm108Gpio > 8) {
    error = "CM108 GPIO " + std::to_string(config.cm108Gpio) + " is not 1..8";
    return false;
  }
  RIG* rig = rig_init(static_cast<rig_model_t>(config.model));
  if (rig == nullptr) {
    error = "no radio model " + std::to_string(config.model) + " in this Hamlib";
    return false;
  }
  // A network radio must take a connection within a second, or we do not
  // let Hamlib wait on it.
  if (rig->caps->port_type == RIG_PORT_NETWORK && !config.port.empty()) {
    if (std::string why = ProbeConnection(config.port); !why.empty()) {
      rig_cleanup(rig);
      error = why;
      return false;
    }
  }
  const auto set = [&](const char* name, const std::string& value) {
    const token_t token = rig_token_lookup(rig, name);
    const int rc = token == RIG_CONF_END ? -RIG_EINVAL : rig_set_conf(rig, token, value.c_str());
    if (rc != RIG_OK) {
      error = std::string(name) + " \"" + value + "\": " + ErrorText(rc);
      return false;
    }
    return true;
  };
  bool ok = (config.port.empty() || set("rig_pathname", config.port)) &&
            (config.speed <= 0 || set("serial_speed", std::to_string(config.speed))) &&
            set("ptt_type", *pttType) &&
            (config.pttPort.empty() || set("ptt_pathname", config.pttPort)) &&
            set("ptt_bitnum", std::to_string(config.cm108Gpio - 1)) && set("timeout", kTimeoutMs) &&
            set("retry", kRetries);
  if (ok) {
    // A read-back must ask the radio, not Hamlib's memory of what it was told.
    rig_set_cache_timeout_ms(rig, HAMLIB_CACHE_ALL, 0);
    if (const int rc = rig_open(rig); rc != RIG_OK) {
      error = ErrorText(rc);
      ok = false;
    }
  }
  if (!ok) {
    rig_cleanup(rig);
    return false;
  }
  rig_ = rig;
  keysNothing_ = *pttType == "None";
  // What a read of the PTT asks: with CAT keying, the radio's own PTT query
  // (without one, Hamlib reports back what it was told last: no read-back).
  // With a line or pin, Hamlib reads the line back, unless the model has a
  // PTT query, which it then asks instead: how a radio reports a keying on
  // its PTT line varies (Hamlib's dummy never does), so that is none either.
  const bool catPtt = *pttType == "RIG";
  const bool radioAnswers = rig->caps->get_ptt != nullptr;
  readBackOffered_ = catPtt == radioAnswers;
  return true;
}

void HamlibRig::Close() {
  if (rig_ == nullptr) {
    return;
  }
  rig_close(rig_);
  rig_cleanup(rig_);
  rig_ = nullptr;
}

bool HamlibRig::SetPtt(bool on, std::string& error) {
  if (rig_ == nullptr) {
    error = "radio not open";
    return false;
  }
  if (keysNothing_) {  // nothing keyed, nothing to release
    error = "PTT type NONE keys nothing";
    return !on;
  }
  const int rc = rig_set_ptt(rig_, RIG_VFO_CURR, on ? RIG_PTT_ON : RIG_PTT_OFF);
  if (rc != RIG_OK) {
    error = ErrorText(rc);
    return false;
  }
  return true;
}

RigPtt HamlibRig::ReadPtt(std::string& error) {
  if (rig_ == nullptr) {
    error = "radio not open";
    return RigPtt::kFailed;
  }
  if (!readBackOffered_) {
    return RigPtt::kNotOffered;
  }
  ptt_t ptt = RIG_PTT_OFF;
  const int rc = rig_get_ptt(rig_, RIG_VFO_CURR, &ptt);
  if (rc == -RIG_ENAVAIL || rc == -RIG_ENIMPL) {
    return RigPtt::kNotOffered;
  }
  if (rc != RIG_OK) {
    error = ErrorText(rc);
    return RigPtt::kFailed;
  }
  return ptt == RIG_PTT_OFF ? RigPtt::kOff : RigPtt::kOn;
}

}  // namespace sequelo::tx
