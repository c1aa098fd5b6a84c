#include <gtest/gtest.h>

#include "storage/OsType.h"
#include "tests/storage/StorageFixture.h"
#include "tests/support/ControllerCommands.h"

TEST_F(StorageTest, DropBoxSizesAreAskedInUnitsOf32KiB) {
    struct Case {
        std::uint64_t size;
        std::uint8_t lowUnits, highUnits;
        std::uint64_t granted;
    };
    const Case cases[] = {
        {1, 0x01, 0x00, 32768},
        {32769, 0x02, 0x00, 65536},
        {0x100000, 0x20, 0x00, 0x100000},
        {0x7FFF8000, 0xFF, 0xFF, 0x7FFF8000},
    };
    secureVesk& vesk = layerWithSession();
    controller.storage() = PartitionStore(8, 0);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.size);
        controller.clearRecord();
        std::uint64_t granted = 7;
        ASSERT_TRUE(vesk.CreateDropBox("SECUPD", c.size, &granted));
        EXPECT_EQ(c.granted, granted);
        Bytes handle = handleBytes();
        EXPECT_EQ((std::vector<Bytes>{{0x07, handle[0], handle[1], c.lowUnits, c.highUnits, 'S',
                                       'E', 'C', 'U', 'P', 'D', 0x40}}),
                  controller.requestsFor(kCreate));
        EXPECT_EQ(1, veskPartInfo[0].present);
        ASSERT_TRUE(vesk.DeleteDropBox(0));
        EXPECT_EQ(0, controller.storage().dynamicBitmap());
    }
}

TEST_F(StorageTest, DropBoxesOf2GiBAndMoreAreRefusedBeforeAnythingIsSent) {
    secureVesk& vesk = layerWithSession();
    for (std::uint64_t size : {0x80000000ull, 0x80000001ull, 0x100000000ull}) {
        std::uint64_t granted = 7;
        EXPECT_FALSE(vesk.CreateDropBox("SECUPD", size, &granted));
        EXPECT_EQ(0u, granted);
        EXPECT_EQ(QUIB_DROPBOX_TOO_LARGE, vesk.lastError);
    }
    EXPECT_TRUE(controller.exchanges().empty());
    EXPECT_NE(std::string::npos, log().find("QUIB size greater than 2GB"));
}

TEST_F(StorageTest, ADropBoxTheControllerDoesNotShowIsNotDeletedBlindly) {
    secureVesk& vesk = layerWithSession();
    // Created, yet the index answers keep showing no dynamic partition.
    controller.script().always(kIndexInfo, Behaviour::answer(Bytes(10, 0)));
    std::uint64_t granted = 7;
    EXPECT_FALSE(vesk.CreateDropBox("SECUPD", 0x100000, &granted));
    EXPECT_EQ(QUIB_NO_DYNAMIC_SLOT, vesk.lastError);
    EXPECT_EQ(0u, granted);
    EXPECT_EQ(0, veskPartInfo[0].attachMask);
    EXPECT_EQ(0u, controller.callCount(kDelete));
    // Left for the next start-up, which deletes it by name.
    EXPECT_EQ(0x0001, controller.storage().dynamicBitmap());
}

TEST_F(StorageTest, ADropBoxThatCannotBeIdentifiedIsDeletedByTheBitThatAppeared) {
    secureVesk& vesk = layerWithSession();
    controller.storage().createDynamic("OTHER1", 32768, 0x40);
    controller.script().always(kPartInfo, Behaviour::code(0xCC));
    std::uint64_t granted = 7;
    EXPECT_FALSE(vesk.CreateDropBox("SECUPD", 0x100000, &granted));
    EXPECT_EQ(QUIB_NO_DYNAMIC_SLOT, vesk.lastError);
    Bytes handle = handleBytes();
    // Slot 1 appeared; the delete of a failed creation has the creation's lengths.
    EXPECT_EQ((std::vector<Bytes>{{0x08, handle[0], handle[1], 0x00, 0x02, 0, 0, 0, 0, 0, 0, 0}}),
              controller.requestsFor(kDelete));
    EXPECT_EQ(0x0001, controller.storage().dynamicBitmap());
    EXPECT_NE(std::string::npos, log().find("Deleting created partition"));
}

TEST_F(StorageTest, DeletingADropBoxByRowOrByBitmap) {
    secureVesk& vesk = layerWithSession();
    controller.storage().createDynamic("SECUPD", 32768, 0x40);
    controller.storage().createDynamic("SECUPD", 32768, 0x40);
    controller.storage().createDynamic("SECUPD", 32768, 0x40);
    veskPartInfo[0].attachMask = 0x0100;  // slot 0, wire order
    ASSERT_TRUE(vesk.DeleteDropBox(0));
    ASSERT_TRUE(vesk.DeleteDropBox(0x0004));
    Bytes handle = handleBytes();
    EXPECT_EQ((std::vector<Bytes>{{0x08, handle[0], handle[1], 0x00, 0x01, 0, 0, 0, 0},
                                  {0x08, handle[0], handle[1], 0x00, 0x04, 0, 0, 0, 0}}),
              controller.requestsFor(kDelete));
    EXPECT_EQ(0x0002, controller.storage().dynamicBitmap());
    EXPECT_FALSE(vesk.DeleteDropBox(0x0008));
    EXPECT_EQ(QUIB_DELETE_PARTITION_FAILED, vesk.lastError);
}

TEST_F(StorageTest, PartitionOperationsNeedASession) {
    secureVesk& vesk = layer();
    std::uint64_t granted = 7;
    EXPECT_FALSE(vesk.CreateDropBox("SECUPD", 1, &granted));
    EXPECT_EQ(QUIB_NO_SESSION, vesk.lastError);
    EXPECT_EQ(0u, granted);
    vesk.lastError = 0;
    EXPECT_FALSE(vesk.DeleteDropBox(0));
    EXPECT_EQ(QUIB_NO_SESSION, vesk.lastError);
    vesk.lastError = 0;
    EXPECT_FALSE(vesk.AttachPartition(0, 0x0100, 0));
    EXPECT_EQ(QUIB_NO_SESSION, vesk.lastError);
    vesk.lastError = 0;
    EXPECT_FALSE(vesk.DetachPartition(0, 0x0100, 0, false));
    EXPECT_EQ(QUIB_NO_SESSION, vesk.lastError);
    vesk.lastError = 0;
    EXPECT_FALSE(vesk.DetachAll());
    EXPECT_EQ(QUIB_NO_SESSION, vesk.lastError);
    vesk.lastError = 0;
    EXPECT_FALSE(vesk.deleteDynPartWithName(0x0001, "SECUPD"));
    EXPECT_EQ(QUIB_NO_SESSION, vesk.lastError);
    EXPECT_TRUE(controller.exchanges().empty());
}

TEST_F(StorageTest, AnAttachWithoutMasksSendsOneCommandAndSettles) {
    secureVesk& vesk = layerWithSession();
    ASSERT_TRUE(vesk.AttachPartition(0, 0, 0));
    EXPECT_EQ(1u, controller.callCount(kAttach));
    EXPECT_EQ((std::vector<std::uint64_t>{10000}), longSleeps());
}

TEST_F(StorageTest, PartitionRowsAreCheckedBeforeAnythingIsSent) {
    secureVesk& vesk = layerWithSession();
    EXPECT_FALSE(vesk.DetachPartition(0x0100, 0, 300, false));
    EXPECT_EQ(QUIB_INVALID_PARTITION, vesk.lastError);
    EXPECT_FALSE(vesk.AttachPartition(0x0100, 0, 257));
    EXPECT_EQ(QUIB_INVALID_PARTITION, vesk.lastError);
    EXPECT_FALSE(vesk.AttachVeskPartition(-1));
    EXPECT_FALSE(vesk.AttachVeskPartition("VSK099"));  // not reported by the controller
    EXPECT_EQ(QUIB_INVALID_PARTITION, vesk.lastError);
    EXPECT_FALSE(vesk.DetachVeskPartition(400));
    EXPECT_EQ(QUIB_INVALID_PARTITION, vesk.lastError);
    EXPECT_EQ(0u, controller.callCount(kAttach) + controller.callCount(kDetach));
    // A dynamic detach does not look at the row.
    EXPECT_TRUE(vesk.DetachPartition(0, 0x0100, 300, false));
    EXPECT_EQ(1u, controller.callCount(kDetach));
}

TEST_F(StorageTest, BlockedUsbStorageStopsTheAttachForTheCaller) {
    secureVesk& vesk = layerWithSession();
    kernel.unloadModule("usb_storage");
    kernel.setModprobeFails("usb_storage", true);
    EXPECT_THROW(vesk.AttachPartition(0, 0x0100, 0), unsigned char);
    EXPECT_EQ(QUIB_USB_BLOCKLISTED, vesk.lastError);
    EXPECT_EQ(0u, controller.callCount(kAttach));
    veskPartInfo[0].present = 1;
    EXPECT_THROW(vesk.AttachVeskPartition(0), unsigned char);
    EXPECT_NE(std::string::npos, log().find("USB Blocklisted. Update failure"));
}
