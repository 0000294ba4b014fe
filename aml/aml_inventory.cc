#include "aml/aml_inventory.hpp"

#include "nic_ipc/nic_ipc_dev.hpp"

aml_status_e aml_card_get(aml_card_get_req_s *req, aml_card_get_rsp_s *rsp)
{
    // A card given by address has its details read once, by the validation.
    nic_ipc_card_info_s info{};
    bool info_read = false;
    aml_status_e st = aml_card_handle_validate(&req->handle, &info, &info_read);
    if (st != AML_STATUS_OK) {
        rsp->err_msg = aml_card_error_msg(&req->handle, "ERROR - Invalid card handle");
        return st;
    }
    rsp->err_msg.clear();
    rsp->bdf = req->handle.bdf;

    int err = info_read ? 0 : nic_ipc_get_card_info(req->handle.bdf.c_str(), &info);
    if (err != 0) {
        rsp->err_msg += "Failed to get card " + req->handle.bdf + " details, err " +
                        std::to_string(err) + "\n";
        return AML_STATUS_NOT_FOUND;
    }
    const nic_ipc_card_device_info_s &d = info.dev_info;
    if (d.present & CARD_DEV_RSC) {
        rsp->rsc_bdf = d.rsc_bdf;
    }
    if (d.present & CARD_DEV_TAWK) {
        rsp->tawk_bdf = d.tawk_bdf;
    }
    if (d.present & CARD_DEV_CORE) {
        rsp->core_bdf = d.core_bdf;
    }
    if (d.present & CARD_DEV_F1002) {
        rsp->f1002_bdf = d.f1002_bdf;
    }
    if (d.present & CARD_DEV_F1003) {
        rsp->f1003_bdf = d.f1003_bdf;
    }
    rsp->serial_num = info.serial;
    rsp->uuid = info.uuid;
    return AML_STATUS_OK;
}

aml_status_e aml_card_inventory_get(aml_card_inventory_get_req_s * /*req*/,
                                    aml_card_inventory_get_rsp_s *rsp)
{
    rsp->err_msg.clear();
    rsp->cards.clear();
    aml_status_e status = AML_STATUS_OK;

    char list[NIC_IPC_MAX_CARDS][NIC_IPC_BDF_SIZE] = {};
    const uint16_t device_id = nic_ipc_asic_pcie_device_id();
    int count = nic_ipc_card_pcie_devices(CARD_PCI_VENDOR_ID, device_id, list, NIC_IPC_MAX_CARDS);
    if (count < 0) {
        rsp->err_msg = "Failed to list HALDEN TALON cards (lspci), err " + std::to_string(count) + "\n";
        return AML_STATUS_OK;
    }
    for (int i = 0; i < count && i < NIC_IPC_MAX_CARDS; ++i) {
        aml_card_get_req_s req{};
        req.handle.bdf = list[i];
        aml_card_get_rsp_s card{};
        aml_status_e st = aml_card_get(&req, &card);
        if (st != AML_STATUS_OK) {
            rsp->err_msg = card.err_msg;
            status = st;
            continue;
        }
        rsp->cards.push_back(aml_card_handle_s{card.uuid, card.bdf});
    }
    return status;
}
