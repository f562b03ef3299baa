// A private mosquitto broker for tests and benchmarks: its own folder
// (configuration, password file, persistence, log) under the temporary
// directory, a free localhost port, started and stopped by PID. Restarting
// keeps the port and, through persistence, the retained messages and the
// sessions of subscribers that are not clean.
//
// And a subscriber (libmosquitto, its own network thread) that collects
// what arrives, reconnecting and subscribing again by itself.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

struct mosquitto;
struct mosquitto_message;

namespace sequelo::testsupport {

struct BrokerUser {
  std::string name;
  std::string password;
};

class MosquittoBroker {
 public:
  // With users, anonymous clients are refused.
  explicit MosquittoBroker(std::vector<BrokerUser> users = {});
  ~MosquittoBroker();
  MosquittoBroker(const MosquittoBroker&) = delete;
  MosquittoBroker& operator=(const MosquittoBroker&) = delete;

  // The mosquitto program, or empty when it is not installed.
  static std::string Program();

  // Starts it and waits until it takes connections; the first start picks
  // the port, later ones reuse it. False with Error() on failure.
  bool Start();
  // SIGTERM (the broker saves its state), SIGKILL if it does not end.
  void Stop();
  bool Running() const { return pid_ > 0; }

  int Port() const { return port_; }
  const std::string& Error() const { return error_; }
  std::string Log() const;

 private:
  bool Prepare();
  bool Launch();

  std::vector<BrokerUser> users_;
  std::string folder_;
  pid_t pid_ = -1;
  int port_ = 0;
  std::string error_;
};

struct MqttMessage {
  std::string topic;
  std::string payload;
  bool retained = false;
};

class MqttSubscriber {
 public:
  // `clientId` non-empty: a session the broker keeps while we are away.
  MqttSubscriber(int port, std::vector<std::string> topics, std::string clientId = {},
                 std::string user = {}, std::string password = {});
  ~MqttSubscriber();
  MqttSubscriber(const MqttSubscriber&) = delete;
  MqttSubscriber& operator=(const MqttSubscriber&) = delete;

  // Connects and subscribes; true once the first subscription is granted
  // (within a few seconds).
  bool Start();
  void Stop();

  std::vector<MqttMessage> Messages() const;
  // Waits until `done` holds for what has arrived, at most `limit`.
  bool WaitFor(const std::function<bool(const std::vector<MqttMessage>&)>& done,
               std::chrono::milliseconds limit);
  // Called on the subscriber's thread for each message, besides keeping it
  // (tools that count without keeping set keep = false).
  void SetHandler(std::function<void(const MqttMessage&)> handler, bool keep);

 private:
  static void OnConnect(struct mosquitto* m, void* self, int rc);
  static void OnSubscribe(struct mosquitto* m, void* self, int mid, int count, const int* granted);
  static void OnMessage(struct mosquitto* m, void* self, const struct mosquitto_message* message);

  const int port_;
  const std::vector<std::string> topics_;
  const std::string clientId_;
  const std::string user_;
  const std::string password_;
  struct mosquitto* mosq_ = nullptr;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<MqttMessage> messages_;
  std::function<void(const MqttMessage&)> handler_;
  bool keep_ = true;
  std::size_t subacks_ = 0;
};

}  // namespace sequelo::testsupport
