// VkIfServerSession: a session that answers requests with the server
// protocols registered with it.
#pragma once

#include <pthread.h>

#include "ipc/session/if_session.h"

namespace velka {
namespace ipc {

class VkServerProtocol;

class VkIfServerSession : public virtual VkIfSession {
public:
    // False (with a WARN record) for an identifier already registered; a
    // null protocol throws VkParameterError.
    virtual bool Register(VkServerProtocol* protocol) = 0;
    virtual bool Deregister(VkServerProtocol* protocol) = 0;
    // Makes the thread's wait for a connection end with VkThreadCanceled;
    // false when the thread did not acknowledge within 3 s.
    virtual bool CancelThread(pthread_t thread) = 0;
};

}  // namespace ipc
}  // namespace velka
