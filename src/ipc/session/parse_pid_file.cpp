// Reading the peer addresses out of a pid file.
#include "ipc/session/parse_pid_file.h"

#include <cerrno>
#include <exception>
#include <fstream>

#include <boost/algorithm/string/case_conv.hpp>
#include <boost/algorithm/string/trim.hpp>

#include "base/app_log.h"
#include "base/vk_exception.h"

namespace velka {
namespace ipc {

namespace {

// The address text of one address line of a pid file: split at the last
// colon, so an IPv6 host keeps its own colons.
std::string addressOfLine(const std::string& line) {
    const std::string::size_type colon = line.rfind(':');
    if (colon == std::string::npos) return "local:" + line;
    return "inet:" + line.substr(colon + 1) + "@" + line.substr(0, colon);
}

}  // namespace

bool ParsePidFile(std::list<std::string>& out, const std::string& text) {
    const std::string::size_type colon = text.find(':');
    if (colon == std::string::npos) return false;
    const std::string scheme = boost::algorithm::trim_copy(boost::algorithm::to_lower_copy(text.substr(0, colon)));
    if (scheme != "pid") return false;

    LogClass& logger = getIpcLogger();
    std::string path;
    std::string error;
    try {
        path = text.substr(colon + 1);
        if (logger.isDebugEnabled()) logger.log(VK_LOG_DEBUG, "ParsePidFile: parse pid file '" + path + "'...");
        std::ifstream file(path);
        if (!file.is_open()) {
            error = "can not open file for reading:" + base::errnoText(errno);
        } else {
            std::string line;
            if (!std::getline(file, line)) {
                error = "can not find pid number";
            } else {
                bool found = false;
                while (std::getline(file, line)) {
                    const std::string address = addressOfLine(line);
                    out.push_back(address);
                    found = true;
                    if (logger.isDebugEnabled())
                        logger.log(VK_LOG_DEBUG, "ParsePidFile: add address '" + address + "' from pid file");
                }
                if (!found) {
                    if (logger.isWarnEnabled())
                        logger.log(VK_LOG_WARN, "Can not find any address in pid file '" + path + "'");
                } else if (logger.isDebugEnabled()) {
                    logger.log(VK_LOG_DEBUG, "ParsePidFile: success parse pid file");
                }
                return true;
            }
        }
    } catch (const std::exception& e) {
        error = e.what();
    }
    // A failed log record must not turn into an exception of its own.
    try {
        if (logger.isErrorEnabled())
            logger.log(VK_LOG_ERROR, "Error during load and parse pid file '" + path + "':" + error);
    } catch (...) {
    }
    return true;
}

}  // namespace ipc
}  // namespace velka
