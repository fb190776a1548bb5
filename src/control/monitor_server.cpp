#include "control/monitor_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cassert>
#include <set>

#include "base/app_log.h"
#include "base/log_budget.h"
#include "base/vk_exception.h"
#include "control/control_peer.h"
#include "control/wire_limits.h"
#include "daemon/updater.h"
#include "engine/monitor_state.h"
#include "engine/utils.h"
#include "ipc/session/conn_settings.h"
#include "ipc/session/server_session.h"
#include "ipc/session/session_factory.h"
#include "ipc/transport/ipc_address.h"
#include "ipc/transport/ipc_factory.h"
#include "ipc/transport/singleton.h"
#include "ipc/transport/vk_ipc.h"

using velka::varno::UpdateAnswer;
using velka::varno::UpdateRequest;

namespace {

// How long the control thread waits before it looks at the state again,
// and its longest pause after failures of the server in a row.
const std::chrono::milliseconds kStatePollTime(100);
// How long a stop waits for the exchange in flight before it shuts the
// exchange's connection down.
const std::chrono::milliseconds kExchangeEndTime(1000);

// Control connections open at once, and the most time a client has for
// its request: idle clients cannot use up the monitor's descriptors, and
// stalled ones cannot hold up the others for longer than that.
const uint32_t kMaxControlConnections = 64;
const unsigned kMaxRequestSeconds = 5;
// No one user takes them all: each user other than root and the monitor's
// own holds at most a share, and the last few are kept for those two.
const uint32_t kMaxConnectionsPerUser = 16;
const uint32_t kPrivilegedConnections = 8;
// Records that clients cause (their requests, refusals and failed
// exchanges) beyond this many a second are counted, not written.
const unsigned kClientRecordsPerSecond = 20;

// Root or the monitor's own user.
bool isPrivileged(uid_t uid) { return uid == 0 || uid == ::geteuid(); }

bool isLoopback(const struct sockaddr* address) {
    if (!address) return false;
    switch (address->sa_family) {
        case AF_UNIX:
            return true;
        case AF_INET:
            return (ntohl(reinterpret_cast<const sockaddr_in*>(address)->sin_addr.s_addr) >> 24) == 127;
        case AF_INET6: {
            const struct in6_addr& a = reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr;
            return IN6_IS_ADDR_LOOPBACK(&a) || (IN6_IS_ADDR_V4MAPPED(&a) && a.s6_addr[12] == 127);
        }
        default:
            return false;
    }
}

// Why a control client is refused at accept: only peers on this host are
// served (an inet address may be reachable from others).
std::string peerRefusal(const velka::ipc::VkIPC& connection) {
    struct sockaddr_storage peer;
    socklen_t length = sizeof peer;
    if (::getpeername(connection.GetDescriptor(), reinterpret_cast<sockaddr*>(&peer), &length) == 0 &&
        isLoopback(reinterpret_cast<const sockaddr*>(&peer)))
        return "";
    return "only local clients are served";
}

// Refuses a request that arrived from another host: an ERROR record, and
// the connection is dropped by the session.
void requireLocalPeer(velka::ipc::VkPDU& in) {
    const std::shared_ptr<velka::ipc::VkIPC> connection = in.GetConnection();
    struct sockaddr_storage peer;
    socklen_t length = sizeof peer;
    if (connection && ::getpeername(connection->GetDescriptor(), reinterpret_cast<sockaddr*>(&peer), &length) == 0 &&
        isLoopback(reinterpret_cast<const sockaddr*>(&peer)))
        return;
    const std::string who = connection ? connection->GetRemoteText() : std::string("*");
    logError("control request from " + who + " refused: only local clients are served");
    velka::varno::DropConnection(in);
    throw velka::base::VkException("control request from " + who + " refused");
}

ControlPeer requestPeer(velka::ipc::VkPDU& in) {
    const std::shared_ptr<velka::ipc::VkIPC> connection = in.GetConnection();
    return connection ? ControlPeer::of(connection->GetDescriptor(), connection->GetRemoteText())
                      : ControlPeer::of(-1, "*");
}

// The user a control client is counted for at accept.
velka::ipc::PeerUser peerUser(const velka::ipc::VkIPC& connection) {
    const ControlPeer peer = ControlPeer::of(connection.GetDescriptor(), connection.GetRemoteText());
    velka::ipc::PeerUser user;
    if (peer.known) {
        user.id = peer.uid;
        user.privileged = isPrivileged(peer.uid);
    }
    return user;
}

// Warns about a control address that other hosts can reach.
void warnAboutOpenAddresses(const std::list<std::string>& addresses) {
    velka::ipc::VkIpcFactory* factory = velka::patterns::VkSingleton<velka::ipc::VkIpcFactory>::Instance();
    for (const std::string& text : addresses) {
        std::shared_ptr<velka::ipc::VkIpcAddress> address;
        try {
            address = factory->CreateAddress(text);
        } catch (const std::exception&) {
            continue;  // the session's Open reports it
        }
        if (!address || address->GetDomain() != velka::ipc::kDomainInet) continue;
        auto* socketAddress = dynamic_cast<velka::ipc::VkSocketAddress*>(address.get());
        if (socketAddress && !isLoopback(socketAddress->GetSockAddr()))
            logWarn("control address \"" + text +
                    "\" is not a loopback address: requests from other hosts are refused");
    }
}

}  // namespace

MonitorServer::ReloadCompServer::ReloadCompServer() : VkReloadCompServer(&MonitorServer::reloadCompProcessor) {}

bool MonitorServer::ReloadCompServer::BuildResponse(velka::ipc::VkPDU& in, velka::ipc::VkPDU& out) {
    requireLocalPeer(in);
    logInfo("reload request from " + requestPeer(in).text);
    return VkReloadCompServer::BuildResponse(in, out);
}

MonitorServer::UpdateServer::UpdateServer() : VkUpdateServer(&MonitorServer::updateProcessor) {}

bool MonitorServer::UpdateServer::BuildResponse(velka::ipc::VkPDU& in, velka::ipc::VkPDU& out) {
    requireLocalPeer(in);
    const ControlPeer peer = requestPeer(in);
    // Only a peer known to be root or the monitor's user: a TCP client whose
    // owner cannot be found is refused like any other. Their update is
    // recorded in full, whatever other clients did before.
    const bool allowed = peer.known && isPrivileged(peer.uid);
    const LogBudget::Scope records(allowed ? nullptr : LogBudget::current());
    logInfo("update request from " + peer.text);
    bool result = true;
    if (allowed) {
        result = VkUpdateServer::BuildResponse(in, out);
    } else {
        // Read whole, so that the refusal is the request's answer.
        const UpdateRequest request{in.GetString(velka::varno::kMaxUpdateText),
                                    in.GetString(velka::varno::kMaxUpdateText),
                                    in.GetString(velka::varno::kMaxUpdateText)};
        const std::string text = "pre-update process error because of peer not allowed";
        logError(Utils::printable(text + " (" + peer.text + "): update " + request.first + ", " + request.second +
                                  ", " + request.third));
        if (!out.AddInt32(0) || !out.AddString(text))
            throw velka::base::VkException("MonitorServer::UpdateServer::BuildResponse: the answer does not fit");
    }
    // The answer is only collected so far; it leaves with the next push.
    out.SetDeadline(velka::base::VkDeadline(m_replyTimeout));
    return result;
}

MonitorServer::MonitorServer(const std::string& confPath, const std::string& runList, bool updateMode,
                             std::unique_ptr<AgentLink> agent)
    : ThreadSafetyMonitor(confPath, runList, updateMode, std::move(agent)) {}

MonitorServer::~MonitorServer() {
    logDebug("MonitorServer::~MonitorServer()");
    stop();
    assert(pSession.get() == 0);
}

bool MonitorServer::isControlServerEnabled() { return !isCheckRunMode(); }

void MonitorServer::start() {
    if (isControlServerEnabled()) {
        // Without an address there is nothing to listen on: the monitor
        // runs without a control server.
        const std::list<std::string>& addresses = getSettings().getAddresses();
        if (addresses.empty())
            logInfo("no control address (/Monitor/Address): control requests are not served");
        else
            createServer(addresses, getSettings().getTimeout());
    }
    Monitor::start();
    logDebug("MonitorServer::start: creating thread monitorProtoThread");
    try {
        m_protoThread = boost::thread([this] {
            monitorProtoThread();
            std::lock_guard<std::mutex> guard(m_pauseLock);
            m_protoEnded = true;
            m_wake.notify_all();
        });
    } catch (const boost::thread_resource_error& e) {
        setState(false);
        throw InitError(std::string("cannot create monitorProtoThread thread: ") + e.what());
    }
    logDebug("MonitorServer::start: created thread monitorProtoThread: id=" + Utils::threadIdText(m_protoThread));
    applyNotifierSettings();
}

void MonitorServer::createServer(const std::list<std::string>& addresses, unsigned timeoutSeconds) {
    assert(pSession.get() == 0);
    try {
        pSession.reset(velka::ipc::CreatePersistentServerSession());
        pSession->Register(&m_reloadServer);
        pSession->Register(&m_updateServer);
        const velka::base::VkTimeout timeout(
            static_cast<int32_t>(std::min<unsigned>(timeoutSeconds, velka::base::VkTimeout::kMaxCount / 1000)),
            velka::base::VkTimeout::Seconds);
        pSession->SetTimeout(timeout);
        m_updateServer.setReplyTimeout(timeout);
        velka::ipc::ServerLimits limits;
        limits.maxOpen = kMaxControlConnections;
        limits.requestSeconds = std::max(1u, std::min(timeoutSeconds, kMaxRequestSeconds));
        limits.refusal = peerRefusal;
        limits.peerUser = peerUser;
        limits.maxPerUser = kMaxConnectionsPerUser;
        limits.privilegedReserve = kPrivilegedConnections;
        limits.log = &getAppLogger();
        pSession->SetLimits(limits);
        pSession->Open(addresses, velka::ipc::ConnSettings(0), nullptr);
    } catch (const std::exception& e) {
        closeServer();
        std::string joined;
        for (const std::string& address : addresses) joined += (joined.empty() ? "" : ",") + address;
        throw InitError("cannot create server session (" + joined + "): " + e.what());
    }
    warnAboutOpenAddresses(addresses);
}

void MonitorServer::pause(std::chrono::milliseconds time) {
    std::unique_lock<std::mutex> guard(m_pauseLock);
    m_wake.wait_for(guard, time, [this] { return m_stopping.load(); });
}

void MonitorServer::monitorProtoThread() {
    LogBudget clientRecords(getAppLogger(), "about control clients", kClientRecordsPerSecond);
    const LogBudget::Scope bounded(&clientRecords);
    unsigned failuresInARow = 0;
    while (!m_stopping) {
        const int state = getMonitorState();
        if (state == MONITOR_INIT) {
            pause(kStatePollTime);
            continue;
        }
        if (state != MONITOR_STARTED) break;
        if (!pSession) {
            // Nothing to serve (a check run, or no control address): the
            // thread only waits for the stop.
            std::unique_lock<std::mutex> guard(m_pauseLock);
            m_wake.wait(guard, [this] { return m_stopping.load(); });
            break;
        }
        const uint64_t exchanges = pSession->ExchangesStarted();
        try {
            pSession->Execute(nullptr, velka::base::kDeadlineInfinite);
            failuresInARow = 0;
        } catch (const std::exception&) {
            // A failed exchange is the client's doing (a bad, late or broken
            // request): the session has closed its connection, and the next
            // client is served at once. A failure of the server itself (no
            // exchange began) costs nothing once; failures in a row (a
            // session that fails at once) back off up to the poll time.
            if (pSession->ExchangesStarted() != exchanges)
                failuresInARow = 0;
            else if (++failuresInARow > 1)
                pause(std::min(kStatePollTime, std::chrono::milliseconds(1 << std::min(failuresInARow - 2, 7u))));
        }
        clientRecords.flush();
    }
}

bool MonitorServer::reloadCompProcessor(const std::list<int32_t>& pids) {
    logDebug("MonitorServer::reloadCompProcessor()");
    std::set<pid_t> unique;
    for (const int32_t pid : pids) {
        logDebug("reload component with pid = " + std::to_string(pid));
        // 0 and -1 would signal a process group or every process.
        if (pid < 1) {
            logWarn("reload request for pid " + std::to_string(pid) + " dropped: not a process id");
            continue;
        }
        unique.insert(pid);
    }
    ThreadSafetyMonitor::Mediator::addChangedConf(unique);
    return true;
}

UpdateAnswer MonitorServer::updateProcessor(const UpdateRequest& request) {
    logDebug(Utils::printable("updateProcessor() " + request.first + ", " + request.second + ", " + request.third));
    const std::string userGroup = ThreadSafetyMonitor::Mediator::getUserGroup();
    const std::string mta = ThreadSafetyMonitor::Mediator::getMta();
    UpdateAnswer answer;
    const std::string field =
        Updater::invalidRequestField(request.first, request.second, request.third, mta, userGroup);
    if (!field.empty()) {
        answer.ok = false;
        answer.text = "pre-update process error because of invalid request: " + field;
        logError(answer.text);
        return answer;
    }
    const std::pair<bool, std::string> result =
        Updater::instance().PreUpdate(request.first, request.second, request.third, mta, userGroup);
    answer.ok = result.first;
    answer.text = result.second;
    return answer;
}

void MonitorServer::stopAppProcessor(const velka::varno::StopAppRequest&) {
    logDebug("MonitorServer::stopAppProcessor");
}

void MonitorServer::stop() {
    logDebug("MonitorServer::stop()");
    // A pre-update script still running is killed at once, so that its
    // request is answered while the components stop.
    try {
        Updater::instance().stop();
    } catch (const std::exception& e) {
        logError(e.what());
    }
    try {
        Monitor::stop();
    } catch (const std::exception& e) {
        logError(e.what());
    }
    closeServer();
}

void MonitorServer::closeServer() {
    // The thread reads pSession without a lock: it is reset only after the
    // thread has been told to stop, cancelled and joined.
    {
        std::lock_guard<std::mutex> guard(m_pauseLock);
        m_stopping = true;
    }
    m_wake.notify_all();
    const bool running = m_protoThread.joinable();
    if (running) logDebug("MonitorServer::stop(): joining monitorProtoThread");
    if (pSession) {
        // An exchange in flight gets a moment to end by itself (an update
        // answered after its script was stopped); then its connection is
        // shut down, so that a stalled client cannot hold the stop. A wait
        // for a request ends with the Close.
        if (running && pSession->HasExchanges()) {
            std::unique_lock<std::mutex> guard(m_pauseLock);
            if (!m_wake.wait_for(guard, kExchangeEndTime, [this] { return m_protoEnded; }))
                pSession->ShutDownExchanges();
        }
        pSession->Close();
    }
    if (m_protoThread.joinable()) m_protoThread.join();
    if (running) logDebug("MonitorServer::stop(): monitorProtoThread joined");
    pSession.reset();
}
