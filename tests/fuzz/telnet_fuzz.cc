// The telnet backend's console replies: the fuzzer plays the card's console
// over TCP. Whatever it says, a read ends (no hang, no crash); a reply holding
// "Read value" and a hex number yields that number, whatever noise surrounds it.
#include "logger/logger.hpp"
#include "sdk/lib/pal/pal.hpp"
#include "sdk/lib/pal/pal_telnet.hpp"
#include "tests/fuzz/fuzz_support.hpp"

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>

namespace {

using namespace sdk::lib;

constexpr const char *k_prompt = "ember:~$";
constexpr uint32_t k_max_words = 4;

fuzz_support::peer<std::string> *g_console = nullptr;

// Console noise that cannot be taken for the answer or the prompt.
std::string noise(FuzzedDataProvider &in) {
    std::string s = in.ConsumeRandomLengthString(200);
    std::replace_if(s.begin(), s.end(), [](char c) { return c == 'R' || c == '0' || c == 'e' || c == '\0'; }, '.');
    return s;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    logger_init(null_logger_cb_);
    uint16_t port = 0;
    const int fd = fuzz_support::listen_loopback(&port);
    FUZZ_CHECK(fd >= 0, "cannot listen on the loopback");
    // Each command line is answered with the next reply and the prompt.
    static fuzz_support::peer<std::string> console(fd, true, [](std::string_view got, auto &self) {
        std::string out;
        for (auto i = std::count(got.begin(), got.end(), '\n'); i > 0; --i) {
            out += self.next().value_or("") + k_prompt;
        }
        return out;
    });
    g_console = &console;
    pal_telnet_set_keepalive(std::chrono::hours(24), std::chrono::hours(24));
    ::setenv("PAL_TELNET_PORT", std::to_string(port).c_str(), 1);
    ::setenv("PAL_TELNET_IPADDR", "127.0.0.1", 1);
    FUZZ_CHECK(pal_init(sdk::platform::PLATFORM_TYPE_X86_64, nullptr) == PAL_RET_OK, "telnet backend did not start");
    // The session ends before the console does, as it would on a card.
    std::atexit([] { pal_teardown(sdk::platform::PLATFORM_TYPE_X86_64); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider in(data, size);
    const bool registers = in.ConsumeBool();
    const uint32_t count = in.ConsumeIntegralInRange<uint32_t>(1, k_max_words);
    std::deque<std::string> replies;
    std::vector<uint64_t> expected;
    for (uint32_t i = 0; i < count; ++i) {
        if (in.ConsumeBool()) {
            const uint64_t value = in.ConsumeIntegral<uint64_t>();
            char hex[24];
            std::snprintf(hex, sizeof(hex), in.ConsumeBool() ? "0x%llx" : "0X%llX", static_cast<unsigned long long>(value));
            replies.push_back(noise(in) + "Read value" + noise(in) + hex + "\r\n" + noise(in));
            expected.push_back(registers ? static_cast<uint32_t>(value) : static_cast<uint8_t>(value));
        } else {
            // Within one reply buffer, never holding the prompt (it would end the reply).
            replies.push_back(in.ConsumeRandomLengthString(900));
            for (size_t at; (at = replies.back().find(k_prompt)) != std::string::npos;) {
                replies.back().erase(at, 1);
            }
        }
    }
    g_console->load(std::move(replies));
    const uint64_t addr = in.ConsumeIntegral<uint32_t>();
    uint32_t words[k_max_words] = {};
    uint8_t bytes[k_max_words] = {};
    const pal_ret_t rc = registers ? pal_reg_read(addr, words, count) : pal_mem_read(addr, bytes, count, 0);
    const auto got = registers ? std::vector<uint64_t>(words, words + count) : std::vector<uint64_t>(bytes, bytes + count);
    FUZZ_CHECK(expected.size() < count || (rc == PAL_RET_OK && got == expected), "a well-formed read of %u items gave %d",
               count, static_cast<int>(rc));
    return 0;
}
