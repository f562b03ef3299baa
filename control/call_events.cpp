#include "control/call_events.h"

namespace sequelo::control {

CallEventBus::CallEventBus(core::EventLog& log)
    : log_(log), intake_(kQueueEvents, [this](CallEvent& e) { HandleReceivedCode(e); }) {}

CallEventBus::~CallEventBus() {
  Stop();
}

void CallEventBus::Subscribe(std::string name, CallSubscriber& subscriber) {
  subscribers_.push_back(Subscription{
      std::move(name), std::make_unique<WorkQueue<CallEvent>>(
                           kQueueEvents, [&subscriber](CallEvent& e) { subscriber.OnCall(e); })});
}

void CallEventBus::Start() {
  for (Subscription& s : subscribers_) {
    s.queue->Start();
  }
  intake_.Start();
}

void CallEventBus::Stop() {
  intake_.Stop();  // every posted event handed on first
  ReportIntakeLosses();
  for (Subscription& s : subscribers_) {
    s.queue->Stop();
  }
}

bool CallEventBus::Post(CallEvent event) {
  return intake_.Post(std::move(event));
}

void CallEventBus::WaitIdle() {
  intake_.WaitIdle();
  for (Subscription& s : subscribers_) {
    s.queue->WaitIdle();
  }
}

std::uint64_t CallEventBus::Lost() const {
  std::uint64_t lost = intake_.Overflows();
  for (const Subscription& s : subscribers_) {
    lost += s.queue->Overflows();
  }
  return lost;
}

void CallEventBus::ReportIntakeLosses() {
  const std::uint64_t intakeLost = intake_.Overflows();
  if (intakeLost != intakeLostReported_) {
    log_.Report("Call events lost: " + std::to_string(intakeLost - intakeLostReported_));
    intakeLostReported_ = intakeLost;
  }
}

void CallEventBus::HandleReceivedCode(CallEvent& event) {
  ReportIntakeLosses();
  log_.Report("Code received: " + event.code);
  for (Subscription& s : subscribers_) {
    if (!s.queue->Post(event)) {
      log_.Report("Call event not delivered to the " + s.name + ": " + event.code);
    }
  }
}

}  // namespace sequelo::control
