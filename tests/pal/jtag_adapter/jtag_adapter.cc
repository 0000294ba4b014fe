// Stand-in JTAG adapter library: a register space kept in memory. Build
// variants make jtag_init fail (JTAG_ADAPTER_INIT_FAILS) or leave one entry
// point out (JTAG_ADAPTER_OMIT_<name>).
#include <cstdint>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>

namespace {
std::mutex g_mutex;
std::map<uint64_t, uint32_t> g_regs;
std::string g_target;
}  // namespace

extern "C" {

#ifndef JTAG_ADAPTER_OMIT_jtag_init
int jtag_init(int port) {
#ifdef JTAG_ADAPTER_INIT_FAILS
    return port == 0 ? 0 : 0x2a;
#else
    return port >= 0 ? 0 : 1;
#endif
}
#endif

#ifndef JTAG_ADAPTER_OMIT_jtag_reset
int jtag_reset(int chain) { return chain == 10 ? 0 : 1; }
#endif

#ifndef JTAG_ADAPTER_OMIT_jtag_enable
int jtag_enable(int chain) { return chain == 10 ? 0 : 1; }
#endif

#ifndef JTAG_ADAPTER_OMIT_set_asic_target
int set_asic_target(const char* target) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_target = target != nullptr ? target : "";
    return 0;
}
#endif

#ifndef JTAG_ADAPTER_OMIT_jtag_rd
// Address 0xdead0000 and above fail, like an unreachable block.
int jtag_rd(int chain, uint64_t addr, uint32_t* data, int width) {
    if (chain != 10 || width != 2 || addr >= 0xdead0000) {
        return 1;
    }
    std::lock_guard<std::mutex> lock(g_mutex);
    auto it = g_regs.find(addr);
    *data = it != g_regs.end() ? it->second : 0;
    return 0;
}
#endif

#ifndef JTAG_ADAPTER_OMIT_jtag_wr
int jtag_wr(int chain, uint64_t addr, uint32_t data, int width) {
    if (chain != 10 || width != 2 || addr >= 0xdead0000) {
        return 1;
    }
    std::lock_guard<std::mutex> lock(g_mutex);
    g_regs[addr] = data;
    return 0;
}
#endif

// Lets tests see what the backend selected.
const char* jtag_adapter_target() { return g_target.c_str(); }

}  // extern "C"
