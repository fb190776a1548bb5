// Random and mutated byte streams fed to the data unit's readers end in a
// VkException, never a crash, an allocation failure or a large allocation,
// and a failed read leaves the connection not connected.
#include <random>

#include <gtest/gtest.h>

#include "base/vk_exception.h"
#include "ipc/raw_peer.h"
#include "ipc/transport/ddp_unit.h"

namespace {

void appendInt32(std::string& out, uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) out += static_cast<char>(value >> shift);
}

// Well-formed int32s and counted strings written by hand, then edited:
// bytes changed, cut, inserted, or a hostile count written over.
std::string stream(std::mt19937& random) {
    std::string out;
    for (unsigned fields = random() % 16; fields > 0; --fields) {
        const uint32_t length = random() % 40;
        appendInt32(out, random() % 3 ? length : random() % 4);
        if (random() % 2) out += std::string(length, static_cast<char>(random()));
    }
    static const uint32_t hostile[] = {0xFFFFFFFFu, 0x7FFFFFFFu, 0x80000000u, 0x04000000u, 0x00FFFFFFu};
    for (unsigned edits = random() % 4; edits > 0 && !out.empty(); --edits) {
        const size_t at = random() % out.size();
        switch (random() % 4) {
            case 0: out[at] = static_cast<char>(random()); break;
            case 1: out.resize(at); break;
            case 2: out.insert(at, 1 + random() % 8, static_cast<char>(random())); break;
            default: {
                std::string count;
                appendInt32(count, hostile[random() % 5]);
                out.replace(at, 4, count);
            }
        }
    }
    return out;
}

TEST(DdpUnitFuzz, RandomAndMutatedStreamsEndInARefusalOrEndOfStream) {
    std::mt19937 random(1409);  // fixed: a failure can be replayed
    auto runner = velka::ipc::io_service_runner_t::create();
    // Memory is checked round by round: freed read steps that a sanitizer
    // keeps in quarantine add up, one large allocation stands out.
    long peak = vktest::peakRssKiB();
    for (int round = 0; round < 3000; ++round) {
        vktest::RawPeer peer(runner);
        peer.write(stream(random));
        peer.closePeer();
        velka::ipc::VkDdpUnit unit;
        unit.SetConnection(peer.endpoint());
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
        } catch (const velka::base::VkException&) {
            ASSERT_FALSE(peer.endpoint()->IsConnected()) << "round " << round;
        }
        ASSERT_LT(vktest::peakRssKiB() - peak, 16 * 1024) << "round " << round;
        peak = vktest::peakRssKiB();
    }
}

}  // namespace
