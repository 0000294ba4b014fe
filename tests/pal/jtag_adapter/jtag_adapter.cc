// Stand-in JTAG adapter library: a register space kept in memory. Build
// variants make jtag_init fail (JTAG_ADAPTER_INIT_FAILS) or leave one entry
// point out (JTAG_ADAPTER_OMIT_<name>).
#include <cstdint>
#include <map>

namespace {
std::map<uint64_t, uint32_t> g_regs;

// Chain 10 with 32-bit words reaches the card; from 0xdead0000 up fails like an unreachable block.
bool reachable(int chain, uint64_t addr, int width) { return chain == 10 && width == 2 && addr < 0xdead0000; }
}  // namespace

extern "C" {

#ifndef JTAG_ADAPTER_OMIT_jtag_init
#ifdef JTAG_ADAPTER_INIT_FAILS
int jtag_init(int port) { return port == 0 ? 0 : 0x2a; }
#else
int jtag_init(int port) { return port >= 0 ? 0 : 1; }
#endif
#endif

#ifndef JTAG_ADAPTER_OMIT_jtag_reset
int jtag_reset(int chain) { return chain == 10 ? 0 : 1; }
#endif

#ifndef JTAG_ADAPTER_OMIT_jtag_enable
int jtag_enable(int chain) { return chain == 10 ? 0 : 1; }
#endif

#ifndef JTAG_ADAPTER_OMIT_set_asic_target
int set_asic_target(const char*) { return 0; }
#endif

#ifndef JTAG_ADAPTER_OMIT_jtag_rd
int jtag_rd(int chain, uint64_t addr, uint32_t* data, int width) {
    if (!reachable(chain, addr, width)) {
        return 1;
    }
    *data = g_regs[addr];
    return 0;
}
#endif

#ifndef JTAG_ADAPTER_OMIT_jtag_wr
int jtag_wr(int chain, uint64_t addr, uint32_t data, int width) {
    if (!reachable(chain, addr, width)) {
        return 1;
    }
    g_regs[addr] = data;
    return 0;
}
#endif

}  // extern "C"
