// Thread queues: the messages waiting for each thread, and the wait that wakes it.
#include "MessageQueue.h"

#include <algorithm>
#include <map>
#include <thread>

#include <linux/futex.h>
#include <sched.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include "winbase.h"

namespace {

// Every live queue by thread id; touched by any thread creating or querying a queue, under queuesMutex.
std::map<DWORD, std::weak_ptr<ThreadQueue>> queuesByThread;
std::mutex queuesMutex;

// The queue of the calling thread and its messages to send; each thread touches only its own.
thread_local std::shared_ptr<ThreadQueue> t_queue;
thread_local SentMessageCache t_sentMessages;

} // namespace

ThreadQueue::ThreadQueue() : m_threadId(GetCurrentThreadId()) {}

bool ThreadQueue::PushSentUnlessGone(const std::shared_ptr<SentMessage>& message,
                                     const std::atomic<bool>& windowAlive)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!windowAlive.load()) {
            return false;
        }
        m_sent.push_back(message);
        m_sentCount.store(m_sent.size());
    }
    Wake();
    return true;
}

bool ThreadQueue::PushSentUnlessGoneWaitingForever(const std::shared_ptr<SentMessage>& message,
                                                   const std::atomic<bool>& windowAlive)
{
    SentMessage* empty = nullptr;
    if (!windowAlive.load()) {
        return false;
    }
    if (!m_mailbox.compare_exchange_strong(empty, message.get())) {
        return PushSentUnlessGone(message, windowAlive);
    }
    // The window's destruction clears windowAlive before it looks into the mailbox, so a message put in
    // after that look is seen here and taken back. One that is no longer there was taken by the owner,
    // which runs it (and answers 0 for a window that is gone), or by the destruction, which answers it.
    SentMessage* mine = message.get();
    if (!windowAlive.load() && m_mailbox.compare_exchange_strong(mine, nullptr)) {
        return false;
    }
    WakeIfAsleep();
    return true;
}

SentMessage* ThreadQueue::PopSent(std::shared_ptr<SentMessage>& keep)
{
    if (m_sentCount.load() != 0) {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_sent.empty()) {
            keep = std::move(m_sent.front());
            m_sent.pop_front();
            m_sentCount.store(m_sent.size());
            return keep.get();
        }
    }
    if (m_mailbox.load(std::memory_order_relaxed) == nullptr) {
        return nullptr;
    }
    return m_mailbox.exchange(nullptr);
}

bool ThreadQueue::WithdrawSent(const std::shared_ptr<SentMessage>& message)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    auto found = std::find(m_sent.begin(), m_sent.end(), message);
    if (found == m_sent.end()) {
        return false;
    }
    m_sent.erase(found);
    m_sentCount.store(m_sent.size());
    return true;
}

void ThreadQueue::PushPosted(const PostedMessage& message)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_posted.push_back(message);
        m_postedCount.store(m_posted.size());
    }
    Wake();
}

void ThreadQueue::PushPostedFirst(const PostedMessage& message)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_posted.push_front(message);
        m_postedCount.store(m_posted.size());
    }
    Wake();
}

bool ThreadQueue::PopPosted(PostedMessage& message)
{
    if (m_postedCount.load() == 0) {
        return false;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_posted.empty()) {
        return false;
    }
    message = m_posted.front();
    m_posted.pop_front();
    m_postedCount.store(m_posted.size());
    return true;
}

std::vector<std::shared_ptr<SentMessage>> ThreadQueue::DropMessagesFor(HWND window)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<std::shared_ptr<SentMessage>> dropped;
    if (SentMessage* waiting = m_mailbox.exchange(nullptr)) {
        // Its sender holds it until it is answered, so a reference that owns nothing will do.
        std::shared_ptr<SentMessage> unowned(std::shared_ptr<SentMessage>(), waiting);
        if (waiting->hwnd == window) {
            dropped.push_back(std::move(unowned));
        } else {
            m_sent.push_front(std::move(unowned)); // the owner runs it next, as from the mailbox
        }
    }
    for (auto it = m_sent.begin(); it != m_sent.end();) {
        if ((*it)->hwnd == window) {
            dropped.push_back(*it);
            it = m_sent.erase(it);
        } else {
            ++it;
        }
    }
    std::erase_if(m_posted, [window](const PostedMessage& posted) { return posted.msg.hwnd == window; });
    m_sentCount.store(m_sent.size());
    m_postedCount.store(m_posted.size());
    return dropped;
}

bool ThreadQueue::Complete(SentMessage& message, LRESULT result)
{
    message.result = result;
    // The sender watches done while it spins and, before it sleeps, says so in m_sleeping and looks at
    // done once more; with both in sequentially consistent order it either sees done or is woken here.
    message.done.store(true);
    const bool woken = WakeIfAsleep();
    message.released.store(true, std::memory_order_release);
    return woken;
}

void ThreadQueue::MarkChanged()
{
    m_changed.store(true);
}

bool ThreadQueue::TakeChanged()
{
    // Looked at first, so that a thread with nothing changed does not take the line from a writer.
    return m_changed.load() && m_changed.exchange(false);
}

bool ThreadQueue::WakeIfAsleep()
{
    return m_sleeping.load() && Wake();
}

bool ThreadQueue::Wake()
{
    if (m_woken.exchange(1) != 0) {
        return false; // the owner has not taken the last wake-up yet, so it will look again anyway
    }
    if (!m_sleeping.load()) {
        return false;
    }
    syscall(SYS_futex, reinterpret_cast<uint32_t*>(&m_woken), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
    return true;
}

bool ThreadQueue::WakeUpPending(const WaitFor& what, std::memory_order order) const
{
    return (what.answer != nullptr && what.answer->load(order)) ||
           (what.sentMessages && m_mailbox.load(order) != nullptr) ||
           (what.input != nullptr && what.input->load(order));
}

bool ThreadQueue::TakeInput(const WaitFor& what)
{
    return what.input != nullptr && what.input->load() && what.input->exchange(false);
}

// A sent message is answered within a microsecond when the other thread runs on another core, and a
// thread that fills a list sends the next message at once: a spin then saves the sleep and the
// wake-up, which on a virtual machine costs tens of microseconds when it has to wake an idle core.
// It is bounded by rounds, not by the clock, which is slow to read on some virtual machines; the
// rounds come to some tens of microseconds.
bool ThreadQueue::SpinForWakeUp(int rounds, const WaitFor& what)
{
    for (int round = 0; round < rounds; ++round) {
        if (m_woken.load(std::memory_order_relaxed) != 0 && m_woken.exchange(0) != 0) {
            return true;
        }
        if (WakeUpPending(what, std::memory_order_relaxed)) {
            return true;
        }
#if defined(__x86_64__) || defined(__i386__)
        __builtin_ia32_pause();
#endif
    }
    return false;
}

int64_t CoarseMonotonicNanoseconds()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

void ThreadQueue::SleepOnWakeWord(int timeoutMilliseconds)
{
    timespec timeout{timeoutMilliseconds / 1000, (timeoutMilliseconds % 1000) * 1000000L};
    // Returns at once when a wake-up came since m_sleeping was set.
    syscall(SYS_futex, reinterpret_cast<uint32_t*>(&m_woken), FUTEX_WAIT_PRIVATE, 0,
            timeoutMilliseconds < 0 ? nullptr : &timeout, nullptr, 0);
}

bool ThreadQueue::Wait(int timeoutMilliseconds, int spinRounds, const WaitFor& what)
{
    if (m_lateFollowUpExpected) {
        m_lateFollowUpExpected = false;
        spinRounds = spinRounds != 0 ? std::max(spinRounds, kAnswerSpinRounds) : 0;
    }
    if (timeoutMilliseconds != 0 && SpinForWakeUp(spinRounds, what)) {
        return TakeInput(what);
    }
    m_sleeping.store(true);
    if (m_woken.load() == 0 && !WakeUpPending(what, std::memory_order_seq_cst)) {
        SleepOnWakeWord(timeoutMilliseconds);
    }
    m_sleeping.store(false);
    m_woken.store(0);
    return TakeInput(what);
}

void ThreadQueue::NoteServingCpu()
{
    // Written only when it changes, so that senders reading it find the line unchanged.
    const int cpu = sched_getcpu();
    if (m_servingCpu.load(std::memory_order_relaxed) != cpu) {
        m_servingCpu.store(cpu, std::memory_order_relaxed);
    }
}

void ThreadQueue::NoteSendingCpu(int cpu)
{
    if (m_sendingCpu.load(std::memory_order_relaxed) != cpu) {
        m_sendingCpu.store(cpu, std::memory_order_relaxed);
    }
}

bool ThreadQueue::OnSendersCore() const
{
    const int cpu = m_sendingCpu.load(std::memory_order_relaxed);
    return cpu >= 0 && cpu == sched_getcpu();
}

SentMessage::~SentMessage()
{
    while (done.load() && !released.load(std::memory_order_acquire)) {
        std::this_thread::yield();
    }
}

std::shared_ptr<SentMessage> SentMessageCache::Take(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    std::shared_ptr<SentMessage> taken;
    for (const std::shared_ptr<SentMessage>& kept : m_kept) {
        // Free again once released: answered and let go of by the thread that answered it, or taken
        // back unanswered by this thread. A message given up at its deadline while running stays taken
        // until it is answered.
        if (kept->released.load(std::memory_order_acquire)) {
            taken = kept;
            break;
        }
    }
    if (!taken) {
        taken = std::make_shared<SentMessage>(CurrentQueuePtr());
        if (m_kept.size() < kKept) {
            m_kept.push_back(taken);
        }
    }
    taken->hwnd = window;
    taken->heldWindow = nullptr;
    taken->message = message;
    taken->wParam = wParam;
    taken->lParam = lParam;
    taken->result = 0;
    taken->done.store(false, std::memory_order_relaxed); // published with the message's queuing
    taken->released.store(false, std::memory_order_relaxed);
    return taken;
}

SentMessageCache& CurrentSentMessages()
{
    return t_sentMessages;
}

ThreadQueue& CurrentQueue()
{
    return *CurrentQueuePtr();
}

std::shared_ptr<ThreadQueue> CurrentQueuePtr()
{
    if (!t_queue) {
        t_queue = std::make_shared<ThreadQueue>();
        std::lock_guard<std::mutex> lock(queuesMutex);
        std::erase_if(queuesByThread, [](const auto& entry) { return entry.second.expired(); });
        queuesByThread[t_queue->ThreadId()] = t_queue;
    }
    return t_queue;
}

std::shared_ptr<ThreadQueue> QueueOfThread(DWORD threadId)
{
    std::lock_guard<std::mutex> lock(queuesMutex);
    auto found = queuesByThread.find(threadId);
    return found == queuesByThread.end() ? nullptr : found->second.lock();
}
