#pragma once
// Posted messages without a window system. A CMessageLoop is the queue of one thread (the
// main thread's, a headless loop's, or a test's): work posted from any thread runs on the
// thread that drains the loop, in posting order. A CEventQueue<Record> is one registered
// receiver on a loop: Post(argument, record) copies the record at posting time, so each
// receiver gets its own copy and a later post never overwrites what an earlier one carried.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace orva::platform {

class CMessageLoop {
 public:
  using Task = std::function<void()>;

  CMessageLoop() = default;
  CMessageLoop(const CMessageLoop&) = delete;
  CMessageLoop& operator=(const CMessageLoop&) = delete;

  // The loop of the main thread (drained by the Qt loop through the wake-up hook, or by
  // Run() when headless).
  static const std::shared_ptr<CMessageLoop>& Main();

  // Queues a task; never blocks on the thread that drains. Tasks posted after Quit() are
  // still queued and run by a later drain.
  void Post(Task task);

  // Runs the tasks queued at the time of the call (and any they post, on the next call);
  // returns how many ran. A task that throws is dropped; the loop carries on.
  size_t RunPending();

  // Runs tasks as they arrive until `pred` holds (checked after every task and on entry) or
  // the time is up. Returns pred().
  bool RunUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout);

  // Runs tasks as they arrive for the given time; returns how many ran.
  size_t RunFor(std::chrono::milliseconds duration);

  // Headless main loop: runs tasks until Quit().
  void Run();
  void Quit();

  // Called on the posting thread whenever a task lands in an empty queue, so that a
  // foreign event loop (Qt) can schedule RunPending() on its own thread.
  void SetWakeup(std::function<void()> wakeup);

  size_t PendingCount() const;

 private:
  bool _RunOne(std::unique_lock<std::mutex>& lock);

  mutable std::mutex m_lock;
  std::condition_variable m_cv;
  std::deque<Task> m_tasks;
  std::function<void()> m_wakeup;
  bool m_bQuit = false;
};

// One receiver of records of type Record on a loop. The handler runs on the loop's thread
// with the argument given at posting time and the copy taken then. After Close() nothing
// more is delivered, including posts already queued; Close() from another thread waits
// for a delivery in progress, so the handler's owner may be destroyed afterwards.
template <class Record>
class CEventQueue : public std::enable_shared_from_this<CEventQueue<Record>> {
 public:
  using Handler = std::function<void(uintptr_t ulArg, const Record& record)>;

  static std::shared_ptr<CEventQueue> Create(std::shared_ptr<CMessageLoop> pLoop, Handler handler) {
    return std::shared_ptr<CEventQueue>(new CEventQueue(std::move(pLoop), std::move(handler)));
  }

  ~CEventQueue() = default;
  CEventQueue(const CEventQueue&) = delete;
  CEventQueue& operator=(const CEventQueue&) = delete;

  // Copies the record and queues its delivery; false when the receiver is closed.
  bool Post(uintptr_t ulArg, const Record& record) {
    if (m_bClosed.load(std::memory_order_acquire)) return false;
    std::weak_ptr<CEventQueue> weak = this->shared_from_this();
    m_pLoop->Post([weak, ulArg, record]() {
      if (auto self = weak.lock()) self->_Deliver(ulArg, record);
    });
    return true;
  }

  void Close() {
    m_bClosed.store(true, std::memory_order_release);
    // Wait for a delivery on another thread; a handler closing its own queue goes on.
    std::unique_lock<std::mutex> g(m_deliverLock);
    m_deliverCv.wait(g, [&] {
      return m_deliveringThread == std::thread::id() ||
             m_deliveringThread == std::this_thread::get_id();
    });
  }

  bool IsClosed() const { return m_bClosed.load(std::memory_order_acquire); }
  const std::shared_ptr<CMessageLoop>& Loop() const { return m_pLoop; }

 private:
  CEventQueue(std::shared_ptr<CMessageLoop> pLoop, Handler handler)
      : m_pLoop(std::move(pLoop)), m_handler(std::move(handler)) {}

  void _Deliver(uintptr_t ulArg, const Record& record) {
    {
      std::lock_guard<std::mutex> g(m_deliverLock);
      if (m_bClosed.load(std::memory_order_acquire)) return;
      m_deliveringThread = std::this_thread::get_id();
    }
    struct Done {
      CEventQueue* q;
      ~Done() {
        std::lock_guard<std::mutex> g(q->m_deliverLock);
        q->m_deliveringThread = std::thread::id();
        q->m_deliverCv.notify_all();
      }
    } done{this};
    if (m_handler) m_handler(ulArg, record);
  }

  std::shared_ptr<CMessageLoop> m_pLoop;
  Handler m_handler;
  std::atomic<bool> m_bClosed{false};
  std::mutex m_deliverLock;
  std::condition_variable m_deliverCv;
  std::thread::id m_deliveringThread;
};

}  // namespace orva::platform
