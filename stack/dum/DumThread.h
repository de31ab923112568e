#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>

namespace zel::sip::stack {

/// The dialog thread: one std::thread running one io_context, on which every usage, every core of
/// the dialog layer and every handler call-out runs. Other threads reach it only by posting.
///
/// A work guard keeps the loop running while it is idle. An exception escaping a task (a host
/// callback that throws) is logged and the loop goes on: one bad callback must not end the thread
/// every other session depends on.
///
/// Threads: every member is safe from any thread, except that `Join` (and so the destructor) must
/// not be called on the dialog thread itself.
class DumThread {
public:
    using ExecutorType = boost::asio::io_context::executor_type;

    DumThread();
    /// Stops and joins. Destroying it on its own thread is a programming error and terminates.
    ~DumThread();
    DumThread(const DumThread&) = delete;
    DumThread& operator=(const DumThread&) = delete;

    /// Starts the thread. Raises std::logic_error when started before or stopped already.
    void Start();
    /// Queues `task`; tasks run one at a time in the order posted. Tasks posted before Start run
    /// once it starts; tasks posted after Stop never run.
    void Post(std::function<void()> task);
    /// The loop's executor, for timers and asynchronous operations that belong to the dialog thread.
    ExecutorType Executor() noexcept;
    /// Whether the caller is the dialog thread.
    bool IsCurrentThread() const noexcept;
    /// Lets the task in progress finish, then stops the loop; queued tasks are dropped. Idempotent,
    /// and allowed on the dialog thread itself (from inside a task).
    void Stop();
    /// Waits for the thread to end (call Stop first, or it waits for ever). Returns at once when it
    /// never started or was joined before. Raises std::logic_error on the dialog thread itself,
    /// which would otherwise wait for itself.
    void Join();

private:
    void Run() noexcept;

    boost::asio::io_context context_;
    std::mutex stateMutex_; // started_, stopped_, guard_
    bool started_ = false;
    bool stopped_ = false;
    std::optional<boost::asio::executor_work_guard<ExecutorType>> guard_;
    std::mutex joinMutex_; // serialises joiners, so none returns before the thread has ended
    std::thread thread_;
    std::atomic<std::thread::id> threadId_{};
};

} // namespace zel::sip::stack
