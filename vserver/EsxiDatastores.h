#pragma once

#include "vserver/PartitionPresenter.h"

class VirtualServer;

// ESXi mounts a presented FAT volume by itself as the datastore
// /vmfs/volumes/<label>: this presentation shows the volume's files there
// while the partition is attached and writes them back when it is withdrawn.
// It passes every presentation on to the USB disks behind it.
class EsxiDatastores : public PartitionPresenter {
public:
    EsxiDatastores(VirtualServer& server, PartitionPresenter& disks)
        : server_(server), disks_(disks) {}

    void present(const PartitionImage& image) override;
    void withdraw(const PartitionImage& image) override;
    // The host writes a datastore's files, which are the mirror's.
    bool writesThroughMirror() const override { return true; }

private:
    VirtualServer& server_;
    PartitionPresenter& disks_;
};
