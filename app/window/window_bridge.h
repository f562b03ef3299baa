// How the capture thread, the remote-control thread and a transmission
// running beside the window reach it. They never touch a widget: activity
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

// The window's controls as other threads read them: a copy the window
// thread refreshes whenever a control changes. Shown codes are queued to the
// "Received code" field.
class WindowLiveControls final : public LiveControls {
 public:
  struct Values {
    std::string ownCode, ownGroup, delay, fixedText, waveFileToSend, waveFileToPlay;
    int action = -1;
    bool playSoundOnRx = false;
    int mode = 0;
    bool pilotTone = false;
    bool generateSoundfiles = false;
  };
  explicit WindowLiveControls(QLineEdit* receivedCode) : receivedCode_(receivedCode) {}
  void Update(Values values) {  // window thread
    std::lock_guard lock(mutex_);
    values_ = std::move(values);
  }
  void ShowReceivedCode(std::string_view code) override;
  std::string OwnCode() override { return Get().ownCode; }
  std::string OwnGroup() override { return Get().ownGroup; }
  std::string DelayText() override { return Get().delay; }
  int Action() override { return Get().action; }
  std::string FixedText() override { return Get().fixedText; }
  std::string WaveFileToSend() override { return Get().waveFileToSend; }
  bool PlaySoundOnRx() override { return Get().playSoundOnRx; }
  std::string WaveFileToPlay() override { return Get().waveFileToPlay; }
  int Mode() override { return Get().mode; }
  bool PilotTone() override { return Get().pilotTone; }
  bool GenerateSoundfiles() override { return Get().generateSoundfiles; }

 private:
  Values Get() {
    std::lock_guard lock(mutex_);
    return values_;
  }
  QPointer<QLineEdit> receivedCode_;
  std::mutex mutex_;
  Values values_;
};

}  // namespace sequelo::app
