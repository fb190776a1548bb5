// VkSessionState: the life-cycle state of a session. A state holds no data;
// one shared object per state lives in the state table, a session points at
// one of them and runs each operation on a clone of it.
#pragma once

#include <pthread.h>

#include <list>
#include <memory>
#include <string>

#include "base/vk_time.h"

namespace velka {
namespace ipc {

class VkIPC;
class VkSession;
class VkConnectionObserver;
struct ConnSettings;

class VkSessionState {
public:
    virtual ~VkSessionState() = default;

    virtual std::unique_ptr<VkSessionState> Clone() const = 0;
    // The list form of this state with a one-element list.
    virtual void Open(VkSession& session, const std::string& address, const ConnSettings& settings);
    virtual void Open(VkSession& session, const std::list<std::string>& addresses, const ConnSettings& settings);
    virtual void Close(VkSession& session);
    virtual void Suspend(VkSession& session);
    virtual void Resume(VkSession& session);
    virtual void Destroy(VkSession& session);
    virtual bool CancelThread(VkSession& session, pthread_t thread);
    // Throws VkException(name + ": A session state doesn't allows to aquire connections").
    virtual std::shared_ptr<VkIPC> AquireConnection(VkSession& session, const base::VkDeadline& deadline);
    // Throws VkException(name + ": A session state doesn't allows to release connections").
    virtual void ReleaseConnection(VkSession& session, std::shared_ptr<VkIPC> connection);
    virtual void SetPoolValue(VkSession& session, VkConnectionObserver* observer);
    virtual std::string GetName() const;

protected:
    VkSessionState() = default;
    VkSessionState(const VkSessionState&) = default;
    VkSessionState& operator=(const VkSessionState&) = delete;
};

}  // namespace ipc
}  // namespace velka
