#include "inventory/InventoryDocument.h"

#include <gtest/gtest.h>

TEST(InventoryDocument, EntryWriterConcatenatesTheFragments) {
    EXPECT_EQ(
        "<Device componentID=\"101\" display=\"Controller\" AgentID=\"3\">\n"
        "<Application componentType=\"FRMW\" version=\"2.10\" display=\"Controller\"/>\n"
        "</Device>",
        WriteDeviceEntry("101", "Controller", "FRMW", "2.10"));
}

TEST(InventoryDocument, WrapperChoosesTheStatusBlock) {
    const std::string head =
        "<?xml version=\"1.0\" encoding=\"UTF-8\" ?><SVMInventory lang=\"en\">";
    const std::string pass =
        "<SPStatus result = \"true\"><Message id=\"0\"> Inventory Success </Message></SPStatus>";
    const std::string fail =
        "<SPStatus result = \"false\"><Message id=\"1\"> Inventory Failure: why</Message>"
        "</SPStatus>";
    const struct {
        int mode;
        int veskType;
        unsigned char lastError;
        std::string status;
    } cases[] = {
        {0, 1, 0, pass}, {1, 2, 0, fail},  {2, 1, 0, ""},    {0, 0, 0, ""},
        {1, 0, 0, ""},   {0, 0, 15, fail}, {0, 3, 16, fail},
    };
    for (const auto& each : cases) {
        std::stringstream entries;
        entries << "<Device/>";
        EXPECT_EQ(head + "<Device/>" + each.status + "</SVMInventory>",
                  GetInventoryXmlToString(entries, each.mode, "why", each.veskType, each.lastError))
            << each.mode << " " << each.veskType << " " << int(each.lastError);
    }
}
