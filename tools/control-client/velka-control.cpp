// velka-control: sends one reload-component or update request to a
// monitor's control server over a raw socket and reports the outcome.
#include <signal.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "../common/raw_wire.h"

namespace {

const char kHelp[] =
    "velka-control: sends one control request to a velka-monitor control server\n"
    "\n"
    "Usage:\n"
    "  velka-control --address <address> [options] reload [<pid>...]\n"
    "  velka-control --address <address> [options] update <cache-dir> <second> <product>\n"
    "\n"
    "Commands:\n"
    "  reload <pid>...   asks the monitor to reload the components with these\n"
    "                    process ids (protocol id 0x2008; int32 count, then each\n"
    "                    pid as int32; order and duplicates kept). The request has\n"
    "                    no reply: the client shuts its socket down for writing and\n"
    "                    waits until the server ends the stream. Exit 0 then; exit 2\n"
    "                    on any error, including reply bytes or a reset.\n"
    "  update <cache-dir> <second> <product>\n"
    "                    asks the monitor to run the update procedure (protocol id\n"
    "                    0x200C; three strings). Prints \"ok=<n> text=<t>\" from the\n"
    "                    reply (int32 ok, string text). Exit 0 when ok is not 0,\n"
    "                    1 when it is 0, 2 on error.\n"
    "\n"
    "Options:\n"
    "  --address <a>     the control server: local:<path>, unix:<path> or\n"
    "                    inet:<port>@<host> (an empty host is the loopback\n"
    "                    address; required)\n"
    "  --timeout <s>     seconds for the whole exchange, connect included\n"
    "                    (default 10; fractions allowed)\n"
    "  --id <n>          send the protocol id n (decimal or 0x hex) in place of the\n"
    "                    command's; the command's fields follow as usual\n"
    "  --hostile <kind>  send a malformed request for robustness tests:\n"
    "                      count     reload with the count 100000000 (then the pids given)\n"
    "                      negative  reload with the count -1 (then the pids given)\n"
    "                      length    update whose first string announces 0x7FFFFFFF bytes\n"
    "  --help            this text\n"
    "\n"
    "Every field is big-endian; a string is an int32 byte count and the bytes.\n"
    "Errors go to standard error as \"velka-control: <address>: <reason>\".\n";

const int kExitOk = 0, kExitNotOk = 1, kExitError = 2;
const int32_t kReplyTextLimit = 1 << 20;

struct Usage : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct Options {
    std::string address;
    double timeoutSeconds = 10;
    bool haveId = false;
    uint32_t id = 0;
    std::string hostile;
    std::string command;
    std::vector<std::string> args;
};

long long parseNumber(const std::string& text, const std::string& what, long long low, long long high, int base = 10) {
    errno = 0;
    char* end = nullptr;
    const long long value = std::strtoll(text.c_str(), &end, base);
    if (text.empty() || *end != '\0' || errno != 0 || value < low || value > high)
        throw Usage(what + " \"" + text + "\" is not a number from " + std::to_string(low) + " to " + std::to_string(high));
    return value;
}

Options parseOptions(int argc, char** argv) {
    Options options;
    int i = 1;
    for (; i < argc; ++i) {
        std::string arg = argv[i], value;
        if (arg.compare(0, 2, "--") != 0) break;
        const size_t eq = arg.find('=');
        const bool inlineValue = eq != std::string::npos;
        if (inlineValue) {
            value = arg.substr(eq + 1);
            arg = arg.substr(0, eq);
        }
        if (arg == "--help") {
            std::cout << kHelp;
            std::exit(kExitOk);
        }
        if (arg != "--address" && arg != "--timeout" && arg != "--id" && arg != "--hostile")
            throw Usage("unknown option \"" + arg + "\"");
        if (!inlineValue) {
            if (i + 1 >= argc) throw Usage("option " + arg + " needs a value");
            value = argv[++i];
        }
        if (arg == "--address") {
            options.address = value;
        } else if (arg == "--timeout") {
            char* end = nullptr;
            options.timeoutSeconds = std::strtod(value.c_str(), &end);
            if (value.empty() || *end != '\0' || !(options.timeoutSeconds > 0) || options.timeoutSeconds > 86400)
                throw Usage("--timeout \"" + value + "\" is not a number of seconds above 0");
        } else if (arg == "--id") {
            options.haveId = true;
            options.id = static_cast<uint32_t>(parseNumber(value, "--id", 0, UINT32_MAX, 0));
        } else {
            if (value != "count" && value != "negative" && value != "length")
                throw Usage("--hostile \"" + value + "\" is not count, negative or length");
            options.hostile = value;
        }
    }
    if (options.address.empty()) throw Usage("--address is required");
    if (i >= argc) throw Usage("a command is required: reload or update");
    options.command = argv[i++];
    for (; i < argc; ++i) options.args.push_back(argv[i]);
    if (options.command == "reload") {
        if (options.hostile == "length") throw Usage("--hostile length applies to update");
    } else if (options.command == "update") {
        if (options.args.size() != 3) throw Usage("update needs three arguments: <cache-dir> <second> <product>");
        if (!options.hostile.empty() && options.hostile != "length")
            throw Usage("--hostile " + options.hostile + " applies to reload");
    } else {
        throw Usage("unknown command \"" + options.command + "\"; expected reload or update");
    }
    return options;
}

std::string buildRequest(const Options& options) {
    std::string bytes;
    if (options.command == "reload") {
        rawwire::putInt32(bytes, options.haveId ? options.id : 0x2008);
        int32_t count = static_cast<int32_t>(options.args.size());
        if (options.hostile == "count") count = 100000000;
        if (options.hostile == "negative") count = -1;
        rawwire::putInt32(bytes, static_cast<uint32_t>(count));
        for (const std::string& pid : options.args)
            rawwire::putInt32(bytes, static_cast<uint32_t>(parseNumber(pid, "pid", INT32_MIN, INT32_MAX)));
        return bytes;
    }
    rawwire::putInt32(bytes, options.haveId ? options.id : 0x200C);
    for (size_t i = 0; i < options.args.size(); ++i) {
        if (i == 0 && options.hostile == "length") {
            rawwire::putInt32(bytes, 0x7FFFFFFF);
            bytes += options.args[i];
        } else {
            rawwire::putString(bytes, options.args[i]);
        }
    }
    return bytes;
}

// After the request: shut down for writing and read to the server's end of
// the stream; nothing may arrive before it.
void awaitEndOfStream(int fd, const rawwire::Deadline& deadline) {
    ::shutdown(fd, SHUT_WR);
    std::string unexpected;
    for (;;) {
        char buffer[4096];
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n == 0) break;
        if (n > 0) {
            unexpected.append(buffer, static_cast<size_t>(n));
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            try {
                rawwire::waitFor(fd, POLLIN, deadline);
            } catch (const rawwire::TimedOut&) {
                throw rawwire::TimedOut("timed out waiting for the server to end the stream");
            }
        } else if (errno != EINTR) {
            throw std::runtime_error("waiting for the end of the stream: " + rawwire::sysText(errno));
        }
    }
    if (!unexpected.empty())
        throw std::runtime_error("unexpected reply bytes to a request without reply: " +
                                 rawwire::hex(unexpected.substr(0, 64)) + (unexpected.size() > 64 ? " ..." : ""));
}

int readUpdateReply(int fd, const rawwire::Deadline& deadline) {
    try {
        unsigned char field[4];
        rawwire::readExact(fd, field, 4, deadline);
        const int32_t ok = rawwire::getInt32(field);
        rawwire::readExact(fd, field, 4, deadline);
        const int32_t length = rawwire::getInt32(field);
        if (length < 0 || length > kReplyTextLimit)
            throw std::runtime_error("reply text length " + std::to_string(length) + " outside 0.." +
                                     std::to_string(kReplyTextLimit));
        std::string text(static_cast<size_t>(length), '\0');
        rawwire::readExact(fd, &text[0], text.size(), deadline);
        std::cout << "ok=" << ok << " text=" << text << std::endl;
        return ok != 0 ? kExitOk : kExitNotOk;
    } catch (const rawwire::Closed& e) {
        throw std::runtime_error(std::string("the server ended the stream before the whole reply (") + e.what() + ")");
    } catch (const rawwire::TimedOut&) {
        throw rawwire::TimedOut("timed out waiting for the reply");
    } catch (const std::runtime_error& e) {
        throw std::runtime_error(std::string("reading the reply: ") + e.what());
    }
}

}  // namespace

int main(int argc, char** argv) {
    ::signal(SIGPIPE, SIG_IGN);
    Options options;
    std::string request;
    try {
        options = parseOptions(argc, argv);
        request = buildRequest(options);
    } catch (const std::exception& e) {
        std::cerr << "velka-control: " << e.what() << "\n(velka-control --help lists the usage)" << std::endl;
        return kExitError;
    }
    try {
        const auto deadline = rawwire::Deadline::afterMs(static_cast<long long>(options.timeoutSeconds * 1000));
        const rawwire::Address address = rawwire::parseAddress(options.address);
        rawwire::Fd fd(rawwire::connectTo(address, deadline));
        try {
            rawwire::writeAll(fd.get(), request, deadline);
        } catch (const rawwire::TimedOut&) {
            throw rawwire::TimedOut("timed out sending the request");
        }
        if (options.command == "reload") {
            awaitEndOfStream(fd.get(), deadline);
            return kExitOk;
        }
        return readUpdateReply(fd.get(), deadline);
    } catch (const std::exception& e) {
        std::cerr << "velka-control: " << options.address << ": " << e.what() << std::endl;
        return kExitError;
    }
}
