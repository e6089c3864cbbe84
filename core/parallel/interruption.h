// The host's request to stop, seen from inside long computations. Only the calling thread
// asks the host (hosts allow their calls from that thread alone); once it has said stop, a
// flag tells every other thread, which checks it between pieces of work, so that each part
// of a parallel loop ends soon after and the call can return within a fraction of a second.
#pragma once

#include <atomic>
#include <thread>

namespace krr {

class interruption {
 public:
  // Made on the calling thread. pending(state) says whether the host asks to stop; null:
  // it never does.
  explicit interruption(bool (*pending)(void*) = nullptr, void* state = nullptr)
      : pending_(pending), state_(state), caller_(std::this_thread::get_id()) {}

  // Any thread, between pieces of work: whether to stop. On the calling thread this asks
  // the host; elsewhere it reads what the calling thread last heard.
  bool requested() {
    if (stopped_.load(std::memory_order_relaxed)) return true;
    if (pending_ && std::this_thread::get_id() == caller_ && pending_(state_)) {
      stopped_.store(true, std::memory_order_relaxed);
      return true;
    }
    return false;
  }

  // Whether a stop has been heard, without asking the host.
  bool stopped() const { return stopped_.load(std::memory_order_relaxed); }

 private:
  bool (*pending_)(void*);
  void* state_;
  std::thread::id caller_;
  std::atomic<bool> stopped_{false};
};

}  // namespace krr
