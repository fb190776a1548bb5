// VkIfClientSession: a session that runs client protocols against peers.
#pragma once

#include "ipc/session/if_session.h"

namespace velka {
namespace ipc {

class VkIfClientSession : public virtual VkIfSession {};

}  // namespace ipc
}  // namespace velka
