// Serialising and parsing the wire form of a one-VM collect list, the message the coordinator
// sends for every VM it hands out, and loading a collect file of 10,000 VMs.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <memory>

#include "platform/msg/vsXMLFile.h"
#include "records/messages/VirtualServerMessages.h"

namespace {

using VirtualServer::SSHKeyDetails;
using VirtualServer::VMCollect;
using VirtualServer::VMCollectList;

// Every declared field of the VM set, nested credentials included. False when a field could not be
// written (the tables are not loaded, or a field changed).
bool MakeList(VMCollectList& list) {
  // As the process frame does at start; it also keeps the library that holds the tables linked.
  if (!Common::RegisterSubsystem() || !VirtualServer::RegisterSubsystem()) return false;
  CNMessageBase::ResetAccessErrorCount();
  VMCollect vm;
  vm.setstring(VMCollect::F_vmName, "web-frontend-01");
  vm.setstring(VMCollect::F_vmGuid, "502e1a9c-7d3f-4b8e-9a61-0c2f5e8d7b41");
  vm.setstring(VMCollect::F_vmHost, "esx-host-07.lab.local");
  vm.setstring(VMCollect::F_serverName, "vcenter-02.lab.local");
  vm.setstring(VMCollect::F_text17, "Windows Server 2019 <64-bit>");
  vm.setint64(VMCollect::F_vmClientId, 4211);
  vm.setint64(VMCollect::F_number22, 2);
  vm.setstring(VMCollect::F_datastore, "datastore-ssd-02");
  vm.setint64(VMCollect::F_clusterFlag, 1);
  vm.setint64(VMCollect::F_diskCount, 3);
  vm.setint64(VMCollect::F_vmSize, 214748364800LL);
  vm.setstring(VMCollect::F_indexStubData, "[datastore-ssd-02] web-frontend-01/web-frontend-01.vmx");
  vm.setstring(VMCollect::F_indexDatastore, "resgroup-12");
  vm.setstring(VMCollect::F_indexResourcePool, "folder-3");
  vm.setstring(VMCollect::F_indexDeleteTime, "vApp & Co");
  vm.setint64(VMCollect::F_archivingStatus, 0);
  auto* guest = vm.getObject<Common::UserPassword>(VMCollect::F_guestCredentials, true);
  if (guest == nullptr) return false;
  guest->setstring(Common::UserPassword::F_userName, "LAB\\backup");
  guest->setpstring(Common::UserPassword::F_password, "p&<>\"'ä-secret");
  vm.setstring(VMCollect::F_datacenter, "DC-North");
  vm.setstring(VMCollect::F_text58, "vmx-15");
  vm.setint64(VMCollect::F_vmJobId, 880123);
  vm.setint64(VMCollect::F_subclientId, 77);
  vm.setstring(VMCollect::F_text64, "web-frontend-01_502e1a9c");
  vm.setstring(VMCollect::F_cluster, "Cluster-A");
  auto* key = vm.getObject<SSHKeyDetails>(VMCollect::F_sshKey, true);
  if (key == nullptr) return false;
  key->setstring(SSHKeyDetails::F_keyFilePath, "/etc/keys/web.pem");
  auto* keyCred = key->getObject<Common::UserPassword>(SSHKeyDetails::F_credentials, true);
  if (keyCred == nullptr) return false;
  keyCred->setstring(Common::UserPassword::F_userName, "root");
  keyCred->setpstring(Common::UserPassword::F_password, "passphrase");
  vm.setint64(VMCollect::F_snapJobId, 880001);
  vm.setint64(VMCollect::F_guestOsCode, 1);
  auto* app = vm.getObject<Common::UserPassword>(VMCollect::F_appCredentials, true);
  if (app == nullptr) return false;
  app->setstring(Common::UserPassword::F_userName, "sa");
  app->setpstring(Common::UserPassword::F_password, "app-pw");
  vm.setstring(VMCollect::F_subclientGuid, "8F2C1D7E-44A1-4C5B-9E0D-3B7A6C1F2E90");
  vm.setint64(VMCollect::F_archiveFileId, 99172);
  vm.setint64(VMCollect::F_fullBackupRequest, 0);

  list.setint64(VMCollectList::F_jobId, 880123);
  list.getlistobject(VMCollectList::F_vms, true).emplace_back(vm);
  return CNMessageBase::AccessErrorCount() == 0;
}

void BM_SerializeCollectList(benchmark::State& state) {
  VMCollectList list;
  if (!MakeList(list)) {
    state.SkipWithError("the collect list could not be built");
    return;
  }
  std::string xml;
  for (auto _ : state) {
    if (!list.serialize(xml, true)) state.SkipWithError("serialize failed");
    benchmark::DoNotOptimize(xml.data());
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(xml.size()));
  state.counters["bytes"] = static_cast<double>(xml.size());
}
BENCHMARK(BM_SerializeCollectList);

void BM_ParseCollectList(benchmark::State& state) {
  VMCollectList list;
  std::string xml;
  if (!MakeList(list) || !list.serialize(xml, true)) {
    state.SkipWithError("the collect list could not be built");
    return;
  }
  for (auto _ : state) {
    VMCollectList back;
    if (!back.deserialize(xml)) state.SkipWithError("deserialize failed");
    benchmark::DoNotOptimize(&back);
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(xml.size()));
}
BENCHMARK(BM_ParseCollectList);

// A collect file of 10,000 VMs in the file form, as a coordinator keeps it, read from disk into a
// message.
void BM_LoadCollectFile10000(benchmark::State& state) {
  VMCollectList one;
  if (!MakeList(one)) {
    state.SkipWithError("the collect list could not be built");
    return;
  }
  const VMCollect& vm = static_cast<const VMCollect&>(*one.getlistobject(VMCollectList::F_vms, false).at(0));
  VMCollectList list;
  list.setint64(VMCollectList::F_jobId, 880123);
  CNMessageList& vms = list.getlistobject(VMCollectList::F_vms, true);
  for (int i = 0; i < 10000; ++i) {
    vms.emplace_back(vm);
    vms.back()->setstring(VMCollect::F_vmName, "vm-" + std::to_string(i));
  }
  char path[] = "/tmp/quarn-msg-bench-XXXXXX";
  const int fd = ::mkstemp(path);
  if (fd < 0) {
    state.SkipWithError("no temporary file");
    return;
  }
  ::close(fd);
  vsXMLFile file(path);
  if (!file.Save(list)) {
    state.SkipWithError("the collect file could not be saved");
    std::remove(path);
    return;
  }
  std::string xml;
  list.serialize(xml, false);
  for (auto _ : state) {
    auto back = std::make_unique<VMCollectList>();
    if (!file.Load(*back)) state.SkipWithError("the collect file could not be loaded");
    benchmark::DoNotOptimize(back.get());
    state.PauseTiming();  // freeing the list is not part of loading it
    back.reset();
    state.ResumeTiming();
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(xml.size()));
  state.counters["bytes"] = static_cast<double>(xml.size());
  std::remove(path);
}
BENCHMARK(BM_LoadCollectFile10000)->Unit(benchmark::kMillisecond);

}  // namespace
