// Random and mutated byte streams fed to the data unit's readers: every
// stream ends in a VkException (never a crash, an allocation failure or a
// large allocation) and a failed read leaves the connection not connected.
#include <random>

#include <gtest/gtest.h>

#include "base/vk_exception.h"
#include "ipc/raw_peer.h"
#include "ipc/transport/ddp_unit.h"

namespace {

using velka::ipc::VkDdpUnit;

void appendInt32(std::string& out, uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) out += static_cast<char>(value >> shift);
}

// A well-formed stream of int32s, strings and string vectors, written by
// hand rather than by the unit.
std::string wellFormed(std::mt19937& random) {
    std::string out;
    const auto randomString = [&] {
        std::string text(random() % 40, '\0');
        for (char& c : text) c = static_cast<char>(random());
        appendInt32(out, static_cast<uint32_t>(text.size()));
        out += text;
    };
    for (unsigned fields = random() % 12; fields > 0; --fields) {
        switch (random() % 3) {
            case 0: appendInt32(out, static_cast<uint32_t>(random())); break;
            case 1: randomString(); break;
            default: {
                const unsigned count = random() % 5;
                appendInt32(out, count);
                for (unsigned i = 0; i < count; ++i) randomString();
            }
        }
    }
    return out;
}

std::string mutated(std::string stream, std::mt19937& random) {
    static const uint32_t hostile[] = {0xFFFFFFFFu, 0x7FFFFFFFu, 0x80000000u, 0x04000000u, 0x00FFFFFFu};
    for (unsigned edits = 1 + random() % 3; edits > 0 && !stream.empty(); --edits) {
        const size_t at = random() % stream.size();
        switch (random() % 4) {
            case 0: stream[at] = static_cast<char>(random()); break;
            case 1: stream.resize(at); break;
            case 2: stream.insert(at, 1 + random() % 8, static_cast<char>(random())); break;
            default: {
                std::string length;
                appendInt32(length, hostile[random() % 5]);
                stream.replace(at, std::min<size_t>(4, stream.size() - at), length);
            }
        }
    }
    return stream;
}

TEST(DdpUnitFuzz, RandomAndMutatedStreamsEndInARefusalOrEndOfStream) {
    std::mt19937 random(1409);  // fixed: a failure can be replayed
    auto runner = velka::ipc::io_service_runner_t::create();
    const long before = vktest::peakRssKiB();
    for (int round = 0; round < 3000; ++round) {
        std::string stream;
        if (round % 3 == 0) {
            stream.resize(random() % 64);
            for (char& c : stream) c = static_cast<char>(random());
        } else {
            stream = mutated(wellFormed(random), random);
        }
        vktest::RawPeer peer(runner);
        peer.write(stream);
        peer.closePeer();
        VkDdpUnit unit;
        unit.SetConnection(peer.endpoint());
        unit.SetDeadline(velka::base::VkDeadline(velka::base::VkTimeout(2, velka::base::VkTimeout::Seconds)));
        std::vector<std::string> values;
        try {
            for (;;) {
                switch (random() % 6) {
                    case 0: unit.GetInt32(); break;
                    case 1: unit.GetInt64(); break;
                    case 2: unit.GetBool(); break;
                    case 3: unit.GetString(); break;
                    case 4: unit.GetString(16); break;
                    default: unit.GetVector(values);
                }
            }
        } catch (const velka::base::VkTimedOut& e) {
            ADD_FAILURE() << "round " << round << ": " << e.what();
        } catch (const velka::base::VkException&) {
            ASSERT_FALSE(peer.endpoint()->IsConnected()) << "round " << round;
        }
    }
    EXPECT_LT(vktest::peakRssKiB() - before, 16 * 1024);
}

}  // namespace
