#include "records/VMInfoStructs.h"

#include <gtest/gtest.h>

#include <cstring>
#include <new>

using namespace VMInfoStructs;

namespace {

TEST(VMInfoStructsDefaults, NewRecordsCarryTheLibraryDefaults) {
  SVMInfo vm;
  EXPECT_EQ(-1, vm.field42);
  EXPECT_EQ(-1, vm.field67);
  EXPECT_EQ(-1, vm.field50);
  EXPECT_EQ(-1, vm.field51);
  EXPECT_EQ(-1, vm.field52);
  EXPECT_EQ(-1, vm.field54);
  EXPECT_EQ(-1, vm.field55);
  EXPECT_EQ(99, vm.field63);
  EXPECT_TRUE(vm.snapshots.empty() && vm.disks.empty() && vm.controllers.empty() && vm.networkCards.empty());
  EXPECT_TRUE(vm.fileLayout.disks.empty() && vm.fileLayout.files.empty());
  EXPECT_TRUE(vm.options.empty() && vm.field80.empty() && vm.field83.empty() && vm.owners.empty());

  SDisk disk;
  EXPECT_EQ(512, disk.sectorSize);
  EXPECT_EQ(1, disk.backupType);
  EXPECT_EQ(1, disk.status);
  EXPECT_TRUE(disk.inActiveChain);
  EXPECT_EQ(-1, disk.field37);
  EXPECT_TRUE(disk.childDisks.empty());

  SDatastoreInfo datastore;
  EXPECT_TRUE(datastore.field01);
  SMountInfoFull mount;
  EXPECT_EQ(0, mount.opened);
  EXPECT_EQ(-1, mount.indexPosition);
  EXPECT_TRUE(mount.disks.empty());
  SHostInfo host;
  EXPECT_EQ(-1, host.field12);
  EXPECT_EQ(0, host.field34);
}

// Fields the library shows without a default must still read a defined value: a record the
// library only partly fills is read later by other code. Checked on storage that held garbage.
TEST(VMInfoStructsDefaults, FieldsWithoutLibraryDefaultAreValueInitialised) {
  alignas(SVMInfo) unsigned char vmStorage[sizeof(SVMInfo)];
  std::memset(vmStorage, 0xA5, sizeof(vmStorage));
  SVMInfo* vm = new (vmStorage) SVMInfo();
  EXPECT_EQ(0, vm->powerState);
  EXPECT_FALSE(vm->field60);
  EXPECT_EQ(0, vm->field62);
  EXPECT_EQ(0, vm->field64);
  EXPECT_FALSE(vm->field94);
  vm->~SVMInfo();

  alignas(SChildDisk) unsigned char childStorage[sizeof(SChildDisk)];
  std::memset(childStorage, 0xA5, sizeof(childStorage));
  SChildDisk* child = new (childStorage) SChildDisk();
  EXPECT_EQ(0, child->field02);
  EXPECT_EQ(0, child->field03);
  EXPECT_FALSE(child->field15);
  EXPECT_EQ(0, child->field23);
  EXPECT_FALSE(child->field26);
  child->~SChildDisk();

  alignas(SVMNetworkCard) unsigned char cardStorage[sizeof(SVMNetworkCard)];
  std::memset(cardStorage, 0xA5, sizeof(cardStorage));
  SVMNetworkCard* card = new (cardStorage) SVMNetworkCard();
  EXPECT_FALSE(card->field08);
  EXPECT_EQ(0, card->field10);
  EXPECT_EQ(0, card->field15);
  EXPECT_FALSE(card->field19);
  card->~SVMNetworkCard();

  SDisk disk;
  EXPECT_FALSE(disk.referencePoint);
  SVMFile file;
  EXPECT_EQ(0, file.field2);
  EXPECT_FALSE(file.field8);
  SHostNetworkAdapterInfo adapter;
  EXPECT_FALSE(adapter.field8);
  EXPECT_EQ(0, adapter.field9);
  SectorRange range;
  EXPECT_EQ(0u, range.first);
  EXPECT_EQ(0u, range.last);
}

SVMInfo SampleVM() {
  SVMInfo vm;
  vm.guid = "5029-aa";
  vm.host = "esx1";
  SDisk disk;
  disk.path = "[ds1] vm/vm.vmdk";
  disk.datastore = "ds1";
  SChildDisk child;
  child.field01 = "delta-1";
  disk.childDisks.push_back(child);
  vm.disks.push_back(disk);
  SSnapshot root;
  root.field2 = "root";
  SSnapshot leaf;
  leaf.field2 = "leaf";
  root.children.push_back(leaf);
  vm.snapshots.push_back(root);
  vm.fileLayout.files.resize(1);
  vm.fileLayout.files[0].field7["key"] = "value";
  vm.options.push_back(SVMOptionValue());
  vm.options[0].name = "option";
  return vm;
}

TEST(VMInfoStructsCopy, CopiesOwnTheirListsAndNestedRecords) {
  SVMInfo original = SampleVM();
  SVMInfo copy(original);
  copy.disks[0].childDisks[0].field01 = "changed";
  copy.disks[0].datastore = "ds9";
  copy.snapshots[0].children[0].field2 = "changed";
  copy.fileLayout.files[0].field7["key"] = "changed";
  copy.options[0].name = "changed";
  EXPECT_EQ("delta-1", original.disks[0].childDisks[0].field01);
  EXPECT_EQ("ds1", original.disks[0].datastore);
  EXPECT_EQ("leaf", original.snapshots[0].children[0].field2);
  EXPECT_EQ("value", original.fileLayout.files[0].field7["key"]);
  EXPECT_EQ("option", original.options[0].name);

  SHostInfo host;
  host.vms.push_back(original);
  host.datastores.resize(1);
  host.datastores[0].vms.push_back(original);
  SHostInfo assigned;
  assigned = host;
  assigned.vms[0].disks.clear();
  assigned.datastores[0].vms[0].guid = "other";
  EXPECT_EQ(1u, host.vms[0].disks.size());
  EXPECT_EQ("5029-aa", host.datastores[0].vms[0].guid);

  SVMInfo viaCopy;
  viaCopy._Copy(original);
  EXPECT_EQ("delta-1", viaCopy.disks[0].childDisks[0].field01);
  EXPECT_EQ(-1, viaCopy.field42);
}

TEST(VMInfoStructsCopy, CopyingARecordOntoItselfChangesNothing) {
  SVMInfo vm = SampleVM();
  SVMInfo& alias = vm;
  vm = alias;
  vm._Copy(alias);
  ASSERT_EQ(1u, vm.disks.size());
  EXPECT_EQ("delta-1", vm.disks[0].childDisks[0].field01);
  EXPECT_EQ("leaf", vm.snapshots[0].children[0].field2);

  SVMOptionValue option;
  option.name = "n";
  option.value = "v";
  SVMOptionValue moved(std::move(option));
  EXPECT_EQ("n", moved.name);
  EXPECT_EQ("v", moved.value);
}

TEST(VMInfoStructsCopy, SectorRangeTakesFirstThenLast) {
  SectorRange range(10, 20);
  EXPECT_EQ(10u, range.first);
  EXPECT_EQ(20u, range.last);
}

}  // namespace
