#include <filesystem>
#include <gtest/gtest.h>

#include "aml/aml_card.hpp"
#include "aml/aml_inventory.hpp"
#include "testkit/emu_env.hpp"
#include "testkit/process.hpp"

namespace fs = std::filesystem;
using namespace test_support;

// Card UUID of the emulator's serial TLN24000101.
const std::string k_uuid1 = "4242544c-4e32-3430-3030-313031000000";

// Codes outside the tables read as unknown and map to the generic error.
TEST(AmlStatus, CodesOutsideTheTables)
{
    EXPECT_EQ(aml_status_to_str(static_cast<aml_status_e>(22)), "Unknown error");
    for (uint32_t code : {12u, 64u, 300u}) {
        EXPECT_EQ(aml_to_sdk_ret_status(static_cast<aml_status_e>(code)), 255u) << code;
        EXPECT_EQ(sdk_ret_to_aml_status(static_cast<sdk::sdk_ret_t>(code)), 255u) << code;
    }
}

TEST(AmlInventory, ListsAndValidatesCardsWithTheirUuidsLeavingUnreadableOnesOut)
{
    emu_env emu(emu_cfg(3));
    auto check = [](aml_card_handle_s h, aml_status_e want) {
        EXPECT_EQ(aml_card_handle_validate(&h), want) << h.uuid << " / " << h.bdf;
        return h;
    };
    check({"not-a-uuid", "0000:05:00.0"}, AML_STATUS_INVALID_INPUT);
    // Address only: the UUID is filled from the card; UUID only (either case): the address is looked up.
    EXPECT_EQ(check({"", "0000:15:00.0"}, AML_STATUS_OK).uuid, k_uuid1);
    EXPECT_EQ(check({"4242544C-4E32-3430-3030-313031000000", ""}, AML_STATUS_OK).bdf, "0000:15:00.0");
    check({"42424142-4344-4546-4748-494a4b000000", ""}, AML_STATUS_GENERIC_ERR);
    // Malformed addresses are refused before any look-up; a well-formed one
    // (capitals and a hex function digit) is looked up and not found.
    for (const char *bad : {"0000:3b:00x0", "3b:00.0", "0000:3b:00.10", "0000:3b:00.0\n"}) {
        check({"", bad}, AML_STATUS_INVALID_INPUT);
    }
    check({"", "0000:3B:00.f"}, AML_STATUS_GENERIC_ERR);

    aml_card_inventory_get_req_s req;
    aml_card_inventory_get_rsp_s rsp;
    ASSERT_EQ(aml_card_inventory_get(&req, &rsp), AML_STATUS_OK);
    EXPECT_EQ(rsp.err_msg, "");
    ASSERT_EQ(rsp.cards.size(), 3u);
    EXPECT_EQ(rsp.cards[1], (aml_card_handle_s{k_uuid1, "0000:15:00.0"}));
    aml_card_get_req_s greq{{"", "0000:15:00.0"}};
    aml_card_get_rsp_s grsp;
    ASSERT_EQ(aml_card_get(&greq, &grsp), AML_STATUS_OK);
    EXPECT_EQ(grsp.serial_num, "TLN24000101");

    // Cards whose functions carry no serial number cannot be identified.
    for (const char *fn : {".0", ".1", ".2"}) {
        fs::remove(emu.sys_devices() + "0000:16:00" + fn + "/vpd");
    }
    rsp = {};
    EXPECT_EQ(aml_card_inventory_get(&req, &rsp), AML_STATUS_GENERIC_ERR);
    ASSERT_EQ(rsp.cards.size(), 2u);
    EXPECT_EQ(rsp.cards[0].bdf + " " + rsp.cards[1].bdf, "0000:05:00.0 0000:25:00.0");
    EXPECT_NE(rsp.err_msg.find("0000:15:00.0"), std::string::npos) << rsp.err_msg;
    // A listing that fails is never used as a count; the reason is given.
    {
        temp_dir bin;
        write_file(bin / "lspci", "#!/bin/sh\necho '0000:05:00.0 0604: 1ff7:1478'\nexit 1\n");
        fs::permissions(bin / "lspci", fs::perms::owner_all);
        scoped_env path("PATH", bin.path() + ":/usr/bin:/bin");
        rsp = {};
        EXPECT_EQ(aml_card_inventory_get(&req, &rsp), AML_STATUS_OK);
        EXPECT_TRUE(rsp.cards.empty());
        EXPECT_NE(rsp.err_msg.find("Failed to list"), std::string::npos) << rsp.err_msg;
    }
    // No card left: an empty list and no error.
    for (const char *card : {"0", "1", "2"}) {
        emu.ctl(std::string("unplug ") + card);
    }
    rsp = {};
    EXPECT_EQ(aml_card_inventory_get(&req, &rsp), AML_STATUS_OK);
    EXPECT_TRUE(rsp.cards.empty() && rsp.err_msg.empty());
}
