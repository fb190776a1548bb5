// The session state table against a recording pool, the address check of
// Open, the protocol checks of Execute and the server's protocol registry.
#include <functional>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "base/app_log.h"
#include "base/vk_exception.h"
#include "ipc/session/client_session.h"
#include "ipc/session/conn_settings.h"
#include "ipc/session/if_pool_manager.h"
#include "ipc/session/server_session.h"
#include "ipc/session/session_factory.h"
#include "ipc/session/session_state_table.h"
#include "session_test_support.h"
#include "support/log_capture.h"

namespace {

using namespace velka::ipc;
using velka::base::kDeadlineInfinite;
using velka::base::VkDeadline;
using vktest::thrownText;

// Notes each call in order; the call named in failing returns false.
class RecordingPool : public VkIfPoolManager {
public:
    RecordingPool(std::string& calls, std::string failing) : m_calls(calls), m_failing(std::move(failing)) {}
    ~RecordingPool() override { note("delete"); }

    bool Init(const std::list<std::string>&, const ConnSettings&, bool) override { return note("Init"); }
    bool Reinit(const std::list<std::string>&, const ConnSettings&, bool) override { return note("Reinit"); }
    bool Close() override { return note("Close"); }
    bool Suspend() override { return note("Suspend"); }
    bool Resume() override { return note("Resume"); }
    bool CancelThread(pthread_t) override { return note("CancelThread"); }
    bool WaitStateChange(const VkDeadline&) override { return note("WaitStateChange"); }
    void Wakeup() override { note("Wakeup"); }
    bool RunMaintainer() override { return note("RunMaintainer"); }
    bool StopMaintainer() override { return note("StopMaintainer"); }
    std::string AddressesText() const override { return "unix:/x"; }
    std::shared_ptr<VkIPC> GetReady(const VkDeadline&) override { return note("GetReady"), nullptr; }
    void Release(const std::shared_ptr<VkIPC>&) override { note("Release"); }
    void CloseConnection(std::shared_ptr<VkIPC>) override { note("CloseConnection"); }
    void SetValue(VkConnectionObserver*) override { note("SetValue"); }
    void CorrectConnectionsNum(uint32_t) override { note("CorrectConnectionsNum"); }
    ConnSettings GetConnSettings() const override { return m_settings; }
    void AppendStatistics(const std::string&) override {}

private:
    bool note(const std::string& call) {
        m_calls += (m_calls.empty() ? "" : " ") + call;
        return call != m_failing;
    }
    std::string& m_calls;
    std::string m_failing;
    ConnSettings m_settings;
};

class SessionStates : public ::testing::Test {
protected:
    void SetUp() override { getIpcLogger().setLevel(VK_LOG_DEBUG); }
    vktest::SyslogCapture capture;
};

const std::string kDestroyed = "TerminalSessionStatesession has been deleted: thread has been canceled";

TEST_F(SessionStates, OperationTable) {
    typedef VkSessionStateTable T;
    const ConnSettings settings(1);
    // Each operation on the shared state object; what it returns, as text.
    const std::map<std::string, std::function<std::string(VkSessionState&, VkSession&)>> operations = {
        {"Open(one)", [&](VkSessionState& s, VkSession& session) { return s.Open(session, "unix:/x", settings), ""; }},
        {"Open(list)", [&](VkSessionState& s, VkSession& session) {
             return s.Open(session, std::list<std::string>{"unix:/x"}, settings), "";
         }},
        {"Close", [](VkSessionState& s, VkSession& session) { return s.Close(session), ""; }},
        {"Suspend", [](VkSessionState& s, VkSession& session) { return s.Suspend(session), ""; }},
        {"Resume", [](VkSessionState& s, VkSession& session) { return s.Resume(session), ""; }},
        {"Destroy", [](VkSessionState& s, VkSession& session) { return s.Destroy(session), ""; }},
        {"CancelThread", [](VkSessionState& s, VkSession& session) {
             return s.CancelThread(session, pthread_self()) ? "true" : "false";
         }},
        {"AquireConnection", [](VkSessionState& s, VkSession& session) {
             return s.AquireConnection(session, kDeadlineInfinite), "";
         }},
        {"ReleaseConnection",
         [](VkSessionState& s, VkSession& session) { return s.ReleaseConnection(session, nullptr), ""; }},
        {"SetPoolValue", [](VkSessionState& s, VkSession& session) { return s.SetPoolValue(session, nullptr), ""; }},
        {"GetName", [](VkSessionState& s, VkSession&) { return s.GetName(); }},
    };
    const std::string closeCalls = "Wakeup StopMaintainer Close";
    struct Row {
        T::Entry state;
        const char* operation;
        const char* failing;  // the pool call that answers false
        std::string calls;
        T::Entry after;
        std::string outcome;  // what it returned or threw
    } rows[] = {
        {T::kInitial, "Open", "", "Init RunMaintainer", T::kOpened, ""},
        {T::kInitial, "Open", "Init", "Init", T::kInitial,
         "SessionState::Open - cannot initialize connections pool"},
        {T::kInitial, "Open", "RunMaintainer", "Init RunMaintainer", T::kInitial,
         "SessionState::Open - cannot initialize connections pool"},
        {T::kInitial, "Close", "", "", T::kInitial, ""},
        {T::kInitial, "Suspend", "", "", T::kInitial, ""},
        {T::kInitial, "Resume", "", "", T::kInitial, ""},
        {T::kInitial, "Destroy", "", "delete", T::kTerminal, ""},
        {T::kInitial, "CancelThread", "", "", T::kInitial, "false"},
        {T::kInitial, "AquireConnection", "", "", T::kInitial,
         "Initial State: A session state doesn't allows to aquire connections"},
        {T::kInitial, "ReleaseConnection", "", "", T::kInitial,
         "Initial State: A session state doesn't allows to release connections"},
        {T::kInitial, "SetPoolValue", "", "SetValue", T::kInitial, ""},
        {T::kInitial, "GetName", "", "", T::kInitial, "Initial State"},

        {T::kOpened, "Open", "", "Reinit", T::kOpened, ""},
        {T::kOpened, "Open", "Reinit", "Reinit", T::kOpened,
         "OpenedSessionState::Reopen - cannot reinit connections pool"},
        {T::kOpened, "Close", "", closeCalls, T::kClosed, ""},
        {T::kOpened, "Close", "StopMaintainer", "Wakeup StopMaintainer", T::kClosed,
         "SessionState::Close - cannot close connections pool"},
        {T::kOpened, "Suspend", "", "Suspend", T::kSuspended, ""},
        {T::kOpened, "Suspend", "Suspend", "Suspend", T::kOpened,
         "OpenedSessionState::Close - cannot suspend connections pool"},
        {T::kOpened, "Resume", "", "", T::kOpened, ""},
        {T::kOpened, "Destroy", "", closeCalls + " delete", T::kTerminal, ""},
        {T::kOpened, "Destroy", "Close", closeCalls, T::kClosed, "SessionState::Close - cannot close connections pool"},
        {T::kOpened, "CancelThread", "", "CancelThread", T::kOpened, "true"},
        {T::kOpened, "AquireConnection", "", "GetReady", T::kOpened, ""},
        {T::kOpened, "ReleaseConnection", "", "Release", T::kOpened, ""},
        {T::kOpened, "SetPoolValue", "", "SetValue", T::kOpened, ""},
        {T::kOpened, "GetName", "", "", T::kOpened, "Opened State"},

        {T::kClosed, "Open", "", "Init RunMaintainer", T::kOpened, ""},
        {T::kClosed, "Close", "", "", T::kClosed, ""},
        {T::kClosed, "Suspend", "", "", T::kClosed, ""},
        {T::kClosed, "Resume", "", "", T::kClosed, ""},
        {T::kClosed, "Destroy", "", "delete", T::kTerminal, ""},
        {T::kClosed, "CancelThread", "", "", T::kClosed, "false"},
        {T::kClosed, "AquireConnection", "", "", T::kClosed, "session has been closed: thread has been canceled"},
        {T::kClosed, "ReleaseConnection", "", "CloseConnection", T::kClosed, ""},
        {T::kClosed, "SetPoolValue", "", "SetValue", T::kClosed, ""},
        {T::kClosed, "GetName", "", "", T::kClosed, "Closed State"},

        {T::kSuspended, "Open", "", "Reinit", T::kSuspended, ""},
        {T::kSuspended, "Close", "", closeCalls, T::kClosed, ""},
        {T::kSuspended, "Suspend", "", "", T::kSuspended, ""},
        {T::kSuspended, "Resume", "", "Wakeup Resume", T::kOpened, ""},
        {T::kSuspended, "Resume", "Resume", "Wakeup Resume", T::kOpened, "SuspendedSessionState::Resume error"},
        {T::kSuspended, "Destroy", "", closeCalls + " delete", T::kTerminal, ""},
        {T::kSuspended, "CancelThread", "", "CancelThread", T::kSuspended, "true"},
        {T::kSuspended, "AquireConnection", "", "WaitStateChange", T::kSuspended, "function should be recalled"},
        {T::kSuspended, "AquireConnection", "WaitStateChange", "WaitStateChange", T::kSuspended,
         "SuspendedSessionState::AquireConnection - a waiting for a change of a state is failed"},
        {T::kSuspended, "ReleaseConnection", "", "Release", T::kSuspended, ""},
        {T::kSuspended, "SetPoolValue", "", "SetValue", T::kSuspended, ""},
        {T::kSuspended, "GetName", "", "", T::kSuspended, "Suspended State"},
    };
    const auto check = [&](T::Entry state, const std::string& operation, const char* failing, const std::string& calls,
                           T::Entry after, const std::string& outcome) {
        SCOPED_TRACE(States().Get(state)->GetName() + " " + operation + (*failing ? " failing " : "") + failing);
        std::string made;
        VkClientSession session(new RecordingPool(made, failing));
        session.setState(States().Get(state));
        std::string result;
        const std::string threw = thrownText([&] { result = operations.at(operation)(*States().Get(state), session); });
        EXPECT_EQ(made, calls);
        EXPECT_EQ(session.getState()->GetName(), States().Get(after)->GetName());
        EXPECT_EQ(threw.empty() ? result : threw, outcome);
    };
    for (const Row& row : rows)  // "Open": both of its forms
        for (const std::string& operation : std::string(row.operation) == "Open"
                                               ? std::vector<std::string>{"Open(one)", "Open(list)"}
                                               : std::vector<std::string>{row.operation})
            check(row.state, operation, row.failing, row.calls, row.after, row.outcome);
    for (const auto& operation : operations)
        check(T::kTerminal, operation.first, "", "", T::kTerminal,
              operation.first == "GetName" ? "Terminal State" : kDestroyed);
}

TEST_F(SessionStates, OpenChecksEveryAddressBeforeOpening) {
    std::string calls;
    VkClientSession session(new RecordingPool(calls, ""));
    EXPECT_EQ(thrownText([&] { session.Open(std::list<std::string>{"unix:/tmp/a", "bogus"}, ConnSettings(1)); }),
              "Session::Open: the 'address' parameter contains invalid value 'bogus'");
    EXPECT_EQ(calls, "");
    EXPECT_TRUE(capture.contains(" ERROR can`t create incorrect address: bogus"));
    std::vector<std::string> resolved;
    EXPECT_TRUE(session.Open(std::list<std::string>{"unix:/tmp/a", "inet:5@127.0.0.1"}, ConnSettings(1), &resolved));
    EXPECT_EQ(resolved, (std::vector<std::string>{"unix:/tmp/a", "inet:5@127.0.0.1"}));
    EXPECT_EQ(calls, "Init RunMaintainer");
}

TEST_F(SessionStates, ProtocolChecksAndRegistry) {
    std::unique_ptr<VkClientSession> client(CreatePersistentClientSession());
    std::unique_ptr<VkServerSession> server(CreatePersistentServerSession());
    vktest::EchoServer echo, twin;
    vktest::EchoClient request;
    const VkDeadline soon(velka::base::VkTimeout(1, velka::base::VkTimeout::Seconds));
    EXPECT_EQ(thrownText([&] { client->Execute(nullptr, soon); }),
              "ClientSession::process: the 'theProto' parameter is invalid");
    EXPECT_TRUE(capture.contains(" ERROR C-Session::process - a null pointer to a protocol"));
    EXPECT_EQ(thrownText([&] { client->Execute(&echo, soon); }),
              "ClientSession::process: the 'theProto' parameter contains invalid value 'protocol 8200 is no client "
              "protocol'");
    EXPECT_EQ(thrownText([&] { server->Execute(nullptr, soon); }), "server: supported protocols were not been defined");
    // A new session is Initial: no connection is tried.
    EXPECT_EQ(thrownText([&] { client->Execute(&request, soon); }),
              "Initial State: A session state doesn't allows to aquire connections");

    EXPECT_TRUE(server->Register(&echo));
    EXPECT_FALSE(server->Register(&twin));
    EXPECT_TRUE(capture.contains(" WARN S-Session::Register - a protocol (id=8200) already has been registred"));
    EXPECT_EQ(server->FindProtocol(vktest::kEchoId), &echo);
    EXPECT_EQ(thrownText([&] { server->Register(nullptr); }),
              "ServerSession::Register: the 'theProto' parameter contains invalid value 'null'");
    EXPECT_TRUE(server->Deregister(&twin));  // by identifier
    EXPECT_FALSE(server->Deregister(&echo));
    EXPECT_TRUE(capture.contains(" WARN S-Session::Deregister - a protocol (id=8200) has not been registred"));
    EXPECT_EQ(server->FindProtocol(vktest::kEchoId), nullptr);
}

}  // namespace
