// ControlPeer: who is at the other end of a control connection, for the
// decision whether a request may be served and for the log.
#pragma once

#include <sys/types.h>

#include <string>

struct ControlPeer {
    // A unix socket tells its peer's credentials (SO_PEERCRED, taken at
    // connect). A loopback TCP peer's owner is the owner of its socket in
    // the kernel's socket table, asked through the socket-diagnostics
    // netlink interface (as an ident daemon finds it). Anything else, or a
    // socket that cannot be found, has no known owner.
    static ControlPeer of(int fd, const std::string& remoteText);

    bool known = false;  // uid is the owner's
    uid_t uid = static_cast<uid_t>(-1);
    pid_t pid = 0;  // unix sockets only
    std::string text;  // for the log: "uid U pid P", "uid U (<address>)" or "<address> (owner unknown)"
};
