// The emulator's life: configuration, start, the counter thread and stop.
#include "emulator/emulator.hpp"

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <sys/eventfd.h>
#include <unistd.h>

#include "emulator/emu_impl.hpp"
#include "emulator/emu_files.hpp"
#include "emulator/emu_socket.hpp"
#include "emulator/emu_text.hpp"

namespace talon_emu {

namespace {

constexpr uint64_t k_micros_per_second = 1000000;

// This executable when it is talon-emu, else the one built with this library.
std::string default_tool_exe()
{
    std::error_code ec;
    fs::path self = fs::read_symlink("/proc/self/exe", ec);
    if (!ec && self.filename() == "talon-emu") {
        return self.string();
    }
    return TALON_EMU_EXE;
}

}  // namespace

card_s *emulator::impl::find_card(const std::string &id)
{
    if (auto n = parse_number(id); n && id.find(':') == std::string::npos) {
        return *n < cards.size() ? &cards[*n] : nullptr;
    }
    for (card_s &c : cards) {
        if (c.addr() == id) {
            return &c;
        }
    }
    return nullptr;
}

void emulator::impl::counter_loop()
{
    std::unique_lock lk(mtx);
    while (!stopping) {
        cv.wait_for(lk, std::chrono::milliseconds(k_counter_period_ms));
        const auto now = std::chrono::steady_clock::now();
        for (card_s &c : cards) {
            for (const counter_s &k : c.counters) {
                std::atomic_ref<uint64_t> v(*mem_word(c.mem, k.offset));
                if (k.timed) {
                    const auto us = std::chrono::duration_cast<std::chrono::microseconds>(now - k.since).count();
                    const auto grown = static_cast<unsigned __int128>(k.per_second) * static_cast<uint64_t>(us) /
                                       k_micros_per_second;
                    v.store(k.base + static_cast<uint64_t>(grown), std::memory_order_relaxed);
                } else if (!k.fixed) {
                    v.store(v.load(std::memory_order_relaxed) + k.rate, std::memory_order_relaxed);
                }
            }
        }
    }
}

emulator::emulator(config_s cfg) : impl_(std::make_unique<impl>())
{
    impl_->cfg = std::move(cfg);
}

emulator::~emulator()
{
    stop();
}

const config_s &emulator::config() const
{
    return impl_->cfg;
}

std::string emulator::card_bdf(unsigned index)
{
    return bdf_text(k_first_bus + index * k_bus_stride, 0, 0);
}

std::string validate_config(const config_s &cfg)
{
    if (cfg.root.empty()) {
        return "--root DIR is required";
    }
    if (cfg.cards < k_min_cards || cfg.cards > k_max_cards) {
        return "--cards must be between " + std::to_string(k_min_cards) + " and " + std::to_string(k_max_cards);
    }
    if (cfg.ports > k_max_ports) {
        return "--ports must be between " + std::to_string(k_min_ports) + " and " + std::to_string(k_max_ports);
    }
    if (cfg.lifs < k_min_lifs || cfg.lifs > k_max_lifs) {
        return "--lifs must be between " + std::to_string(k_min_lifs) + " and " + std::to_string(k_max_lifs);
    }
    return {};
}

void emulator::start()
{
    impl &m = *impl_;
    if (m.started) {
        return;
    }
    if (std::string err = validate_config(m.cfg); !err.empty()) {
        throw std::runtime_error(err);
    }
    m.root = fs::absolute(m.cfg.root).lexically_normal();
    if (m.cfg.tool_exe.empty()) {
        m.cfg.tool_exe = default_tool_exe();
    }
    // Refuse to take over a directory another emulator is serving.
    if (fs::exists(m.root / k_ctl_socket)) {
        std::string answer;
        if (control(m.root.string(), "ping", &answer) || answer.rfind("unknown command", 0) == 0) {
            throw std::runtime_error("an emulator is already serving " + m.root.string());
        }
    }
    m.build_cards();
    m.wake = unique_fd(::eventfd(0, EFD_CLOEXEC));
    try {
        m.layout();
    } catch (const std::filesystem::filesystem_error &e) {
        throw std::runtime_error(e.what());
    }
    m.stopping = false;
    m.counter_thread = std::thread([&m] { m.counter_loop(); });
    m.io_thread = std::thread([&m] { m.io_loop(); });
    m.started = true;
    write_file(m.root / "ready", std::to_string(::getpid()) + "\n");
}

void emulator::stop()
{
    impl &m = *impl_;
    if (!m.started) {
        return;
    }
    {
        std::lock_guard lk(m.mtx);
        m.stopping = true;
    }
    m.cv.notify_all();
    uint64_t one = 1;
    (void)!::write(m.wake.get(), &one, sizeof(one));
    m.io_thread.join();
    m.counter_thread.join();
    m.remove_sockets();
    m.started = false;
}

}  // namespace talon_emu
