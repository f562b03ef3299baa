// Forwards alarm events to an MQTT broker (libmosquitto): each event is
// published to "sequelo/<station>/alarm" as its JSON (AlarmEventJson), QoS 1,
// not retained; subscribers drop the duplicates that at-least-once delivery
// allows by the event's "id". "sequelo/<station>/status" holds "online"
// (retained, published at each connect) and "offline" (published at a
// clean stop, and the broker's last will when the station vanishes).
//
// Durable: OnAlarm appends the event to the queue file Sequelo.mqtt-queue
// in `queueDir` (control/mqtt_journal.h) before it queues it, and the event
// is marked done there only after the broker's PUBACK. Events still in the
// file at Start are sent first, in order: a broker outage or a killed
// station loses nothing that was taken. Delivery is AlarmDelivery's: one
// event at a time, in order, retried after 1, 2, 4 ... 60 s, at most
// limits.delivery.capacity events waiting (the oldest dropped, logged).
//
// Threads: OnAlarm from the alarm thread (it appends to the file and
// queues, never waits for the broker); the delivery thread publishes and
// waits for the PUBACK (at most pubackTimeoutMs; fails at once when not
// connected); a network thread of ours runs libmosquitto (connects,
// reconnects after 1, 2, 4 ... 60 s, reads and writes); Start and Stop by
// the owner, once each. Events taken before Start or after Stop go to the
// file (when it is open) for the next start.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <thread>

#include "control/alarm_delivery.h"
#include "control/alarm_event.h"
#include "control/mqtt_journal.h"
#include "core/event_log.h"

struct mosquitto;

namespace sequelo::control {

struct MqttSettings {
  std::string host;  // empty: no forwarding (the owner builds no forwarder)
  int port = 1883;
  std::string user;      // empty: no user name or password sent
  std::string password;  // handed to libmosquitto only, never logged
  std::string station;   // the station's name in the topics
  std::string queueDir;  // folder of the queue file; empty: memory only
};

struct MqttLimits {
  // capacity is also the most events the queue file keeps.
  DeliveryLimits delivery{.capacity = 10000};
  std::uint32_t firstReconnectMs = 1000;
  std::uint32_t longestReconnectMs = 60000;
  // A connection that has no CONNACK after this is given up and retried.
  std::uint32_t connectTimeoutMs = 15000;
  std::uint32_t pubackTimeoutMs = 10000;
  int keepAliveSeconds = 30;
  // Done lines in the queue file before it is rewritten (when they are
  // also two thirds of it).
  std::size_t compactAfterLines = 1000;
  // A new connection ends the delivery's retry pause: what waited goes at
  // once (off: the next retry waits out its pause).
  bool retryOnConnect = true;
};

// The station's name as one topic level: '+', '#', '/', control characters
// and bytes that are not UTF-8 become '_'; empty gives "station".
std::string MqttTopicLevel(std::string_view station);

class MqttForwarder final : public AlarmSink {
 public:
  // `log` must outlive the forwarder. Nothing is connected or read before
  // Start.
  MqttForwarder(MqttSettings settings, core::EventLog& log, MqttLimits limits = {});
  ~MqttForwarder() override;
  MqttForwarder(const MqttForwarder&) = delete;
  MqttForwarder& operator=(const MqttForwarder&) = delete;

  // Reads the queue file back (its events are queued first), starts
  // connecting and delivering. Problems are logged; events are then kept in
  // memory only.
  void Start();
  // Ends delivery (an event waiting for its PUBACK is cut short; it stays in
  // the queue file), publishes "offline", disconnects, and ends the network
  // thread.
  void Stop();

  void OnAlarm(const AlarmEvent& event) override;

  const std::string& AlarmTopic() const { return alarmTopic_; }
  const std::string& StatusTopic() const { return statusTopic_; }
  bool Connected() const;
  // Blocks until nothing waits for delivery, or `ms` have passed; true if
  // idle (tests and tools).
  bool WaitIdle(std::uint32_t ms) { return delivery_.WaitIdle(ms); }
  // Events the broker acknowledged.
  std::uint64_t Delivered() const { return delivered_.load(); }

 private:
  enum class Phase { kNew, kRunning, kStopped };
  struct Waiting {
    std::uint64_t seq;
    std::string payload;
    bool journaled;
  };

  bool Deliver(const AlarmEvent& event, std::string& error);
  void Take(const AlarmEvent& event);
  void Queue(std::uint64_t seq, const AlarmEvent& event, std::string payload, bool journaled);
  void StartConnection();
  void NetworkLoop();
  void CloseConnection();
  bool PauseNetwork(std::uint32_t ms);
  std::string Reason(int rc, int err) const;

  static void OnConnect(struct mosquitto* m, void* self, int rc);
  static void OnDisconnect(struct mosquitto* m, void* self, int rc);
  static void OnPublish(struct mosquitto* m, void* self, int mid);

  MqttSettings settings_;
  core::EventLog& log_;
  const MqttLimits limits_;
  const std::string alarmTopic_;
  const std::string statusTopic_;
  const std::string where_;  // "host:port" for the log, printable
  MqttJournal journal_;
  AlarmDelivery delivery_;
  std::atomic<std::uint64_t> delivered_{0};

  // Taking events (OnAlarm, Start, Stop): one at a time, numbers rising.
  std::mutex takeMutex_;
  Phase phase_ = Phase::kNew;
  std::deque<AlarmEvent> early_;  // taken before Start

  // The events queued for delivery with their numbers, in order: the
  // journal's view of AlarmDelivery's queue (its front may be under way).
  std::mutex queueMutex_;
  std::deque<Waiting> waiting_;
  std::uint64_t underWay_ = 0;  // the number being delivered; 0: none
  std::uint64_t lastSeq_ = 0;

  struct mosquitto* mosq_ = nullptr;
  std::thread network_;

  // Connection state, shared by the network and delivery threads.
  mutable std::mutex stateMutex_;
  std::condition_variable stateChanged_;
  bool connected_ = false;
  bool connecting_ = false;       // a connection being made, no CONNACK yet
  std::uint64_t connection_ = 0;  // counts connects and losses
  std::set<int> acked_;           // message ids of PUBACKs since the last publish
  int refusal_ = 0;               // the last CONNACK's refusal code
  bool stopping_ = false;
};

}  // namespace sequelo::control
