// Runs tasks one after another, in the order given, on one worker thread of its own, so
// slow refreshes never run on the caller's thread and never overlap each other. Safe
// from any thread. The worker starts with the first task and runs at background
// priority; destruction waits for the task that is running and drops those not started.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace tessel {

class SerialQueue {
 public:
  // `label` names the worker thread (the first 15 bytes show in `top -H` and debuggers).
  explicit SerialQueue(std::string label);
  SerialQueue(const SerialQueue&) = delete;
  SerialQueue& operator=(const SerialQueue&) = delete;
  ~SerialQueue();

  const std::string& label() const { return label_; }

  // Queues `task` and returns at once. A task that throws ends only itself.
  void async(std::function<void()> task);
  // Blocks until every task queued before the call has finished.
  void drain();

 private:
  void work();

  const std::string label_;
  mutable std::mutex lock_;
  std::condition_variable changed_;
  // Guarded by lock_.
  std::deque<std::function<void()>> tasks_;
  bool isRunning_ = false;  // the worker is inside a task
  bool isStopping_ = false;
  std::thread worker_;
};

}  // namespace tessel
