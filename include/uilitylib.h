// uilitylib: monotonic time points, timers, an event loop, named threads and a loop thread.
//
// Thread contracts are stated on each member. "Loop thread" is the thread that constructed the EventLoop;
// the members marked so end the process with abort() when called on any other thread. Members without a
// stated contract (value types, accessors, static counters) may run on any thread, as long as no other
// thread changes the same object at the same time.
#ifndef UILITYLIB_H
#define UILITYLIB_H

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "doip_export.h"

namespace uilitylib {

class EventLoop;
class Timer;

namespace detail {
struct WakeTarget;
}

// A point on the monotonic clock in microseconds; 0 (and anything below) is the invalid point. Only
// Timestamps read from the same process are comparable; the count never follows the wall clock.
class DOIP_API Timestamp {
  public:
    Timestamp() : microSecondsSinceEpoch_(0) {}
    explicit Timestamp(int64_t microSecondsSinceEpoch) : microSecondsSinceEpoch_(microSecondsSinceEpoch) {}

    void swap(Timestamp& that) { std::swap(microSecondsSinceEpoch_, that.microSecondsSinceEpoch_); }
    bool valid() const { return microSecondsSinceEpoch_ > 0; }
    static Timestamp invalid() { return Timestamp(); }
    int64_t microSecondsSinceEpoch() const { return microSecondsSinceEpoch_; }

    // Any thread; never decreases between two calls.
    static Timestamp now();
    // "seconds.micro", e.g. "1.500000".
    std::string toString() const;
    // "YYYYMMDD HH:MM:SS[.micro]"; the count is read as seconds since 1970-01-01 and broken down in UTC.
    std::string toFormattedString(bool showMicroseconds = true) const;

    static const int kMicroSecondsPerSecond = 1000 * 1000;

  private:
    int64_t microSecondsSinceEpoch_;
};

// t plus seconds; the microsecond delta is truncated toward zero. A sum beyond the int64 range saturates at
// its end (so +inf gives the latest point, -inf the earliest), and NaN adds nothing.
DOIP_API Timestamp addTime(Timestamp t, double seconds);
DOIP_API bool operator<(Timestamp lhs, Timestamp rhs);

// One scheduled callback, owned by its TimerQueue from addTimer until it is cancelled or ends.
class DOIP_API Timer {
  public:
    Timer(std::function<void()> callback, Timestamp expiration, double interval);

    // Loop thread; an empty callback does nothing.
    void run() const;
    Timestamp expiration() const { return expiration_; }
    bool repeat() const { return repeat_; }
    int64_t sequence() const { return sequence_; }
    // Next expiry measured from now for a repeating timer; the invalid Timestamp for a one-shot one.
    void restart(Timestamp now);

    static int64_t numCreated();

    // Timers ever constructed; each takes the incremented value as its sequence.
    static std::atomic<int64_t> s_numCreated;

  private:
    std::function<void()> callback_;
    Timestamp expiration_;
    double interval_;
    bool repeat_;
    int64_t sequence_;
};

// Handle of a scheduled timer, made only by the library. It stays a safe lookup key after its Timer is
// gone: a later Timer at the same address has another sequence.
class DOIP_API TimerId {
  public:
    TimerId(const TimerId&) = default;
    TimerId(TimerId&&) = default;
    TimerId& operator=(const TimerId&) = default;
    TimerId& operator=(TimerId&&) = default;

  private:
    friend class TimerQueue;
    TimerId() : timer_(nullptr), sequence_(0) {}
    TimerId(Timer* timer, int64_t sequence) : timer_(timer), sequence_(sequence) {}

    Timer* timer_;
    int64_t sequence_;
};

// The pending timers of one EventLoop, armed on a one-shot OS timer whose callback only wakes the loop.
// Not copyable: it owns its timers and its OS timer.
class DOIP_API TimerQueue {
  public:
    // Loop thread, from the EventLoop constructor; installs run() as the loop's per-turn timer callback.
    explicit TimerQueue(EventLoop* loop);
    // Loop thread. Deletes the OS timer without waiting for it, disarms the wake target so that an OS
    // callback already under way can no longer reach the loop, and destroys the timers still pending
    // (their callbacks are not run).
    ~TimerQueue();
    TimerQueue(const TimerQueue&) = delete;
    TimerQueue& operator=(const TimerQueue&) = delete;

    // Any thread; the timer becomes pending at the loop's next turn (at once on the loop thread). If the
    // hand-over is dropped or the loop goes away first, the timer is destroyed without running.
    TimerId addTimer(std::function<void()> callback, Timestamp expiration, double interval);
    // Any thread; takes effect like addTimer. Stale and default ids are ignored.
    void cancel(TimerId timerId);
    // Any thread; wakes the owner loop as EventLoop::wakeup does.
    void wakeup();

  private:
    struct EntryLess {
        bool operator()(const std::pair<Timestamp, Timer*>& a, const std::pair<Timestamp, Timer*>& b) const;
    };
    struct ActiveLess {
        bool operator()(const std::pair<Timer*, int64_t>& a, const std::pair<Timer*, int64_t>& b) const;
    };
    using Entry = std::pair<Timestamp, Timer*>;
    using TimerList = std::set<Entry, EntryLess>;
    using ActiveTimer = std::pair<Timer*, int64_t>;
    using ActiveTimerSet = std::set<ActiveTimer, ActiveLess>;

    // All loop thread only.
    void addTimerInLoop(Timer* timer);
    bool insert(Timer* timer);
    void cancelInLoop(TimerId timerId);
    std::vector<Entry> getExpired(Timestamp now);
    void run();
    void reset(const std::vector<Entry>& expired, Timestamp now);

    // Arms a new one-shot OS timer due in dueMs milliseconds; reports whether the platform accepted it.
    bool createTimeEvent(unsigned int dueMs);
    // Deletes an OS timer without waiting for its callback; a null handle is ignored.
    void closeTimeEvent(void* handle);
    // Replaces the OS timer with one for expiration, to the microsecond where the platform has it (Windows
    // rounds up to whole milliseconds); one already past arms the OS timer to fire at once.
    void resetTimerfd(void* handle, Timestamp expiration);
    // Runs on a platform timer thread; param is this queue's wake target, and touches nothing else.
    static void timeEventCallback(void* param);

    EventLoop* loop_;
    void* timerHandle_;
    TimerList timers_;
    ActiveTimerSet activeTimers_;
    bool callingExpiredTimers_;
    ActiveTimerSet cancelingTimers_;
    // Shared with every armed OS timer; cleared under its lock by the destructor.
    std::shared_ptr<detail::WakeTarget> wakeTarget_;
};

// A single-thread executor of timers and queued functors, bound to the thread that constructs it. Each
// turn waits at most one second for a wake-up, then runs the due timers, then the queued functors.
class DOIP_API EventLoop {
  public:
    static const size_t kMaxPendingFunctors = 5000;

    // Any thread; that thread becomes the loop thread.
    EventLoop();
    // Any thread, but not while loop() runs. Pending timers and functors are destroyed without running.
    ~EventLoop();
    EventLoop(const EventLoop&) = delete;
    EventLoop& operator=(const EventLoop&) = delete;

    // Loop thread. Runs turns until quit() is seen after a turn; clears a quit() made before it started.
    void loop();
    // Any thread; the loop ends after its turn in progress. Does not wake the loop.
    void quit();
    // Any thread. A wake-up that arrives while the loop is not waiting is remembered, so the next wait
    // returns at once.
    void wakeup();

    // Any thread; on the loop thread f runs at once, elsewhere it is queued.
    void runInLoop(std::function<void()> f);
    // Any thread; f runs in the loop's next turn. When 5000 functors wait already, the oldest is
    // destroyed without running. Queueing from another thread wakes the loop.
    void queueInLoop(std::function<void()> f);

    // Any thread; one-shot timer at time. A time already past runs in the loop's next turn: the OS timer is
    // then armed to fire at once.
    TimerId runAt(Timestamp time, std::function<void()> cb);
    // Any thread; one-shot timer delay milliseconds from now.
    TimerId runAfter(double delay, std::function<void()> cb);
    // Any thread; repeating timer every interval milliseconds, first due one interval from now. An interval
    // of 0 or less makes a one-shot timer due at once.
    TimerId runEvery(double interval, std::function<void()> cb);
    // Any thread; a timer already due when the cancel takes effect still runs once.
    void cancel(TimerId timerId);

    // Constructing thread, by the TimerQueue constructor only.
    void setTimerCallback(std::function<void()> cb);

    // Any thread. Out of line: a DLL built with its own copy of the thread runtime must compare thread ids
    // from that copy, not from the application's.
    bool isInThread() const;
    // Any thread; ends the process with abort() unless called on the loop thread.
    void assertInThread() const;
    bool eventHandling() const { return eventHandling_; }

  private:
    // Loop thread.
    void doPendingFunctors();

    bool looping_;
    std::atomic<bool> quit_;
    bool eventHandling_;
    bool callingPendingFunctors_;
    const std::thread::id threadId_;
    std::mutex mutex_;
    std::condition_variable cond_;
    std::deque<std::function<void()>> pendingFunctors_;
    // Guarded by mutex_: a wake-up not yet consumed by a wait.
    bool wakeupPending_;
    std::function<void()> timerCallback_;
    std::unique_ptr<TimerQueue> timerQueue_;
};

// A count-down latch; wait() returns once the count is 0 or below.
class DOIP_API Latch {
  public:
    // Any thread.
    explicit Latch(int count);
    Latch(const Latch&) = delete;
    Latch& operator=(const Latch&) = delete;

    // Any thread; blocks while the count is above 0.
    void wait();
    // Any thread; wakes all waiters when the count reaches exactly 0. Extra calls drive it below 0.
    void countDown();
    // Any thread.
    int getCount();

  private:
    std::mutex mutex_;
    std::condition_variable cond_;
    int count_;
};

// One named OS thread running one function. A function that throws ends the thread with one line on
// standard output; the exception reaches nobody else.
class DOIP_API StdThread {
  public:
    using ThreadFunc = std::function<void()>;

    // Any thread. An empty name gives "StdThread<n>", n taken from s_thread_count, which advances for
    // named threads too.
    explicit StdThread(ThreadFunc func, const std::string& name = std::string());
    // Waits for a still-running thread to return. Called on the object's own thread (from its function)
    // it detaches the thread instead, which then ends without touching the destroyed object again.
    ~StdThread();
    StdThread(const StdThread&) = delete;
    StdThread& operator=(const StdThread&) = delete;

    // Any thread; returns once the new thread runs and getThreadId() is set. Succeeds once per object:
    // the start handshake cannot be repeated, so any later call, whether or not the first thread is still
    // joinable, throws std::logic_error and changes nothing. Thread creation failure throws
    // std::system_error.
    void start();
    // Any thread; only clears isRunning(), the thread goes on.
    void stop();
    // Any thread but its own; does nothing unless the thread is joinable.
    void join();
    // Any thread; does nothing unless the thread is joinable.
    void detach();
    bool isRunning() const { return running_; }

    std::string getThreadName() const { return name_; }
    void setThreadName(const std::string& name) { name_ = name; }
    // Decimal id of the started thread; empty before start().
    std::string getThreadId() const { return tid_; }
    // The counter before the call; advances it by one.
    static int getThreadCount();

    // Default-name counter; advanced by every construction and every getThreadCount().
    static std::atomic<int> s_thread_count;

  private:
    void run();
    static std::string formatThreadId();
    void setDefaultName();

    std::atomic<bool> running_;
    std::string name_;
    ThreadFunc func_;
    Latch latch_;
    std::unique_ptr<std::thread> thread_;
    std::string tid_;
};

// A StdThread running an EventLoop that lives on that thread's stack.
class DOIP_API ThreadEventLoop {
  public:
    using ThreadInitCallback = std::function<void(EventLoop*)>;

    // Any thread; starts nothing. An empty name gives the thread the default "StdThread<n>" name.
    explicit ThreadEventLoop(const ThreadInitCallback& cb = ThreadInitCallback(),
                             const std::string& name = std::string());
    // Any thread but the loop thread (there it ends the process with abort(): it cannot join itself).
    // Stops the loop and joins the thread. A quit made after the loop was published but before loop()
    // started is cleared by loop(), so the quit request and a wake-up are repeated until the loop thread
    // has withdrawn its loop.
    ~ThreadEventLoop();
    ThreadEventLoop(const ThreadEventLoop&) = delete;
    ThreadEventLoop& operator=(const ThreadEventLoop&) = delete;

    // Any thread; returns the running loop once the init callback has run on the new thread. Once per
    // object: a second call throws std::logic_error (from StdThread::start) and leaves the loop running.
    // When the thread cannot be created it throws std::system_error; when the thread ends before it has
    // published its loop (building the EventLoop or the init callback threw) it throws
    // std::runtime_error. It returns null when the loop has been published and has already ended again.
    EventLoop* startLoop();

    // Any thread; runs work with the loop the thread has published, under the lock that the thread takes to
    // withdraw it, so the loop cannot go meanwhile. False (work not called) before the loop is published
    // and after the loop thread has left its loop, for whatever reason. work must not block nor call back
    // into this object.
    bool withLoop(const std::function<void(EventLoop&)>& work);

  private:
    void threadFunc();

    // Guarded by mutex_: the running loop, published by the loop thread and withdrawn before it goes.
    EventLoop* loop_;
    // Guarded by mutex_: set when the loop is published, and when the thread function ends.
    bool published_;
    bool ended_;
    StdThread thread_;
    std::mutex mutex_;
    std::condition_variable cond_;
    ThreadInitCallback callback_;
};

}  // namespace uilitylib

#endif
