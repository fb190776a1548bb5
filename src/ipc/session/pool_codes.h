// The vocabulary of a persistent pool: the codes of its multi-event and the
// commands its maintain thread reads from the control pipe. A number that
// appears in both (257) means two things and has two names.
#pragma once

namespace velka {
namespace ipc {

// Records on the pool's multi-event that its caller threads wait for.
enum PoolEvent : unsigned {
    kPoolEventDestroy = 1,              // the multi-event is being destroyed
    kPoolEventStateChanged = 257,       // session state changed: recall (broadcast)
    kPoolEventConnectionReady = 259,    // a connection was put where callers take it
    kPoolEventConnectionClosed = 260,   // a handed-out connection was closed
    kPoolEventCancel = 261,             // a thread is asked to cancel (value: its pthread_t)
    kPoolEventCancelAck = 262,          // the cancelled thread acknowledges
};

// Commands on the control pipe of the maintain thread.
enum ControlCommand : int {
    kControlStop = 257,      // end the maintain loop
    kControlRefresh = 258,   // rebuild the wait list
    kControlReleased = 266,  // a connection came back into the established pool
    kControlClosed = 267,    // a connection was closed
};

}  // namespace ipc
}  // namespace velka
