// Per-thread message queues inside the windowing layer: messages sent from other threads, posted
// messages, and the wait that serves them. Not part of the program's API.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "winuser.h"

class ThreadQueue;
struct Window;

// What a front end delivered with an input message: the modifier keys that were down (GetKeyState
// answers from the message being handled, as on Win32) and the character a keystroke types, which the
// dialog manager posts as WM_CHAR when the keystroke reaches the control (TranslateMessage's part).
struct InputState
{
    bool shift = false;
    bool control = false;
    bool menu = false;
    WCHAR character = 0;
};

struct PostedMessage
{
    MSG msg{};
    InputState input;
};

// A message sent across threads. The sender waits until done is set, watching done itself while it
// spins and its own queue's wake word while it sleeps. A thread sends one message after another, so it
// keeps the few it used and fills one in again once the thread that ran it has let go of it
// (SentMessageCache): no allocation, and no count taken on the sender's queue, per message.
struct SentMessage
{
    explicit SentMessage(std::shared_ptr<ThreadQueue> sender) : sender(std::move(sender)) {}
    // The thread that answered a message from the mailbox holds no reference to it: whoever lets go of
    // it last, right after the answer, waits the moment until that thread has let go too.
    ~SentMessage();
    SentMessage(const SentMessage&) = delete;
    SentMessage& operator=(const SentMessage&) = delete;

    HWND hwnd = nullptr;
    // Set when the sender holds the window object until the answer comes (it waits however long it
    // takes), so that the thread running the message need not look the window up again.
    const Window* heldWindow = nullptr;
    UINT message = 0;
    WPARAM wParam = 0;
    LPARAM lParam = 0;
    const std::shared_ptr<ThreadQueue> sender;
    LRESULT result = 0; // written by the thread that ran the message before done is set
    std::atomic<bool> done{false};
    // Nobody but the sender touches the message any more: set after done by the thread that answered
    // it, which still wakes the sender then, or by the sender for a message it took back unanswered.
    std::atomic<bool> released{true};
};

// The calling thread's messages to send, for reuse; each thread touches only its own.
class SentMessageCache
{
public:
    // A kept message that is free again, filled in; a new one only when every kept one is still in use
    // (a message given up at its deadline may still be running on the other thread).
    std::shared_ptr<SentMessage> Take(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

private:
    static constexpr size_t kKept = 4;
    std::vector<std::shared_ptr<SentMessage>> m_kept;
};

class ThreadQueue
{
public:
    ThreadQueue();
    ThreadQueue(const ThreadQueue&) = delete;
    ThreadQueue& operator=(const ThreadQueue&) = delete;

    DWORD ThreadId() const { return m_threadId; }

    // Refuses the message once its window is gone: a window's destruction first clears windowAlive and
    // then takes out (DropMessagesFor) what was queued for it, so nothing queued for it is left behind.
    bool PushSentUnlessGone(const std::shared_ptr<SentMessage>& message,
                            const std::atomic<bool>& windowAlive);
    // The same for a sender that waits for the answer however long it takes, so that the message
    // cannot be withdrawn and outlives its turn here: it goes through the mailbox, one word that the
    // owner watches while it spins, without the lock and without waking an owner that is awake. A
    // full mailbox sends it the locked way.
    bool PushSentUnlessGoneWaitingForever(const std::shared_ptr<SentMessage>& message,
                                          const std::atomic<bool>& windowAlive);
    // The message to run next and the reference that keeps it alive meanwhile (null for one from the
    // mailbox, whose sender keeps it); null when none waits.
    SentMessage* PopSent(std::shared_ptr<SentMessage>& keep);
    bool WithdrawSent(const std::shared_ptr<SentMessage>& message);
    void PushPosted(const PostedMessage& message);
    // Ahead of everything posted, as a translated character is read before later input.
    void PushPostedFirst(const PostedMessage& message);
    bool PopPosted(PostedMessage& message);
    // Takes out everything addressed to a destroyed window; returns the sent ones to be released.
    std::vector<std::shared_ptr<SentMessage>> DropMessagesFor(HWND window);

    // Called by the thread that ran a message sent from this queue's thread; true when the sender had
    // gone to sleep and is woken by it. The message is released at the end.
    bool Complete(SentMessage& message, LRESULT result);

    // Something visible changed in one of this thread's windows; the front end redraws from the loop.
    void MarkChanged();
    bool HasChanges() const { return m_changed.load(std::memory_order_relaxed); }
    bool TakeChanged();

    // True when the owner was asleep, or on its way to sleep, and is woken by this call.
    bool Wake();
    // How long Wait spins for a wake-up before it sleeps, in rounds of a pause instruction (some 30 ns
    // each on this project's machine). A sender waiting for its answer spins through the other
    // thread's wake-up, some tens of microseconds; a thread with nothing left to serve spins only for the
    // gap between two messages of a burst (the five cells of a received frame, the frames of one
    // delivery), a few microseconds, so that the end of each burst does not cost a long spin.
    // Neither spins while the other thread was last seen on its own core (OnSendersCore,
    // MoveAwayFromServingThread): there the other thread runs only once this one sleeps, and the
    // kernel does not preempt a spinning thread for it, so a spin would only delay the answer or the
    // next message by its full length, for every message.
    static constexpr int kAnswerSpinRounds = 2000;
    static constexpr int kIdleSpinRounds = 300;
    // The owner answered a sender that had gone to sleep: that sender sends its next message (the next
    // cell of the same frame) only after its own wake-up, some tens of microseconds, so the owner's
    // next wait spins as long as an answer's. Otherwise it would go to sleep just before that message
    // and cost the sender a wake-up of its own, and so on for every message of the burst.
    void ExpectLateFollowUp() { m_lateFollowUpExpected = true; }
    // Sleeps until woken or until the timeout (milliseconds, -1 for none). A sender waiting for its
    // answer passes the message's done, which ends the wait as a wake-up does (Complete wakes only a
    // sender asleep), and a message in the mailbox ends it too unless the waiter serves no sent
    // messages. A modal loop that takes the front end's input passes its flag, which ends the wait as
    // well; Wait returns true when it took the flag.
    struct WaitFor
    {
        const std::atomic<bool>* answer = nullptr;
        bool sentMessages = true; // false for a sender that serves nothing while it waits (SMTO_BLOCK)
        std::atomic<bool>* input = nullptr;
    };
    bool Wait(int timeoutMilliseconds, int spinRounds, const WaitFor& what);

    // The core this thread last ran a sent message on; written by the owner, read by senders.
    void NoteServingCpu();
    int ServingCpu() const { return m_servingCpu.load(std::memory_order_relaxed); }
    // The core the last thread that sent this one a message sent it from; written by senders, read by
    // the owner, which learns so whether the next message can come while it spins.
    void NoteSendingCpu(int cpu);
    bool OnSendersCore() const;

    // Focus and active window of this thread. guarded by WindowLock()
    HWND focus = nullptr;
    HWND active = nullptr;
    // How many modal loops run on this thread; touched by the owner thread only.
    int modalDepth = 0;

private:
    static bool TakeInput(const WaitFor& what);
    bool SpinForWakeUp(int rounds, const WaitFor& what);
    bool WakeUpPending(const WaitFor& what, std::memory_order order) const;
    bool WakeIfAsleep();
    void SleepOnWakeWord(int timeoutMilliseconds);

    DWORD m_threadId;
    // 1 while a wake-up is not yet taken by Wait; set by any thread, taken by the owner, which sleeps on
    // it (a futex word).
    std::atomic<uint32_t> m_woken{0};
    // Whether the owner sleeps or is on its way to sleep; owner writes, any thread reads. Together with
    // m_woken, in sequentially consistent order, no wake-up is lost.
    std::atomic<bool> m_sleeping{false};
    std::atomic<int> m_servingCpu{-1};
    std::atomic<int> m_sendingCpu{-1};
    bool m_lateFollowUpExpected = false; // the owner's
    // The owner looks for messages after each one it runs and before each wait; the counts let it do
    // so without the lock, which a sender would otherwise often find taken and sleep on.
    std::atomic<size_t> m_sentCount{0};
    // A sent message waiting outside the lock; taken with an exchange by whoever takes it out.
    std::atomic<SentMessage*> m_mailbox{nullptr};
    std::atomic<size_t> m_postedCount{0};
    std::atomic<bool> m_changed{false};
    std::mutex m_mutex;
    std::deque<std::shared_ptr<SentMessage>> m_sent; // guarded by m_mutex; m_sentCount its size
    std::deque<PostedMessage> m_posted;              // guarded by m_mutex; m_postedCount its size
};

// The monotonic clock to a tick of a few milliseconds (4 ms here): enough to pace redraws and looks
// at input, and cheaper to read than the precise one on a virtual machine.
int64_t CoarseMonotonicNanoseconds();

// The calling thread's queue, created on first use.
ThreadQueue& CurrentQueue();
SentMessageCache& CurrentSentMessages();
std::shared_ptr<ThreadQueue> CurrentQueuePtr();
// Known queues by thread id, for GetGUIThreadInfo; null when the thread has none.
std::shared_ptr<ThreadQueue> QueueOfThread(DWORD threadId);

// Calls the window procedure on the calling thread; 0 for a window that no longer exists.
LRESULT CallWindowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
// Runs one message sent to this thread's windows by another thread; false when none waits.
bool ServeOneSentMessage();
// Posts with the modifier keys of the input it stands for.
BOOL PostInputMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam, const InputState& keys);
// Releases every sender waiting on the destroyed window with 0 and drops its posted messages.
void ReleaseMessagesFor(ThreadQueue& queue, HWND window);
// Marks the window's thread for a redraw and wakes it when the change comes from another thread.
void NoteVisibleChange(HWND window);

// The input state of the message being handled on this thread, and its character (0 when none or
// already translated).
void SetCurrentInput(const InputState& input);
WCHAR TakeCurrentCharacter();
