#include "monitor/stack_trace.hpp"

#include <cxxabi.h>
#include <execinfo.h>

#include <cstdlib>
#include <memory>
#include <string>

namespace {

constexpr int k_max_frames = 64;

}  // namespace

void print_stack_trace(std::FILE *out) {
    std::fprintf(out, "stack trace:\n");
    void *addresses[k_max_frames];
    int count = ::backtrace(addresses, k_max_frames);
    if (count == 0) {
        std::fprintf(out, "  <empty, possibly corrupt>\n");
        return;
    }
    std::unique_ptr<char *, decltype(&std::free)> symbols(::backtrace_symbols(addresses, count), &std::free);
    if (!symbols || count < 2) {
        return;
    }
    size_t name_size = 256;
    std::unique_ptr<char, decltype(&std::free)> name_buf(static_cast<char *>(std::malloc(name_size)), &std::free);
    for (int i = 1; i < count; ++i) {
        std::string line = symbols.get()[i];
        size_t begin_name = line.find('(');
        size_t end_offset = (begin_name == std::string::npos) ? std::string::npos : line.find(')', begin_name);
        size_t begin_offset =
            (end_offset == std::string::npos) ? std::string::npos : line.rfind('+', end_offset);
        if (begin_name == std::string::npos || end_offset == std::string::npos ||
            begin_offset == std::string::npos || begin_offset <= begin_name) {
            std::fprintf(out, "  %s\n", line.c_str());
            continue;
        }
        std::string module = line.substr(0, begin_name);
        std::string mangled = line.substr(begin_name + 1, begin_offset - begin_name - 1);
        std::string offset = line.substr(begin_offset + 1, end_offset - begin_offset - 1);
        int status = 0;
        char *demangled = abi::__cxa_demangle(mangled.c_str(), name_buf.get(), &name_size, &status);
        if (status == 0 && demangled != nullptr) {
            name_buf.release();
            name_buf.reset(demangled);  // the demangler may have grown the buffer
            std::fprintf(out, "  %s : %s+%s\n", module.c_str(), demangled, offset.c_str());
        } else {
            std::fprintf(out, "  %s : %s()+%s\n", module.c_str(), mangled.c_str(), offset.c_str());
        }
    }
}
