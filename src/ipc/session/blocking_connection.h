// Connection::BlockingConnection: something that can be blocked (suspended)
// and unblocked (resumed); sessions are.
#pragma once

namespace velka {
namespace ipc {
namespace Connection {

class BlockingConnection {
public:
    virtual ~BlockingConnection() = default;
    virtual bool Block() = 0;
    virtual bool Unblock() = 0;
    // Whether the connection is blocked right now; nothing here tracks it.
    virtual bool IsBlocked() const { return false; }
};

}  // namespace Connection
}  // namespace ipc
}  // namespace velka
