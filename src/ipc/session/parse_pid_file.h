// ParsePidFile: turns a "pid:<file>" address text into the peer addresses
// that the named pid file lists.
#pragma once

#include <list>
#include <string>

namespace velka {
namespace ipc {

// True when text is a pid-file address text (scheme "pid" in any case,
// blanks around it ignored): the addresses of the file's lines after the
// first are appended to out ("host:port" as "inet:port@host", anything
// else as "local:" + line). A file that cannot be read is logged and adds
// nothing. False when text is not a pid-file address text. Never throws.
bool ParsePidFile(std::list<std::string>& out, const std::string& text);

}  // namespace ipc
}  // namespace velka
