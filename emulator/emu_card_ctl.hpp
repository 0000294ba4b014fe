// The card-control side of an emulated card's firmware: board controller
// (CPLD) values and registers, board sensors, the FRU, firmware select, and
// the QSFP cages with a 256-byte module image each. It answers the
// card-control endpoints and the control verbs that inspect or change that
// state or inject faults into its commands.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "sdk/platform/pal/include/card_cmd_wire.hpp"

namespace talon_emu {

// QSFP cages per card; ports are numbered from 1.
inline constexpr unsigned k_qsfp_cages = 2;
// Data bytes one read response carries; longer reads continue with "more
// data follows".
inline constexpr uint32_t k_qsfp_read_chunk = 128;
inline constexpr size_t k_fru_size = 2048;
inline constexpr size_t k_cpld_regs = 256;

// A fault injected into the answers of one firmware command.
enum class fault_e { ok, status, transport, short_rsp };
struct fault_s {
    fault_e mode = fault_e::ok;
    uint32_t value = 0;
};
// Applies `f` to an answer whose first word is its status.
void apply_fault(const fault_s &f, std::vector<uint8_t> *rsp, uint32_t *transport);

class card_ctl {
public:
    card_ctl() = default;
    card_ctl(unsigned card_index, const std::string &serial);

    static bool serves(uint32_t ep);
    // Builds the response of one card-control command.
    void answer(uint32_t ep, uint32_t op, const uint8_t *req, size_t req_len, uint32_t *transport,
                std::vector<uint8_t> *rsp);

    // The control verbs this state adds (cpld, sensor, qsfp, show).
    static bool is_verb(const std::string &verb);
    // Runs one of them; w[0] is the verb and w[1] the card (already found),
    // `addr` the card's address for the answer.
    std::string command(const std::vector<std::string> &w, const std::string &addr, bool *ok);

    // Fault names of the card-control commands (FRU_READ, QSFP_READ, ...).
    static bool is_command_name(const std::string &name);
    static std::string command_names();
    void set_fault(const std::string &name, const fault_s &fault);

private:
    struct cage_s {
        bool present = true;
        bool reset = false;
        bool lpmode = false;
        bool powered = true;
        bool power_fail = false;
        bool power_ctrl = true;
        bool intr_pending = false;
        uint8_t led_colour = 0;
        uint8_t led_freq = 0;
        uint8_t temp = 0;
        uint8_t link = 0;
        std::array<uint8_t, pal_card_wire::k_qsfp_image_size> image{};
    };

    uint32_t cpld_cmd(uint32_t op, const uint8_t *req, size_t req_len, std::vector<uint8_t> *rsp);
    uint32_t qsfp_cmd(uint32_t op, const uint8_t *req, size_t req_len, std::vector<uint8_t> *rsp);
    std::string show(const std::vector<std::string> &w, const std::string &addr, bool *ok) const;

    uint32_t cpld_id_ = 101;
    uint32_t cpld_rev_ = 5;
    uint32_t cpld_minor_rev_ = 2;
    uint32_t boot_status_ = 1;
    uint32_t rst_cause_ = 5;
    uint32_t rst_event_ = 1u << 9;  // AC power cycle
    uint8_t sys_led_a_ = 0;
    uint8_t sys_led_b_ = 0;
    uint8_t card_status_ = 0;
    std::array<uint8_t, 4> fw_ver_{};
    uint32_t fwsel_ = 0;
    std::array<uint8_t, k_cpld_regs> regs_{};
    std::vector<uint8_t> fru_;
    std::array<uint32_t, pal_card_wire::k_sensor_count> sensors_{};
    std::array<cage_s, k_qsfp_cages> cages_{};
    std::vector<fault_s> faults_;
};

}  // namespace talon_emu
