#include "control/mqtt_forwarder.h"

#include <mosquitto.h>
#include <string.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <vector>

#include "core/printable.h"

namespace sequelo::control {
namespace {

constexpr std::size_t kMaxTopicLevelBytes = 128;
constexpr std::size_t kMaxReasonBytes = 160;
constexpr std::uint32_t kCloseLimitMs = 2000;  // "offline" and DISCONNECT at a stop
constexpr char kOnline[] = "online";
constexpr char kOffline[] = "offline";

void InitLibrary() {
  static std::once_flag once;
  std::call_once(once, [] { mosquitto_lib_init(); });
}

// Text from the library or the system, bounded and printable.
std::string Bounded(std::string text) {
  while (!text.empty() && (text.back() == '.' || text.back() == ' ')) {
    text.pop_back();
  }
  if (text.size() > kMaxReasonBytes) {
    text.resize(kMaxReasonBytes);
  }
  return core::Printable(text);
}

std::string Where(const MqttSettings& settings) {
  std::string host = settings.host.substr(0, 255);
  if (host.find(':') != std::string::npos) {
    host = "[" + host + "]";
  }
  return core::Printable(host) + ":" + std::to_string(settings.port);
}

std::string Count(std::size_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

}  // namespace

std::string MqttTopicLevel(std::string_view station) {
  std::string out;
  for (std::size_t i = 0; i < station.size();) {
    const auto c = static_cast<unsigned char>(station[i]);
    std::size_t n = 1;
    bool keep = c >= 0x20 && c != 0x7F && c != '+' && c != '#' && c != '/';
    if (c >= 0x80) {
      n = core::Utf8SequenceLength(station.substr(i));
      // Not UTF-8, or a C1 control character (U+0080..U+009F).
      keep = n != 0 && !(n == 2 && c == 0xC2 && static_cast<unsigned char>(station[i + 1]) < 0xA0);
      n = n == 0 ? 1 : n;
    }
    const std::size_t add = keep ? n : 1;
    if (out.size() + add > kMaxTopicLevelBytes) {
      break;
    }
    if (keep) {
      out.append(station.substr(i, n));
    } else {
      out += '_';
    }
    i += n;
  }
  return out.empty() ? "station" : out;
}

MqttForwarder::MqttForwarder(MqttSettings settings, core::EventLog& log, MqttLimits limits)
    : settings_(std::move(settings)),
      log_(log),
      limits_(limits),
      alarmTopic_("sequelo/" + MqttTopicLevel(settings_.station) + "/alarm"),
      statusTopic_("sequelo/" + MqttTopicLevel(settings_.station) + "/status"),
      where_(Where(settings_)),
      journal_("MQTT", log, limits.delivery.capacity, limits.compactAfterLines),
      delivery_(
          "MQTT",
          [this](const AlarmEvent& event, std::string& error) { return Deliver(event, error); },
          log, limits.delivery) {}

MqttForwarder::~MqttForwarder() {
  Stop();
  journal_.Close();
}

bool MqttForwarder::Connected() const {
  std::lock_guard lock(stateMutex_);
  return connected_;
}

void MqttForwarder::Start() {
  std::lock_guard take(takeMutex_);
  if (phase_ != Phase::kNew) {
    return;
  }
  InitLibrary();
  if (!settings_.queueDir.empty()) {
    MqttJournal::Loaded loaded;
    std::string error;
    if (journal_.Open(settings_.queueDir, loaded, error)) {
      if (loaded.badLines > 0) {
        log_.Report("MQTT: " + Count(loaded.badLines, "bad line", "bad lines") +
                    " in the queue file skipped");
      }
      if (loaded.dropped > 0) {
        log_.Report("MQTT: " + Count(loaded.dropped, "old alarm event", "old alarm events") +
                    " dropped from the queue file (more than " +
                    std::to_string(limits_.delivery.capacity) + " waiting)");
      }
      if (!loaded.waiting.empty()) {
        log_.Report("MQTT: " + Count(loaded.waiting.size(), "alarm event", "alarm events") +
                    " waiting from the last run");
      }
      lastSeq_ = journal_.LastSeq();
      for (auto& entry : loaded.waiting) {
        Queue(entry.seq, entry.event, AlarmEventJson(entry.event), true);
      }
    } else {
      log_.Report("MQTT: queue file in " + core::Printable(settings_.queueDir) + " not usable (" +
                  Bounded(error) + "), alarm events kept in memory only");
    }
  }
  phase_ = Phase::kRunning;
  for (const auto& event : early_) {
    Take(event);
  }
  early_.clear();
  StartConnection();
  delivery_.Start();
}

void MqttForwarder::StartConnection() {
  const bool portValid = settings_.port > 0 && settings_.port <= 65535;
  if (!portValid || settings_.host.empty()) {
    log_.Report("MQTT: no broker at " + where_ + ", alarm events kept for later");
    return;
  }
  mosq_ = mosquitto_new(nullptr, true, this);
  if (mosq_ == nullptr) {
    log_.Report("MQTT: cannot start (" + Bounded(std::strerror(errno)) + ")");
    return;
  }
  // Our own thread runs the network loop: publishing from the delivery
  // thread only queues the packet.
  mosquitto_threaded_set(mosq_, true);
  // Events are small and each waits for its PUBACK: no Nagle delays.
  mosquitto_int_option(mosq_, MOSQ_OPT_TCP_NODELAY, 1);
  if (!settings_.user.empty()) {
    mosquitto_username_pw_set(mosq_, settings_.user.c_str(),
                              settings_.password.empty() ? nullptr : settings_.password.c_str());
  }
  // libmosquitto keeps its own copy for reconnecting.
  explicit_bzero(settings_.password.data(), settings_.password.size());
  settings_.password.clear();
  mosquitto_will_set(mosq_, statusTopic_.c_str(), static_cast<int>(std::strlen(kOffline)), kOffline,
                     1, true);
  mosquitto_connect_callback_set(mosq_, &MqttForwarder::OnConnect);
  mosquitto_disconnect_callback_set(mosq_, &MqttForwarder::OnDisconnect);
  mosquitto_publish_callback_set(mosq_, &MqttForwarder::OnPublish);
  {
    std::lock_guard lock(stateMutex_);
    connecting_ = true;  // the first attempt: delivery waits for it
  }
  network_ = std::thread([this] { NetworkLoop(); });
}

void MqttForwarder::Stop() {
  {
    std::lock_guard take(takeMutex_);
    if (phase_ != Phase::kRunning) {
      phase_ = Phase::kStopped;
      return;
    }
    phase_ = Phase::kStopped;
  }
  {
    std::lock_guard lock(stateMutex_);
    stopping_ = true;
  }
  stateChanged_.notify_all();
  delivery_.Stop();
  if (network_.joinable()) {
    network_.join();
  }
  if (mosq_ != nullptr) {
    mosquitto_destroy(mosq_);
    mosq_ = nullptr;
  }
  std::size_t kept = 0;
  std::size_t lost = 0;
  {
    std::lock_guard lock(queueMutex_);
    for (const auto& w : waiting_) {
      ++(w.journaled ? kept : lost);
    }
    waiting_.clear();
  }
  if (kept > 0) {
    log_.Report("MQTT: " + Count(kept, "alarm event", "alarm events") +
                " not delivered, kept for the next start");
  }
  if (lost > 0) {
    log_.Report("MQTT: " + Count(lost, "alarm event", "alarm events") +
                " not delivered at shut-down");
  }
}

void MqttForwarder::OnAlarm(const AlarmEvent& event) {
  std::lock_guard take(takeMutex_);
  if (phase_ == Phase::kNew) {
    early_.push_back(event);
    if (early_.size() > limits_.delivery.capacity) {
      early_.pop_front();
    }
    return;
  }
  Take(event);
}

// Under takeMutex_, once started.
void MqttForwarder::Take(const AlarmEvent& event) {
  std::string payload = AlarmEventJson(event);
  const std::uint64_t seq = ++lastSeq_;
  const bool journaled = journal_.Append(seq, payload);
  if (phase_ == Phase::kStopped) {
    if (!journaled) {
      log_.Report("MQTT: alarm " + core::Printable(event.id) + " not forwarded (stopped)");
    }
    return;
  }
  Queue(seq, event, std::move(payload), journaled);
}

void MqttForwarder::Queue(std::uint64_t seq, const AlarmEvent& event, std::string payload,
                          bool journaled) {
  std::uint64_t dropped = 0;
  {
    std::lock_guard lock(queueMutex_);
    waiting_.push_back({seq, std::move(payload), journaled});
    // AlarmDelivery drops its oldest waiting event (not the one under way)
    // when full: so does its picture here, and the file with it.
    const std::size_t underWay = waiting_.front().seq == underWay_ ? 1 : 0;
    if (waiting_.size() - underWay > limits_.delivery.capacity) {
      const auto oldest = waiting_.begin() + static_cast<std::ptrdiff_t>(underWay);
      dropped = oldest->seq;
      waiting_.erase(oldest);
    }
  }
  if (dropped != 0) {
    journal_.Done(dropped);
  }
  delivery_.OnAlarm(event);
}

bool MqttForwarder::Deliver(const AlarmEvent& event, std::string& error) {
  {
    std::lock_guard lock(stateMutex_);
    if (stopping_) {
      // Shut-down: the event stays in the queue file for the next start;
      // AlarmDelivery is let go without a retry.
      return true;
    }
  }
  const std::string payload = AlarmEventJson(event);
  std::uint64_t seq = 0;
  std::vector<std::uint64_t> skipped;
  {
    std::lock_guard lock(queueMutex_);
    // Events ahead of this one were dropped by AlarmDelivery's full queue.
    for (std::size_t i = 0; i < waiting_.size(); ++i) {
      if (waiting_[i].payload == payload) {
        for (std::size_t k = 0; k < i; ++k) {
          skipped.push_back(waiting_[k].seq);
        }
        waiting_.erase(waiting_.begin(), waiting_.begin() + static_cast<std::ptrdiff_t>(i));
        seq = waiting_.front().seq;
        break;
      }
    }
    underWay_ = seq;
  }
  for (const std::uint64_t s : skipped) {
    journal_.Done(s);
  }

  std::unique_lock lock(stateMutex_);
  // A connection being made (at start, or a retry) is waited for; an outage
  // fails at once and AlarmDelivery pauses.
  stateChanged_.wait_for(lock, std::chrono::milliseconds(limits_.connectTimeoutMs),
                         [this] { return connected_ || !connecting_ || stopping_; });
  if (stopping_) {
    return true;
  }
  if (!connected_ || mosq_ == nullptr) {
    error = "not connected";
    return false;
  }
  const std::uint64_t connection = connection_;
  acked_.clear();
  lock.unlock();
  int mid = 0;
  const int rc = mosquitto_publish(mosq_, &mid, alarmTopic_.c_str(),
                                   static_cast<int>(payload.size()), payload.data(), 1, false);
  if (rc != MOSQ_ERR_SUCCESS) {
    error = Reason(rc, errno);
    return false;
  }
  lock.lock();
  stateChanged_.wait_for(lock, std::chrono::milliseconds(limits_.pubackTimeoutMs), [&] {
    return acked_.count(mid) != 0 || connection_ != connection || stopping_;
  });
  if (acked_.count(mid) == 0) {
    if (stopping_) {
      return true;  // as above: kept in the queue file
    }
    error =
        connection_ != connection
            ? "connection lost"
            : "no PUBACK within " + std::to_string((limits_.pubackTimeoutMs + 999) / 1000) + " s";
    return false;
  }
  lock.unlock();
  {
    std::lock_guard queueLock(queueMutex_);
    if (seq != 0 && !waiting_.empty() && waiting_.front().seq == seq) {
      waiting_.pop_front();
    }
    underWay_ = 0;
  }
  if (seq != 0) {
    journal_.Done(seq);
  }
  ++delivered_;
  return true;
}

std::string MqttForwarder::Reason(int rc, int err) const {
  switch (rc) {
    case MOSQ_ERR_ERRNO:
      return Bounded(std::strerror(err));
    case MOSQ_ERR_CONN_REFUSED: {
      std::lock_guard lock(stateMutex_);
      return Bounded(mosquitto_connack_string(refusal_));
    }
    case MOSQ_ERR_CONN_LOST:
      return "closed by the broker";
    case MOSQ_ERR_KEEPALIVE:
      return "no answer to keep-alive";
    case MOSQ_ERR_NO_CONN:
      return "not connected";
    case MOSQ_ERR_EAI:
      return "host not found";
    default:
      return Bounded(mosquitto_strerror(rc));
  }
}

bool MqttForwarder::PauseNetwork(std::uint32_t ms) {
  std::unique_lock lock(stateMutex_);
  return !stateChanged_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return stopping_; });
}

void MqttForwarder::NetworkLoop() {
  const DeliveryLimits backOff{.firstRetryMs = limits_.firstReconnectMs,
                               .longestRetryMs = limits_.longestReconnectMs};
  std::uint32_t failures = 0;
  bool up = false;           // connected at the last look
  bool reported = false;     // this outage is in the log
  bool attemptOpen = false;  // a connection made or being made
  auto attemptStart = std::chrono::steady_clock::now();
  for (;;) {
    {
      std::lock_guard lock(stateMutex_);
      if (stopping_) {
        break;
      }
    }
    std::string reason;
    if (!attemptOpen) {
      const int rc = mosquitto_connect_async(mosq_, settings_.host.c_str(), settings_.port,
                                             limits_.keepAliveSeconds);
      if (rc == MOSQ_ERR_SUCCESS) {
        attemptOpen = true;
        attemptStart = std::chrono::steady_clock::now();
        std::lock_guard lock(stateMutex_);
        connecting_ = true;
      } else {
        reason = Reason(rc, errno);
      }
    }
    if (attemptOpen) {
      const int rc = mosquitto_loop(mosq_, 200, 1);
      const int err = errno;
      bool connected = false;
      {
        std::lock_guard lock(stateMutex_);
        connected = connected_;
      }
      if (connected) {
        up = true;
        reported = false;
        failures = 0;
      }
      const bool late = !connected && std::chrono::steady_clock::now() - attemptStart >
                                          std::chrono::milliseconds(limits_.connectTimeoutMs);
      if (rc == MOSQ_ERR_SUCCESS && !late && (connected || !up)) {
        continue;
      }
      reason = rc != MOSQ_ERR_SUCCESS ? Reason(rc, err) : late ? "no answer" : "closed";
      attemptOpen = false;
    }
    // The connection ended, or none came.
    {
      std::lock_guard lock(stateMutex_);
      connecting_ = false;
      if (connected_) {
        connected_ = false;
        ++connection_;
      }
    }
    stateChanged_.notify_all();
    if (up) {
      log_.Report("MQTT: connection lost (" + reason + "), retrying");
      up = false;
      reported = true;
    } else if (!reported) {
      log_.Report("MQTT: cannot connect to " + where_ + " (" + reason + "), retrying");
      reported = true;
    }
    if (!PauseNetwork(RetryDelayMs(backOff, ++failures))) {
      break;
    }
  }
  CloseConnection();
}

// On the network thread at a stop: "offline", then DISCONNECT (so the
// broker drops the will), each waited for a short time.
void MqttForwarder::CloseConnection() {
  {
    std::lock_guard lock(stateMutex_);
    if (!connected_) {
      return;
    }
    acked_.clear();
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kCloseLimitMs);
  int mid = 0;
  if (mosquitto_publish(mosq_, &mid, statusTopic_.c_str(), static_cast<int>(std::strlen(kOffline)),
                        kOffline, 1, true) == MOSQ_ERR_SUCCESS) {
    while (std::chrono::steady_clock::now() < deadline) {
      {
        std::lock_guard lock(stateMutex_);
        if (acked_.count(mid) != 0 || !connected_) {
          break;
        }
      }
      if (mosquitto_loop(mosq_, 100, 1) != MOSQ_ERR_SUCCESS) {
        break;
      }
    }
  }
  if (mosquitto_disconnect(mosq_) == MOSQ_ERR_SUCCESS) {
    while (std::chrono::steady_clock::now() < deadline &&
           mosquitto_loop(mosq_, 100, 1) == MOSQ_ERR_SUCCESS) {
    }
  }
  std::lock_guard lock(stateMutex_);
  connected_ = false;
}

void MqttForwarder::OnConnect(struct mosquitto* m, void* self, int rc) {
  auto* f = static_cast<MqttForwarder*>(self);
  if (rc != 0) {
    std::lock_guard lock(f->stateMutex_);
    f->refusal_ = rc;
    return;
  }
  mosquitto_publish(m, nullptr, f->statusTopic_.c_str(), static_cast<int>(std::strlen(kOnline)),
                    kOnline, 1, true);
  {
    std::lock_guard lock(f->stateMutex_);
    f->connected_ = true;
    f->connecting_ = false;
    ++f->connection_;
  }
  f->stateChanged_.notify_all();
  f->log_.Report("MQTT: connected to " + f->where_);
  if (f->limits_.retryOnConnect) {
    f->delivery_.RetryNow();  // what waits for a retry goes now
  }
}

void MqttForwarder::OnDisconnect(struct mosquitto*, void* self, int) {
  auto* f = static_cast<MqttForwarder*>(self);
  {
    std::lock_guard lock(f->stateMutex_);
    if (!f->connected_) {
      return;
    }
    f->connected_ = false;
    ++f->connection_;
  }
  f->stateChanged_.notify_all();
}

void MqttForwarder::OnPublish(struct mosquitto*, void* self, int mid) {
  auto* f = static_cast<MqttForwarder*>(self);
  {
    std::lock_guard lock(f->stateMutex_);
    f->acked_.insert(mid);
  }
  f->stateChanged_.notify_all();
}

}  // namespace sequelo::control
