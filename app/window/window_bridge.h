// How the station's other threads (call events, the transmitter, remote
// control) reach the window. They never touch a widget: activity
// lines and the received code are queued to the window thread (in the order
// they were made) and never make the caller wait; a message box makes its
// caller wait until the operator has answered, except while the window
// shuts down, when every waiting caller is let go at once.
#pragma once

#include <QLineEdit>
#include <QListWidget>
#include <QObject>
#include <QPointer>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>

#include "app/event_log.h"
#include "app/station.h"
#include "control/call_events.h"
#include "core/message_sink.h"

namespace sequelo::app {

// The activity list box: at most 1024 entries, the newest selected and in
// view. Entries are added on the window thread in the order AddEntry saw
// them.
class WindowActivityList final : public ActivityList {
 public:
  static constexpr int kMaxEntries = 1024;
  static constexpr int kScrollExtentPx = 1024;
  explicit WindowActivityList(QListWidget* list) : list_(list) {}
  void AddEntry(std::string entry) override;  // any thread

 private:
  void Flush();  // window thread

  QPointer<QListWidget> list_;
  std::mutex mutex_;
  std::deque<std::string> pending_;
};

// Shows a message box, or asks OK/Cancel; true for OK. Runs on the window
// thread. Tests put a recorder in its place.
using MessagePresenter =
    std::function<bool(bool question, const std::string& text, const std::string& caption)>;

class WindowMessageSink final : public core::MessageSink {
 public:
  // `context` is the window: requests from other threads run in its thread.
  WindowMessageSink(QObject* context, MessagePresenter presenter)
      : context_(context), presenter_(std::move(presenter)) {}
  void ShowMessage(std::string_view text, std::string_view caption) override {
    Present(false, text, caption);
  }
  bool AskOkCancel(std::string_view text, std::string_view caption) override {
    return Present(true, text, caption);
  }
  // From now on nobody waits: pending and later messages are dropped, a
  // question is answered Cancel. Any thread.
  void ReleaseWaiters();
  // Threads waiting for a box now (for tests and diagnostics).
  int Waiting() const { return waiting_.load(); }

 private:
  bool Present(bool question, std::string_view text, std::string_view caption);

  QPointer<QObject> context_;
  MessagePresenter presenter_;
  std::mutex mutex_;
  std::condition_variable answered_;
  bool released_ = false;
  std::atomic<int> waiting_{0};
};

// The "Received code" box as a subscriber of the call events: each code is
// queued to the window thread, in order, and never makes the caller wait.
class ReceivedCodeBox final : public control::CallSubscriber {
 public:
  explicit ReceivedCodeBox(QLineEdit* field) : field_(field) {}
  void OnCall(const control::CallEvent& event) override;  // any thread

 private:
  QPointer<QLineEdit> field_;
};

}  // namespace sequelo::app
