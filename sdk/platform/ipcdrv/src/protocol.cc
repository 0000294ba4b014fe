#include "sdk/platform/ipcdrv/src/protocol.hpp"

#include <cstdio>
#include <cstdlib>

namespace {

constexpr uint64_t k_type_mask = 0x7;
constexpr unsigned k_tag_shift = 8;
constexpr unsigned k_pld_len_shift = 16;
constexpr unsigned k_word_shift = 32;

[[noreturn]] void hdr_type_fault(const char *fmt, uint32_t type, const char *accessor)
{
    std::fprintf(stderr, fmt, type);
    std::fprintf(stderr, "\n%s: %s: assertion failed: header type\n",
                 "sdk/platform/ipcdrv/src/protocol", accessor);
    std::fflush(stderr);
    std::abort();
}

bool is_req_or_rsp(uint32_t type)
{
    return type == IPC_DRV_HDR_TYPE_REQ || type == IPC_DRV_HDR_TYPE_RSP;
}

// Aborts with the field's message unless the header's type carries the field.
void require_type(uint64_t hdr, bool (*carries)(uint32_t), const char *fmt, const char *accessor)
{
    uint32_t type = static_cast<uint32_t>(hdr & k_type_mask);
    if (!carries(type)) {
        hdr_type_fault(fmt, type, accessor);
    }
}

bool is_req(uint32_t type)
{
    return type == IPC_DRV_HDR_TYPE_REQ;
}

bool is_rsp(uint32_t type)
{
    return type == IPC_DRV_HDR_TYPE_RSP;
}

void set_bits(uint64_t *hdr, unsigned shift, uint64_t width_mask, uint64_t value)
{
    *hdr = (*hdr & ~(width_mask << shift)) | ((value & width_mask) << shift);
}

}  // namespace

uint32_t ipc_drv_hdr_get_type(uint64_t hdr)
{
    return static_cast<uint32_t>(hdr & k_type_mask);
}

void ipc_drv_hdr_set_type(uint64_t *hdr, uint32_t type)
{
    if (!is_req_or_rsp(type)) {
        hdr_type_fault("undefined hdr_type: %u", type, __func__);
    }
    set_bits(hdr, 0, k_type_mask, type);
}

uint8_t ipc_drv_hdr_get_tag(uint64_t hdr)
{
    require_type(hdr, is_req_or_rsp, "invalid hdr_type for tag field: %u", __func__);
    return static_cast<uint8_t>(hdr >> k_tag_shift);
}

void ipc_drv_hdr_set_tag(uint64_t *hdr, uint8_t tag)
{
    require_type(*hdr, is_req_or_rsp, "invalid hdr_type for tag field: %u", __func__);
    set_bits(hdr, k_tag_shift, 0xFF, tag);
}

uint16_t ipc_drv_hdr_get_pld_len(uint64_t hdr)
{
    require_type(hdr, is_req_or_rsp, "invalid hdr_type for pld len: %u", __func__);
    return static_cast<uint16_t>(hdr >> k_pld_len_shift);
}

void ipc_drv_hdr_set_pld_len(uint64_t *hdr, uint16_t len)
{
    require_type(*hdr, is_req_or_rsp, "invalid hdr_type for pld len: %u", __func__);
    set_bits(hdr, k_pld_len_shift, 0xFFFF, len);
}

uint32_t ipc_drv_hdr_get_req_endpoint(uint64_t hdr)
{
    require_type(hdr, is_req, "invalid hdr_type for endpoint field: %u", __func__);
    return static_cast<uint32_t>(hdr >> k_word_shift);
}

void ipc_drv_hdr_set_req_endpoint(uint64_t *hdr, uint32_t ep)
{
    require_type(*hdr, is_req, "invalid hdr_type for endpoint field: %u", __func__);
    set_bits(hdr, k_word_shift, 0xFFFFFFFFull, ep);
}

uint32_t ipc_drv_hdr_get_rsp_errno(uint64_t hdr)
{
    require_type(hdr, is_rsp, "invalid hdr_type for errno field: %u", __func__);
    return static_cast<uint32_t>(hdr >> k_word_shift);
}

void ipc_drv_hdr_set_rsp_errno(uint64_t *hdr, uint32_t err)
{
    require_type(*hdr, is_rsp, "invalid hdr_type for errno field: %u", __func__);
    set_bits(hdr, k_word_shift, 0xFFFFFFFFull, err);
}
