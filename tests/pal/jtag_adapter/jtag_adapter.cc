// Stand-in JTAG adapter library: a register space kept in memory. Build
// variants leave one entry point out (JTAG_ADAPTER_OMIT_<name>).
#include <cstdint>
#include <map>

namespace {
std::map<uint64_t, uint32_t> g_regs;

// Chain 10 with 32-bit words reaches the card; from 0xdead0000 up fails like an unreachable block.
bool reachable(int chain, uint64_t addr, int width) { return chain == 10 && width == 2 && addr < 0xdead0000; }
}  // namespace

extern "C" {

#ifndef JTAG_ADAPTER_OMIT_jtag_init
int jtag_init(int port) { return port >= 0 ? 0 : 1; }
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
    return reachable(chain, addr, width) ? (*data = g_regs[addr], 0) : 1;
}
#endif
#ifndef JTAG_ADAPTER_OMIT_jtag_wr
int jtag_wr(int chain, uint64_t addr, uint32_t data, int width) {
    return reachable(chain, addr, width) ? (g_regs[addr] = data, 0) : 1;
}
#endif

}  // extern "C"
