// A counting wake-up event that can be waited on together with a socket.
//
// Design: an eventfd in semaphore mode. Each signal adds one wake-up; each
// successful wait consumes exactly one, so n signals wake n waits whether the
// waiters are already blocked or arrive later. Used where a thread waits for
// another thread's progress and must also notice its client's connection
// (or the process-wide cancellation socket) becoming readable.
//
// Threading: WakeEventSignal and WakeEventWait may be called from any thread
// at the same time; create and close must not race with them.
#pragma once

struct tWakeEvent {
    int fd = -1;  // the eventfd; -1 when closed
};

// Creates the event with no pending wake-up. 0, or -1 with errno.
[[nodiscard]] int WakeEventCreate(tWakeEvent *event);

// Adds count wake-ups (count > 0). 0, or -1 with errno.
int WakeEventSignal(tWakeEvent *event, int count);

// Waits without time limit until a wake-up can be consumed (returns 1) or
// watchSocket (ignored when negative) becomes readable or fails (returns 0,
// nothing consumed). -1 with errno when the wait itself fails.
[[nodiscard]] int WakeEventWait(tWakeEvent *event, int watchSocket);

// Closes the event; a closed event is left alone.
void WakeEventClose(tWakeEvent *event);
