#include <gtest/gtest.h>

#include <climits>
#include <cstring>

#include "tests/storage/StorageFixture.h"
#include "tests/support/ControllerCommands.h"

namespace {

Bytes memoryBytes(unsigned short value) {
    Bytes bytes(2);
    std::memcpy(bytes.data(), &value, 2);
    return bytes;
}

}  // namespace

TEST(VeskPartInfo, CatalogueRowsAreBuiltAtLoad) {
    struct Row {
        int index;
        const char* name;
        const char* label;
        unsigned short sizeMB;
        unsigned long long sizeBytes;
        unsigned typeCode;
        unsigned char flagByte;
        const char* generation;
    };
    const Row rows[] = {
        {0, "Reserved", "SECUPD", 0, 0, 0, 1, "N/A"},
        {1, "UEFI", "VSK001", 25, 26214400, 1, 1, "Mk11"},
        {2, "Service_Diags", "VSK002", 15, 15728640, 2, 1, "Mk11"},
        {3, "ELI", "VSK003", 100, 104857600, 3, 1, "Mk11"},
        {5, "WinPE", "VSK005", 200, 209715200, 1, 1, "Mk11"},
        {20, "Reserved", "VSK020", 0, 0, 0, 1, "N/A"},
        {21, "DriverStore", "VSK021", 150, 157286400, 1, 0, "Mk11"},
        {23, "OrbeLog", "VSK023", 2, 2097152, 1, 0, "Mk11"},
        {24, "Reserved", "VSK024", 0, 0, 0, 0, "N/A"},
        {256, "Reserved", "VSK256", 0, 0, 0, 0, "N/A"},
    };
    for (const Row& expected : rows) {
        SCOPED_TRACE(expected.index);
        const spartInfo& row = veskPartInfo[expected.index];
        EXPECT_EQ(expected.index, row.partIndex);
        EXPECT_EQ(expected.name, row.partName);
        EXPECT_EQ(1u, row.tableWord);
        EXPECT_EQ(expected.sizeMB, row.sizeMB);
        EXPECT_EQ(expected.label, row.partLabel);
        EXPECT_EQ(expected.typeCode, row.typeCode);
        EXPECT_EQ(expected.flagByte, row.flagByte);
        EXPECT_EQ(expected.generation, row.generation);
        EXPECT_EQ(expected.sizeBytes, row.sizeBytes);
    }
    EXPECT_EQ("SECUPD", dynDriveName);
}

TEST(VeskPartInfo, PartitionNumbersFromTexts) {
    EXPECT_EQ(0, GetPartNum(""));
    EXPECT_EQ(21, GetPartNum("21/dir/file"));
    EXPECT_EQ(12, GetPartNum("12/x"));
    EXPECT_EQ(7, GetPartNum("7"));
    EXPECT_EQ(0, GetPartNum("abc"));
    EXPECT_EQ(3, GetPartNum("3abc/x"));
    // A blank or a sign is not a digit.
    EXPECT_EQ(0, GetPartNum(" 12/x"));
    EXPECT_EQ(0, GetPartNum("-3/x"));
    EXPECT_EQ(0, GetPartNum("+4"));
    EXPECT_EQ(INT_MAX, GetPartNum("99999999999999999999999/x"));
}

TEST_F(StorageTest, PartitionIndexOfALabel) {
    secureVesk& vesk = layer();
    EXPECT_EQ(22, vesk.getPartIndex("VSK022"));
    EXPECT_EQ(0, vesk.getPartIndex("SECUPD"));
    EXPECT_EQ(0, vesk.getPartIndex("VSK02"));
    EXPECT_EQ(0, vesk.getPartIndex("VSK02X"));
    EXPECT_EQ(7, vesk.getPartIndex("ABC007"));
    EXPECT_EQ(1, vesk.getPartIndex("VSK001XYZ"));
    EXPECT_NE(std::string::npos, log().find(": AttachVeskPartition.cpp:"));
    EXPECT_NE(std::string::npos, log().find("QUIB info : PartName = [VSK02]"));
    EXPECT_NE(std::string::npos,
              log().find("QUIB error : PartName length is lesser than expected!!!"));
}

TEST_F(StorageTest, StaticPartitionsAndLabelsFillTheCatalogue) {
    controller.storage().addStatic(6, "XYZABC", 1048576);
    controller.storage().addStatic(7, "ABC999", 1048576);
    secureVesk& vesk = layerWithSession();
    Bytes handle = handleBytes();

    unsigned short bitmap = vesk.getPartIndexInfo();
    EXPECT_EQ(0x00FF, bitmap);
    EXPECT_EQ((std::vector<Bytes>{{0x03, handle[0], handle[1], 0x00, 0x00}}),
              controller.requestsFor(kIndexInfo));
    ASSERT_TRUE(vesk.getPartInfo(bitmap));

    std::vector<Bytes> sent = controller.requestsFor(kPartInfo);
    ASSERT_EQ(8u, sent.size());
    for (unsigned slot = 0; slot < 8; ++slot) {
        EXPECT_EQ(
            (Bytes{0x04, handle[0], handle[1], 0x00, static_cast<std::uint8_t>(slot), 0x00, 0x00}),
            sent[slot]);
    }
    const std::pair<int, int> rowsBySlot[] = {{1, 0}, {2, 1}, {3, 2}, {4, 3}, {21, 4}, {22, 5}};
    for (const auto& [row, slot] : rowsBySlot) {
        SCOPED_TRACE(row);
        EXPECT_EQ(1, veskPartInfo[row].present);
        EXPECT_EQ(memoryBytes(secureVesk::swapBytes(static_cast<unsigned short>(1u << slot))),
                  memoryBytes(veskPartInfo[row].attachMask));
    }
    EXPECT_EQ((Bytes{0x00, 0x20}), memoryBytes(veskPartInfo[22].attachMask));
    // Labels outside the standard change nothing; ABC999 lies beyond the rows.
    int presentRows = 0;
    for (const spartInfo& row : veskPartInfo) {
        presentRows += row.present;
    }
    EXPECT_EQ(6, presentRows);
    EXPECT_NE(std::string::npos,
              log().find("The partition name [XYZABC]is inconsistent with the standard."));
    EXPECT_NE(std::string::npos, log().find(": GetVeskInfo.cpp:"));

    // Bits above slot 7 are never asked about.
    controller.clearRecord();
    EXPECT_TRUE(vesk.getPartInfo(0xFF00));
    EXPECT_EQ(0u, controller.requestsFor(kPartInfo).size());
}

TEST_F(StorageTest, AbsentSlotIsSkipped) {
    secureVesk& vesk = layerWithSession();
    EXPECT_TRUE(vesk.getPartInfo(0x0081));  // slot 7 holds nothing
    EXPECT_EQ(7, controller.requestsFor(kPartInfo).back()[4]);
    EXPECT_EQ(1, veskPartInfo[1].present);
    EXPECT_NE(std::string::npos, log().find("ESM_STATUS_CMD_INVALID_INDEX"));
}

TEST_F(StorageTest, CatalogueQueriesNeedASession) {
    secureVesk& vesk = layer();
    vesk.session.staticPartBitmap = 0x0003;
    EXPECT_EQ(0, vesk.getPartIndexInfo());
    EXPECT_EQ(2, vesk.lastError);
    EXPECT_EQ(0, vesk.getDynPartIndexInfo());
    EXPECT_FALSE(vesk.getPartInfo(0x0001));
    EXPECT_FALSE(vesk.getDynPartInfo(0x0001));
    EXPECT_EQ(0u, controller.exchanges().size());
    EXPECT_NE(std::string::npos, log().find("VESK session not started"));
}

// The whole road of this layer: session, catalogue, a dynamic partition made
// and removed with the exact request bytes of the command table, session end.
TEST_F(StorageTest, DynamicPartitionRoundTrip) {
    secureVesk& vesk = layer();
    ASSERT_EQ(1, vesk.BeginVeskSessionExtended(1200));
    Bytes handle = handleBytes();
    ASSERT_TRUE(vesk.getPartInfo(vesk.getPartIndexInfo()));
    EXPECT_EQ(0, vesk.getDynPartIndexInfo());

    EXPECT_TRUE(vesk.getDynPartInfo(0));
    EXPECT_EQ(0u, controller.callCount(kPartInfo) - 6);

    // 40 units of 32 KiB labelled SECUPD.
    requestWithHandle();
    requestByte(IPMIReqBuf, 3) = 40;
    std::memcpy(&requestByte(IPMIReqBuf, 5), dynDriveName.data(), 6);
    requestByte(IPMIReqBuf, 11) = 0x40;
    ASSERT_EQ(0, vesk.IPMIRequest(0x07, &IPMIReqBuf, 14, 9));
    EXPECT_EQ((std::vector<Bytes>{
                  {0x07, handle[0], handle[1], 40, 0, 'S', 'E', 'C', 'U', 'P', 'D', 0x40}}),
              controller.requestsFor(kCreate));
    unsigned short dynamic = vesk.getDynPartIndexInfo();
    EXPECT_EQ(0x0001, dynamic);
    EXPECT_EQ(0x0001, controller.storage().dynamicBitmap());
    EXPECT_EQ(40u * 32768u, controller.storage().find(true, 0)->image.sizeBytes);

    controller.clearRecord();
    ASSERT_TRUE(vesk.getDynPartInfo(dynamic));
    EXPECT_EQ((std::vector<Bytes>{{0x04, handle[0], handle[1], 0x80, 0x00, 0x00, 0x00}}),
              controller.requestsFor(kPartInfo));
    EXPECT_EQ((Bytes{0x00, 0x01}), memoryBytes(veskPartInfo[0].attachMask));
    EXPECT_EQ(1, veskPartInfo[0].present);

    requestWithHandle();
    std::memcpy(&requestByte(IPMIReqBuf, 3), &veskPartInfo[0].attachMask, 2);
    ASSERT_EQ(0, vesk.IPMIRequest(0x08, &IPMIReqBuf, 11, 11));
    EXPECT_EQ(
        (std::vector<Bytes>{{0x08, handle[0], handle[1], 0x00, 0x01, 0x00, 0x00, 0x00, 0x00}}),
        controller.requestsFor(kDelete));
    EXPECT_EQ(0, vesk.getDynPartIndexInfo());
    EXPECT_EQ(0, controller.storage().dynamicBitmap());

    ASSERT_EQ(1, vesk.EndVeskSession());
    EXPECT_FALSE(controller.sessionOpen());
}

TEST_F(StorageTest, DynamicInfoQueriesTheLowestSlotOnly) {
    controller.storage().createDynamic("SECUPD", 32768, 0x40);
    controller.storage().createDynamic("SECUPD", 32768, 0x40);
    controller.storage().createDynamic("SECUPD", 32768, 0x40);
    secureVesk& vesk = layerWithSession();
    Bytes handle = handleBytes();
    EXPECT_TRUE(vesk.getDynPartInfo(0x06));
    EXPECT_EQ((std::vector<Bytes>{{0x04, handle[0], handle[1], 0x80, 0x01, 0x00, 0x00}}),
              controller.requestsFor(kPartInfo));
    EXPECT_EQ(secureVesk::swapBytes(0x0002), veskPartInfo[0].attachMask);
}
