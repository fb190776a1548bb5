// velka-stand-in-agent: a stand-in for the suite's configuration agent in
// tests. Serves the config, report and control requests over raw sockets,
// logs each request it receives and injects the faults its options ask for.
#include <signal.h>
#include <sys/stat.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "../common/raw_wire.h"

namespace {

const char kHelp[] =
    "velka-stand-in-agent: a stand-in for the configuration agent velka-agent\n"
    "\n"
    "Usage: velka-stand-in-agent [options]\n"
    "\n"
    "Listens on --socket, serves any number of connections and of requests on\n"
    "each, and answers from its options. It can run as the monitor's AGENT\n"
    "component: once it listens (and has written --pid-file) it writes the start\n"
    "answer, one blank, on descriptor 1 (the monitor's management socket); a\n"
    "failed set-up writes 'E' there instead and exits 2. SIGTERM or SIGINT ends\n"
    "it with status 0 after it removed its unix socket file.\n"
    "\n"
    "Requests served (every field big-endian; a string is an int32 count and\n"
    "the bytes; the 4-byte protocol id comes first):\n"
    "  0x2003 config: int32 type (1 or 3), int32 section, string client, int32 pid.\n"
    "         Reply: int32 type 2, int32 code, int32 count, count name/value\n"
    "         string pairs. Section 46 carries monitor/runapplist and --key pairs,\n"
    "         section 40 notifier/adminmail, notifier/filtermail, monitor/mta and\n"
    "         --key40 pairs (a key not given is left out); other sections get\n"
    "         code 2 and only the pairs --answers gives them.\n"
    "  0x2009 start report: string name, int32 pid, string users, string command\n"
    "         line. No reply.\n"
    "  0x200A stop report: string name, int32 pid. No reply.\n"
    "  0x2008 reload: int32 count (at most 65536; negative: none), count int32 pids.\n"
    "         No reply.\n"
    "  0x200C update: three strings (4096 bytes at most each). Reply: int32 ok,\n"
    "         string text (--update-ok, --update-text).\n"
    "  Any other id is logged and the connection closed, as is a request with a\n"
    "  count or string length out of bounds (strings 1 MiB, update strings 4096).\n"
    "\n"
    "Options (\"--name value\" or \"--name=value\"):\n"
    "  --socket <address>    local:<path>, unix:<path> or inet:<port>@<host> (an\n"
    "                        empty host is the loopback address)\n"
    "                        (default local:/var/velka/ipc/.agent; port 0 picks one,\n"
    "                        see --pid-file)\n"
    "  --pid-file <file>     write the pid and, on the next line, the address\n"
    "                        listened on (the path, or host:port)\n"
    "  --log <file>          append one line per request, flushed at once:\n"
    "                          config conn=<n> type=<t> section=<s> client=\"..\" pid=<p> hex=..\n"
    "                          start conn=<n> name=\"..\" pid=<p> users=\"..\" cmdline=\"..\" hex=..\n"
    "                          stop conn=<n> name=\"..\" pid=<p> hex=..\n"
    "                          reload conn=<n> count=<c> pids=<p1>,<p2>.. hex=..\n"
    "                          update conn=<n> first=\"..\" second=\"..\" third=\"..\" hex=..\n"
    "                          unknown conn=<n> id=0x<id> hex=..\n"
    "                          closed-after-id conn=<n> id=0x<id> hex=..\n"
    "                          refused conn=<n> id=0x<id>: <reason> hex=..\n"
    "                          cut conn=<n> id=0x<id>: <reason> hex=..   (peer closed mid-request)\n"
    "                        and \"signal HUP\" / \"signal USR1\" when one arrives. conn\n"
    "                        numbers the connections from 1; hex= gives the request's\n"
    "                        bytes as received, id included (\"00 00 20 03 ..\");\n"
    "                        texts are quoted with \\\", \\\\ and \\xNN escapes.\n"
    "  --runapplist <text>   section 46: monitor/runapplist\n"
    "  --admin <text>        section 40: notifier/adminmail\n"
    "  --filter <text>       section 40: notifier/filtermail\n"
    "  --mta <text>          section 40: monitor/mta\n"
    "  --key <name=value>    section 46: one more pair (repeatable)\n"
    "  --key40 <name=value>  section 40: one more pair (repeatable)\n"
    "  --answers <file>      read at every config request: lines \"<section> <name>=<value>\"\n"
    "                        ('#' lines and blank lines ignored); a pair replaces the\n"
    "                        option pair of the same name, else it is added. In name\n"
    "                        and value \\xNN stands for the byte NN (hex) and \\\\ for a\n"
    "                        backslash. Rewrite the file to change the answers while\n"
    "                        the agent runs.\n"
    "  --update-ok <n>       the ok field of update replies (default 1)\n"
    "  --update-text <text>  the text of update replies (default empty)\n"
    "  --check-only [addr]   print \"Options OK\" on standard output and exit 0\n"
    "  --update              accepted and ignored\n"
    "  --help                this text\n"
    "\n"
    "Faults (all off by default):\n"
    "  --code46 <n>          result code of section 46 replies (normally 1)\n"
    "  --code40 <n>          result code of section 40 replies (normally 1)\n"
    "  --reply-type <n>      reply type of config replies (normally 2)\n"
    "  --delay <ms>          wait before each config or update reply\n"
    "  --silent              never send a config or update reply (the connection\n"
    "                        stays open until the peer closes it)\n"
    "  --close-after-id      read the protocol id of a request, then close\n"
    "  --hostile <kind>      config replies announce more than they carry, then\n"
    "                        nothing follows:\n"
    "                          count     count 0x7FFFFFFF\n"
    "                          length    count 1, name length 0x7FFFFFFF\n"
    "                          negative  count -1\n"
    "                        or they are too large as a whole (written pair by pair\n"
    "                        until the peer stops reading):\n"
    "                          pairs     4096 pairs \"key<i>\", each value 1 MiB of 'x'\n"
    "                          pairs64k  4096 pairs \"key<i>\", each value 64 KiB of 'x'\n"
    "  --faults-after <n>    serve the first n config requests without faults;\n"
    "                        the faults hit every request after them (default 0)\n"
    "  --faults-on-usr1      no faults until the agent receives SIGUSR1 (which\n"
    "                        also switches them on before --faults-after runs out)\n";

const int kExitUsage = 2;
const int32_t kStringLimit = 1 << 20;
const int32_t kUpdateStringLimit = 4096;
const int32_t kPidCountLimit = 65536;
const size_t kHexLogLimit = 1024;

struct Usage : std::runtime_error {
    using std::runtime_error::runtime_error;
};
// A request outside the bounds: logged, and the connection is closed.
struct Refused : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct Pair {
    std::string name, value;
};

struct Settings {
    std::string socket = "local:/var/velka/ipc/.agent";
    std::string pidFile, logFile, answersFile;
    std::optional<std::string> runAppList, admin, filter, mta;
    std::vector<Pair> keys46, keys40;
    int32_t updateOk = 1;
    std::string updateText;
    bool checkOnly = false;
    // Faults.
    int32_t code46 = 1, code40 = 1, replyType = 2;
    long delayMs = 0;
    bool silent = false, closeAfterId = false, faultsOnUsr1 = false;
    std::string hostile;
    long faultsAfter = 0;
};

long long parseNumber(const std::string& text, const std::string& what, long long low, long long high) {
    errno = 0;
    char* end = nullptr;
    const long long value = std::strtoll(text.c_str(), &end, 0);
    if (text.empty() || *end != '\0' || errno != 0 || value < low || value > high)
        throw Usage(what + " \"" + text + "\" is not a number from " + std::to_string(low) + " to " + std::to_string(high));
    return value;
}

Pair parsePair(const std::string& text, const std::string& what) {
    const size_t eq = text.find('=');
    if (eq == std::string::npos || eq == 0) throw Usage(what + " \"" + text + "\" is not name=value");
    return {text.substr(0, eq), text.substr(eq + 1)};
}

Settings parseSettings(int argc, char** argv) {
    Settings s;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i], value;
        const size_t eq = arg.find('=');
        const bool inlineValue = arg.compare(0, 2, "--") == 0 && eq != std::string::npos;
        if (inlineValue) {
            value = arg.substr(eq + 1);
            arg = arg.substr(0, eq);
        }
        if (arg == "--help") {
            std::cout << kHelp;
            std::exit(0);
        }
        if (arg == "--check-only") {  // an optional agent address may follow
            s.checkOnly = true;
            if (!inlineValue && i + 1 < argc && std::string(argv[i + 1]).compare(0, 2, "--") != 0) ++i;
            continue;
        }
        if (arg == "--update" || arg == "--silent" || arg == "--close-after-id" || arg == "--faults-on-usr1") {
            if (inlineValue) throw Usage("option " + arg + " takes no value");
            if (arg == "--silent") s.silent = true;
            if (arg == "--close-after-id") s.closeAfterId = true;
            if (arg == "--faults-on-usr1") s.faultsOnUsr1 = true;
            continue;
        }
        static const char* const valued[] = {"--socket", "--pid-file", "--log", "--runapplist", "--admin",
                                             "--filter", "--mta", "--key", "--key40", "--answers",
                                             "--update-ok", "--update-text", "--code46", "--code40",
                                             "--reply-type", "--delay", "--hostile", "--faults-after"};
        bool known = false;
        for (const char* name : valued) known = known || arg == name;
        if (!known) throw Usage("unknown option \"" + arg + "\"");
        if (!inlineValue) {
            if (i + 1 >= argc) throw Usage("option " + arg + " needs a value");
            value = argv[++i];
        }
        if (arg == "--socket") s.socket = value;
        else if (arg == "--pid-file") s.pidFile = value;
        else if (arg == "--log") s.logFile = value;
        else if (arg == "--runapplist") s.runAppList = value;
        else if (arg == "--admin") s.admin = value;
        else if (arg == "--filter") s.filter = value;
        else if (arg == "--mta") s.mta = value;
        else if (arg == "--key") s.keys46.push_back(parsePair(value, arg));
        else if (arg == "--key40") s.keys40.push_back(parsePair(value, arg));
        else if (arg == "--answers") s.answersFile = value;
        else if (arg == "--update-ok") s.updateOk = static_cast<int32_t>(parseNumber(value, arg, INT32_MIN, INT32_MAX));
        else if (arg == "--update-text") s.updateText = value;
        else if (arg == "--code46") s.code46 = static_cast<int32_t>(parseNumber(value, arg, INT32_MIN, INT32_MAX));
        else if (arg == "--code40") s.code40 = static_cast<int32_t>(parseNumber(value, arg, INT32_MIN, INT32_MAX));
        else if (arg == "--reply-type") s.replyType = static_cast<int32_t>(parseNumber(value, arg, INT32_MIN, INT32_MAX));
        else if (arg == "--delay") s.delayMs = static_cast<long>(parseNumber(value, arg, 0, 86400000));
        else if (arg == "--faults-after") s.faultsAfter = static_cast<long>(parseNumber(value, arg, 0, LONG_MAX));
        else if (arg == "--hostile") {
            if (value != "count" && value != "length" && value != "negative" && value != "pairs" && value != "pairs64k")
                throw Usage("--hostile \"" + value + "\" is not count, length, negative, pairs or pairs64k");
            s.hostile = value;
        }
    }
    return s;
}

// One line per record, written with one append and so never interleaved.
class Log {
public:
    void open(const std::string& path) {
        m_fd.reset(::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
        if (m_fd.get() < 0) throw std::runtime_error("cannot open the log \"" + path + "\": " + rawwire::sysText(errno));
    }
    void line(const std::string& text) {
        if (m_fd.get() < 0) return;
        const std::string record = text + "\n";
        std::lock_guard<std::mutex> lock(m_mutex);
        ssize_t ignored = ::write(m_fd.get(), record.data(), record.size());
        (void)ignored;
    }

private:
    std::mutex m_mutex;
    rawwire::Fd m_fd;
};

// "\xNN" as the byte NN, "\\" as one backslash; anything else unchanged.
std::string unescaped(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        const auto hexDigit = [&](size_t at) { return at < text.size() && std::isxdigit(static_cast<unsigned char>(text[at])); };
        if (text[i] == '\\' && i + 1 < text.size() && text[i + 1] == '\\') {
            out += '\\';
            ++i;
        } else if (text[i] == '\\' && i + 1 < text.size() && text[i + 1] == 'x' && hexDigit(i + 2) && hexDigit(i + 3)) {
            out += static_cast<char>(std::stoi(text.substr(i + 2, 2), nullptr, 16));
            i += 3;
        } else {
            out += text[i];
        }
    }
    return out;
}

std::string idText(uint32_t id) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%04X", id);
    return text;
}

// Shared by the connections: settings, log, the fault switch.
struct Agent {
    Settings settings;
    Log log;
    std::atomic<long> configRequests{0};
    std::atomic<bool> usr1{false};

    // True when the faults hit a request; a config request is counted first.
    bool faultsFor(bool config) {
        const long seen = config ? ++configRequests : configRequests.load();
        if (usr1) return true;
        if (settings.faultsOnUsr1) return false;
        return config ? seen > settings.faultsAfter : seen >= settings.faultsAfter;
    }

    std::vector<Pair> answerFor(int32_t section) const {
        std::vector<Pair> pairs;
        if (section == 46) {
            if (settings.runAppList) pairs.push_back({"monitor/runapplist", *settings.runAppList});
            pairs.insert(pairs.end(), settings.keys46.begin(), settings.keys46.end());
        } else if (section == 40) {
            if (settings.admin) pairs.push_back({"notifier/adminmail", *settings.admin});
            if (settings.filter) pairs.push_back({"notifier/filtermail", *settings.filter});
            if (settings.mta) pairs.push_back({"monitor/mta", *settings.mta});
            pairs.insert(pairs.end(), settings.keys40.begin(), settings.keys40.end());
        }
        if (settings.answersFile.empty()) return pairs;
        std::ifstream in(settings.answersFile);
        int number = 0;
        for (std::string line; std::getline(in, line);) {
            ++number;
            if (line.empty() || line[0] == '#') continue;
            const size_t blank = line.find(' ');
            const size_t eq = line.find('=', blank == std::string::npos ? 0 : blank);
            char* end = nullptr;
            const long lineSection = std::strtol(line.c_str(), &end, 10);
            if (blank == std::string::npos || eq == std::string::npos || end != line.c_str() + blank || eq == blank + 1) {
                std::cerr << "velka-stand-in-agent: " << settings.answersFile << ":" << number
                          << ": expected \"<section> <name>=<value>\"" << std::endl;
                continue;
            }
            if (lineSection != section) continue;
            Pair pair{unescaped(line.substr(blank + 1, eq - blank - 1)), unescaped(line.substr(eq + 1))};
            bool replaced = false;
            for (Pair& p : pairs)
                if (p.name == pair.name) {
                    p.value = pair.value;
                    replaced = true;
                }
            if (!replaced) pairs.push_back(pair);
        }
        return pairs;
    }
};

// One accepted connection, served on a thread of its own until the peer
// closes it, a request is refused, or the agent stops.
class Connection {
public:
    Connection(Agent& agent, int fd, long number, int stopFd) : m_agent(agent), m_fd(fd), m_number(number), m_stopFd(stopFd) {}

    void serve() {
        uint32_t id = 0;
        try {
            for (;;) {
                m_raw.clear();
                if (!take(4, true)) return;
                id = static_cast<uint32_t>(rawwire::getInt32(bytesAt(0)));
                if (!serveRequest(id)) return;
            }
        } catch (const Refused& e) {
            record("refused", id, e.what());
        } catch (const rawwire::Closed& e) {
            record("cut", id, e.what());
        } catch (const rawwire::Stopped&) {
        } catch (const std::exception& e) {
            record("error", id, e.what());
        }
    }

private:
    // False when the connection is to be closed after the request.
    bool serveRequest(uint32_t id) {
        const Settings& s = m_agent.settings;
        const bool faults = m_agent.faultsFor(id == 0x2003);
        const std::string conn = " conn=" + std::to_string(m_number);
        if (faults && s.closeAfterId) {
            m_agent.log.line("closed-after-id" + conn + " id=" + idText(id) + hexField());
            return false;
        }
        switch (id) {
        case 0x2003: {
            const int32_t type = int32();
            if (type != 1 && type != 3) throw Refused("request type " + std::to_string(type) + ", expected 1 or 3");
            const int32_t section = int32();
            const std::string client = string(kStringLimit, "client name");
            const int32_t pid = int32();
            m_agent.log.line("config" + conn + " type=" + std::to_string(type) + " section=" + std::to_string(section) +
                             " client=" + rawwire::quoted(client) + " pid=" + std::to_string(pid) + hexField());
            if (faults && (s.hostile == "pairs" || s.hostile == "pairs64k"))
                return streamPairs(section, s.hostile == "pairs" ? 1u << 20 : 64u << 10);
            return reply(configReply(section, faults), faults);
        }
        case 0x2009: {
            const std::string name = string(kStringLimit, "application name");
            const int32_t pid = int32();
            const std::string users = string(kStringLimit, "users");
            const std::string cmdline = string(kStringLimit, "command line");
            m_agent.log.line("start" + conn + " name=" + rawwire::quoted(name) + " pid=" + std::to_string(pid) +
                             " users=" + rawwire::quoted(users) + " cmdline=" + rawwire::quoted(cmdline) + hexField());
            return true;
        }
        case 0x200A: {
            const std::string name = string(kStringLimit, "application name");
            const int32_t pid = int32();
            m_agent.log.line("stop" + conn + " name=" + rawwire::quoted(name) + " pid=" + std::to_string(pid) + hexField());
            return true;
        }
        case 0x2008: {
            const int32_t count = int32();
            if (count > kPidCountLimit)
                throw Refused("pid count " + std::to_string(count) + " above " + std::to_string(kPidCountLimit));
            std::string pids;
            for (int32_t i = 0; i < count; ++i) pids += (i ? "," : "") + std::to_string(int32());
            m_agent.log.line("reload" + conn + " count=" + std::to_string(count) + " pids=" + pids + hexField());
            return true;
        }
        case 0x200C: {
            const std::string first = string(kUpdateStringLimit, "first text");
            const std::string second = string(kUpdateStringLimit, "second text");
            const std::string third = string(kUpdateStringLimit, "third text");
            m_agent.log.line("update" + conn + " first=" + rawwire::quoted(first) + " second=" + rawwire::quoted(second) +
                             " third=" + rawwire::quoted(third) + hexField());
            std::string out;
            rawwire::putInt32(out, static_cast<uint32_t>(s.updateOk));
            rawwire::putString(out, s.updateText);
            return reply(out, faults);
        }
        default:
            m_agent.log.line("unknown" + conn + " id=" + idText(id) + hexField());
            return false;
        }
    }

    std::string configReply(int32_t section, bool faults) const {
        const Settings& s = m_agent.settings;
        std::string out;
        rawwire::putInt32(out, static_cast<uint32_t>(faults ? s.replyType : 2));
        const int32_t code = section == 46 ? (faults ? s.code46 : 1) : section == 40 ? (faults ? s.code40 : 1) : 2;
        rawwire::putInt32(out, static_cast<uint32_t>(code));
        const std::string hostile = faults ? s.hostile : "";
        if (hostile == "count") {
            rawwire::putInt32(out, 0x7FFFFFFF);
        } else if (hostile == "length") {
            rawwire::putInt32(out, 1);
            rawwire::putInt32(out, 0x7FFFFFFF);
        } else if (hostile == "negative") {
            rawwire::putInt32(out, static_cast<uint32_t>(-1));
        } else {
            const std::vector<Pair> pairs = m_agent.answerFor(section);
            rawwire::putInt32(out, static_cast<uint32_t>(pairs.size()));
            for (const Pair& p : pairs) {
                rawwire::putString(out, p.name);
                rawwire::putString(out, p.value);
            }
        }
        return out;
    }

    // A reply of 4096 pairs with values of the given size, written pair by
    // pair so that the agent never holds it whole; false once the peer has
    // stopped reading.
    bool streamPairs(int32_t section, uint32_t valueSize) {
        const int32_t kPairs = 4096;
        std::string head;
        rawwire::putInt32(head, 2);
        rawwire::putInt32(head, section == 46 || section == 40 ? 1 : 2);
        rawwire::putInt32(head, kPairs);
        const std::string value(valueSize, 'x');
        try {
            rawwire::writeAll(m_fd.get(), head, rawwire::Deadline::never(), m_stopFd);
            for (int32_t i = 0; i < kPairs; ++i) {
                std::string pair;
                rawwire::putString(pair, "key" + std::to_string(i));
                rawwire::putInt32(pair, valueSize);
                rawwire::writeAll(m_fd.get(), pair, rawwire::Deadline::never(), m_stopFd);
                rawwire::writeAll(m_fd.get(), value, rawwire::Deadline::never(), m_stopFd);
            }
        } catch (const rawwire::Stopped&) {
            throw;
        } catch (const std::runtime_error&) {
            return false;  // the peer closed the connection
        }
        return true;
    }

    // Sends a reply after the fault delay; false when the peer hung up or
    // the agent stopped while it waited.
    bool reply(const std::string& bytes, bool faults) {
        const Settings& s = m_agent.settings;
        if (faults && (s.silent || s.delayMs > 0)) {
            const auto until = s.silent ? rawwire::Deadline::never() : rawwire::Deadline::afterMs(s.delayMs);
            try {
                rawwire::waitFor(m_fd.get(), POLLRDHUP, until, m_stopFd);
                return false;  // the peer shut its side down
            } catch (const rawwire::TimedOut&) {
            }
        }
        rawwire::writeAll(m_fd.get(), bytes, rawwire::Deadline::never(), m_stopFd);
        return true;
    }

    // Appends exactly n bytes of the request to m_raw; false only for an end
    // of stream before the first byte of a request.
    bool take(size_t n, bool requestStart = false) {
        const size_t start = m_raw.size();
        m_raw.resize(start + n);
        size_t done = 0;
        while (done < n) {
            const ssize_t got = ::read(m_fd.get(), &m_raw[start + done], n - done);
            if (got > 0) {
                done += static_cast<size_t>(got);
            } else if (got == 0) {
                m_raw.resize(start + done);
                if (requestStart && m_raw.empty()) return false;
                throw rawwire::Closed("the peer closed the connection after " + std::to_string(m_raw.size()) +
                                      " bytes of the request");
            } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
                rawwire::waitFor(m_fd.get(), POLLIN, rawwire::Deadline::never(), m_stopFd);
            } else if (errno != EINTR) {
                m_raw.resize(start + done);
                throw std::runtime_error("read failed: " + rawwire::sysText(errno));
            }
        }
        return true;
    }
    const unsigned char* bytesAt(size_t offset) const { return reinterpret_cast<const unsigned char*>(m_raw.data() + offset); }
    int32_t int32() {
        take(4);
        return rawwire::getInt32(bytesAt(m_raw.size() - 4));
    }
    std::string string(int32_t limit, const char* field) {
        const int32_t length = int32();
        if (length < 0 || length > limit)
            throw Refused(std::string(field) + " length " + std::to_string(length) + " outside 0.." + std::to_string(limit));
        take(static_cast<size_t>(length));
        return m_raw.substr(m_raw.size() - static_cast<size_t>(length));
    }
    std::string hexField() const {
        if (m_raw.size() <= kHexLogLimit) return " hex=" + rawwire::hex(m_raw);
        return " hex=" + rawwire::hex(m_raw.substr(0, kHexLogLimit)) + " ...";
    }
    void record(const char* kind, uint32_t id, const std::string& reason) {
        m_agent.log.line(std::string(kind) + " conn=" + std::to_string(m_number) + " id=" + idText(id) + ": " + reason + hexField());
    }

    Agent& m_agent;
    rawwire::Fd m_fd;
    const long m_number;
    const int m_stopFd;
    std::string m_raw;  // the bytes of the current request, id included
};

int g_signalPipe[2] = {-1, -1};

void onSignal(int signo) {
    const int saved = errno;
    const unsigned char byte = static_cast<unsigned char>(signo);
    ssize_t ignored = ::write(g_signalPipe[1], &byte, 1);
    (void)ignored;
    errno = saved;
}

void writeAnswer(char answer) {
    ssize_t ignored = ::write(1, &answer, 1);
    (void)ignored;
}

// A listening socket; a unix socket file left by a dead agent is replaced,
// one that a live server answers on is not.
int listenOn(const rawwire::Address& address) {
    if (address.family == AF_UNIX) {
        struct stat st;
        if (::lstat(address.path.c_str(), &st) == 0) {
            if (!S_ISSOCK(st.st_mode)) throw std::runtime_error("\"" + address.path + "\" exists and is not a socket");
            bool live = false;
            try {
                rawwire::Fd probe(rawwire::connectTo(address, rawwire::Deadline::afterMs(250)));
                live = true;
            } catch (const std::exception&) {
            }
            if (live) throw std::runtime_error("a server already listens on \"" + address.text + "\"");
            ::unlink(address.path.c_str());
        }
    }
    rawwire::Fd fd(::socket(address.family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (fd.get() < 0) throw std::runtime_error("socket failed: " + rawwire::sysText(errno));
    const int on = 1;
    if (address.family != AF_UNIX) ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address.storage), address.length) != 0)
        throw std::runtime_error("cannot bind \"" + address.text + "\": " + rawwire::sysText(errno));
    if (::listen(fd.get(), 64) != 0) {
        const int err = errno;
        if (address.family == AF_UNIX) ::unlink(address.path.c_str());
        throw std::runtime_error("cannot listen on \"" + address.text + "\": " + rawwire::sysText(err));
    }
    return fd.release();
}

void writePidFile(const std::string& path, const std::string& addressLine) {
    const std::string temp = path + ".tmp";
    std::ofstream out(temp, std::ios::trunc);
    out << ::getpid() << "\n" << addressLine << "\n";
    out.close();
    if (!out || ::rename(temp.c_str(), path.c_str()) != 0)
        throw std::runtime_error("cannot write the pid file \"" + path + "\"");
}

struct Worker {
    std::thread thread;
    std::atomic<bool> done{false};
};

}  // namespace

int main(int argc, char** argv) {
    Agent agent;
    try {
        agent.settings = parseSettings(argc, argv);
    } catch (const std::exception& e) {
        std::cerr << "velka-stand-in-agent: " << e.what() << "\n(velka-stand-in-agent --help lists the options)" << std::endl;
        writeAnswer('E');
        return kExitUsage;
    }
    if (agent.settings.checkOnly) {
        std::cout << "Options OK" << std::endl;
        return 0;
    }

    rawwire::Fd listener, stopRead, stopWrite;
    std::string socketPath;
    try {
        int fds[2];
        if (::pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0 || ::pipe2(fds, O_CLOEXEC) != 0)
            throw std::runtime_error("pipe failed: " + rawwire::sysText(errno));
        stopRead.reset(fds[0]);
        stopWrite.reset(fds[1]);
        struct sigaction sa {};
        sa.sa_handler = onSignal;
        sigset_t handled;
        sigemptyset(&handled);
        for (int signo : {SIGTERM, SIGINT, SIGHUP, SIGUSR1}) {
            ::sigaction(signo, &sa, nullptr);
            sigaddset(&handled, signo);
        }
        ::signal(SIGPIPE, SIG_IGN);
        ::sigprocmask(SIG_UNBLOCK, &handled, nullptr);

        if (!agent.settings.logFile.empty()) agent.log.open(agent.settings.logFile);
        const rawwire::Address address = rawwire::parseAddress(agent.settings.socket);
        listener.reset(listenOn(address));
        if (address.family == AF_UNIX) socketPath = address.path;
        if (!agent.settings.pidFile.empty()) writePidFile(agent.settings.pidFile, rawwire::localName(listener.get(), address));
    } catch (const std::exception& e) {
        if (!socketPath.empty()) ::unlink(socketPath.c_str());
        std::cerr << "velka-stand-in-agent: " << e.what() << std::endl;
        writeAnswer('E');
        return kExitUsage;
    }
    writeAnswer(' ');

    std::list<std::unique_ptr<Worker>> workers;
    long connections = 0;
    for (bool running = true; running;) {
        pollfd fds[2] = {{listener.get(), POLLIN, 0}, {g_signalPipe[0], POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) continue;  // EINTR: the pipe tells which signal
        unsigned char signo;
        while (::read(g_signalPipe[0], &signo, 1) == 1) {
            if (signo == SIGTERM || signo == SIGINT) running = false;
            if (signo == SIGHUP) agent.log.line("signal HUP");
            if (signo == SIGUSR1) {
                agent.usr1 = true;
                agent.log.line("signal USR1");
            }
        }
        if (!running || !(fds[0].revents & POLLIN)) continue;
        const int fd = ::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) continue;
        for (auto it = workers.begin(); it != workers.end();) {
            if (!(*it)->done) {
                ++it;
                continue;
            }
            (*it)->thread.join();
            it = workers.erase(it);
        }
        auto worker = std::make_unique<Worker>();
        Worker* w = worker.get();
        auto connection = std::make_shared<Connection>(agent, fd, ++connections, stopRead.get());
        try {
            w->thread = std::thread([connection, w] {
                connection->serve();
                w->done = true;
            });
            workers.push_back(std::move(worker));
        } catch (const std::exception& e) {
            agent.log.line("error conn=" + std::to_string(connections) + ": cannot start a thread: " + e.what());
        }
    }

    listener.reset();
    if (!socketPath.empty()) ::unlink(socketPath.c_str());
    stopWrite.reset();  // every wait of the connections ends
    for (auto& worker : workers) worker->thread.join();
    return 0;
}
