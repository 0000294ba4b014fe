// The talon-emu command line.
#include <csignal>
#include <cstring>
#include <iostream>
#include <optional>
#include <pthread.h>

#include "emulator/emulator.hpp"

namespace talon_emu {

namespace {

constexpr int k_exit_usage = 2;

const char *k_usage =
    "usage: talon-emu --root DIR [--cards N] [--ports N] [--lifs N] [--transport tawk|fwctl|both]\n"
    "       talon-emu --root DIR --ctl 'COMMAND'\n"
    "       talon-emu --help\n"
    "\n"
    "Serves emulated TALON cards under DIR until SIGINT or SIGTERM: DIR/sys (PCI sysfs),\n"
    "DIR/dev (device sockets), DIR/bin (lspci, setpci), DIR/env, DIR/cards.json, DIR/ready.\n"
    "Defaults: 1 card (1-16), 2 ports (0-11), 2 LIFs (1-64), both transports.\n"
    "\n"
    "Control commands (CARD: 0-based index or PCI address):\n"
    "  heartbeat CARD ok|fail|mismatch|replay\n"
    "  unplug CARD | plug CARD\n"
    "  add-lif CARD NAME | add-port CARD IFINDEX\n"
    "  set CARD lif|port INDEX COUNTER VALUE\n"
    "  rename-lif CARD INDEX NAME   (the LIF keeps its id and UUID)\n"
    "  replace CARD   (another card takes the slot: new serial, UUIDs and MAC, counters from 0)\n"
    "  platform CARD ok|setpci|map  (the card's platform start fails until ok: its\n"
    "    resource device's memory enable through setpci, or its resource map, refused)\n"
    "  rate CARD lif|port INDEX COUNTER PER_SECOND   (exact; 0 holds the counter still)\n"
    "  fault CARD COMMAND ok|status=N|transport=N|short|short=N\n"
    "    COMMAND: DEVICE_INFO HEARTBEAT PORT_IFINDEX_GET PORT_INFO_GET\n"
    "             P4_PORT_STATS_MEM_RE_INFO_GET LIF_GET_ALL\n"
    "    or a card-control command:\n"
    "             FRU_READ GET_SYSTEM_LED SYSTEM_SET_LED CPLD_SET_CARD_STATUS\n"
    "             WRITE_FW_VER_TO_CPLD CPLD_REV CPLD_ID CPLD_MINOR_REV CPLD_BOOT_STATUS\n"
    "             GET_RSTCAUSE GET_RST_EVENT GET_CPLD_REG SET_CPLD_REG FWSEL\n"
    "             READ_PIN READ_POUT1 READ_POUT2 READ_VIN READ_VOUT1 READ_VOUT2\n"
    "             READ_BOARD_TEMPERATURE READ_DIE_TEMPERATURE READ_HWTRIP_TEMP\n"
    "             QSFP_PSNT QSFP_IS_RESET QSFP_SET_PORT QSFP_RESET_PORT QSFP_SET_LPMODE\n"
    "             QSFP_RESET_LPMODE QSFP_SET_LED QSFP_READ QSFP_WRITE QSFP_DOM_READ\n"
    "             QSFP_WRITE_TEMP QSFP_SET_LINK_STATUS QSFP_POWER_ON QSFP_POWER_OFF\n"
    "             QSFP_IS_POWERED_UP QSFP_POWER_FAILURE QSFP_POWER_CTRL_PRESENT\n"
    "             QSFP_INTR_PENDING QSFP_INTR_CLEAR\n"
    "\n"
    "Card-control state (board controller, sensors, FRU, QSFP ports 1-2 with a\n"
    "256-byte module image each; reads answer 128 bytes per response):\n"
    "  cpld CARD id|rev|minor-rev|boot-status|rst-cause|rst-event VALUE\n"
    "  cpld CARD reg REG VALUE\n"
    "  sensor CARD pin|pout1|pout2|vin|vout1|vout2|board-temp|die-temp|hwtrip-temp VALUE\n"
    "  qsfp CARD PORT present|reset|lpmode|powered|power-fail|power-ctrl|intr-pending 0|1\n"
    "  qsfp CARD PORT byte OFFSET VALUE\n"
    "  show CARD cpld | show CARD qsfp PORT\n";

std::optional<unsigned> parse_count(const std::string &s)
{
    if (s.empty() || s.size() > 6 || s.find_first_not_of("0123456789") != std::string::npos) {
        return std::nullopt;
    }
    return static_cast<unsigned>(std::stoul(s));
}

int usage_error(const std::string &msg)
{
    std::cerr << "talon-emu: " << msg << "\n" << k_usage;
    return k_exit_usage;
}

}  // namespace

int emu_main(int argc, char **argv)
{
    config_s cfg;
    std::optional<std::string> ctl;
    std::vector<std::string> args(argv + 1, argv + argc);
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string &a = args[i];
        if (a == "--help" || a == "-h") {
            std::cout << k_usage;
            return 0;
        }
        if (a == "--tool") {
            if (i + 1 >= args.size()) {
                return usage_error("--tool needs a name");
            }
            return tool_main(cfg.root, args[i + 1], std::vector<std::string>(args.begin() + static_cast<long>(i) + 2, args.end()));
        }
        if (i + 1 >= args.size()) {
            return usage_error(a.rfind("--", 0) == 0 ? a + " needs a value" : "unexpected argument '" + a + "'");
        }
        const std::string &v = args[++i];
        if (a == "--root") {
            cfg.root = v;
        } else if (a == "--ctl") {
            ctl = v;
        } else if (a == "--transport") {
            if (v == "tawk") {
                cfg.transport = transport_e::tawk;
            } else if (v == "fwctl") {
                cfg.transport = transport_e::fwctl;
            } else if (v == "both") {
                cfg.transport = transport_e::both;
            } else {
                return usage_error("--transport must be tawk, fwctl or both");
            }
        } else if (a == "--cards" || a == "--ports" || a == "--lifs") {
            auto n = parse_count(v);
            if (!n) {
                return usage_error(a + " needs a number, not '" + v + "'");
            }
            (a == "--cards" ? cfg.cards : a == "--ports" ? cfg.ports : cfg.lifs) = *n;
        } else {
            return usage_error("unknown option '" + a + "'");
        }
    }
    if (cfg.root.empty()) {
        return usage_error("--root DIR is required");
    }
    if (ctl) {
        std::string answer;
        bool ok = control(cfg.root, *ctl, &answer);
        (ok ? std::cout : std::cerr) << (ok ? "" : "talon-emu: ") << answer << "\n";
        return ok ? 0 : 1;
    }
    if (std::string err = validate_config(cfg); !err.empty()) {
        return usage_error(err);
    }

    // Every thread inherits the blocked set; the main thread takes the
    // signals synchronously.
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    emulator emu(cfg);
    try {
        emu.start();
    } catch (const std::exception &e) {
        std::cerr << "talon-emu: " << e.what() << "\n";
        return 1;
    }
    int sig = 0;
    while (sigwait(&set, &sig) != 0) {
    }
    emu.stop();
    return 0;
}

}  // namespace talon_emu
