#include "stack/dum/DumThread.h"

#include <exception>
#include <stdexcept>

#include <boost/asio/post.hpp>

#include "stack/base/Log.h"

namespace zel::sip::stack {

DumThread::DumThread() : guard_(boost::asio::make_work_guard(context_)) {}

DumThread::~DumThread() {
    if (IsCurrentThread()) {
        // The loop is still on this thread's stack: freeing it here cannot be made safe.
        ZEL_LOG(Crit, "dialog thread: destroyed on its own thread");
        std::terminate();
    }
    Stop();
    Join();
}

void DumThread::Start() {
    std::lock_guard lock(stateMutex_);
    if (started_ || stopped_) {
        throw std::logic_error(started_ ? "the dialog thread is started already" : "the dialog thread is stopped");
    }
    // Under joinMutex_ too: Join reads thread_.
    std::lock_guard joinLock(joinMutex_);
    thread_ = std::thread([this] { Run(); });
    started_ = true; // only once the thread exists: a failed start may be retried
}

void DumThread::Post(std::function<void()> task) { boost::asio::post(context_, std::move(task)); }

DumThread::ExecutorType DumThread::Executor() noexcept { return context_.get_executor(); }

bool DumThread::IsCurrentThread() const noexcept { return threadId_.load() == std::this_thread::get_id(); }

void DumThread::Stop() {
    std::lock_guard lock(stateMutex_);
    stopped_ = true;
    guard_.reset();
    // io_context::stop lets the handler in progress return, then makes run() return; a stop before
    // the thread enters run() makes run() return at once.
    context_.stop();
}

void DumThread::Join() {
    if (IsCurrentThread()) {
        throw std::logic_error("the dialog thread cannot join itself");
    }
    std::lock_guard joinLock(joinMutex_);
    if (thread_.joinable()) {
        thread_.join();
    }
}

void DumThread::Run() noexcept {
    threadId_.store(std::this_thread::get_id());
    for (;;) {
        try {
            context_.run();
            break;
        } catch (const std::exception& error) {
            ZEL_LOG(Err, "dialog thread: a task raised an exception: {}", error.what());
        } catch (...) {
            ZEL_LOG(Err, "dialog thread: a task raised an exception of unknown type");
        }
        // run() may be called again after a handler threw, without restart(): the rest of the queue
        // is still there.
    }
    // Thread ids are reused: a later thread with this id must not pass for the dialog thread.
    threadId_.store(std::thread::id{});
}

} // namespace zel::sip::stack
